// --json's "mcuboot" object: one shape for a signed image, whether FLASH
// wrote it or CHECK read it. CHECK's object adds only its verdicts: the
// whole image's "ok", and "checked" and "ok" in the hash, the key and the
// signature.
#pragma once

#include <optional>
#include <vector>

#include "../report/json.h"
#include "format.h"

namespace velk::mcuboot {

struct Description {
    uint64_t slot = 0;  // the header's address
    std::optional<uint64_t> slot_size;
    Header header;
    std::optional<bool> room_added;  // unknown: CHECK without the build
    uint64_t payload = 0, tlv_area = 0, image_end = 0;
    struct Listed {
        uint8_t type;
        bool is_protected;
        uint64_t address;
        const Bytes* value;
    };
    std::vector<Listed> tlvs;  // in file order
    Bytes hash;
    crypto::Hash hash_kind = crypto::Hash::sha256;
    Bytes key_hash;                    // the key's hash, by hash_kind; empty: no key
    std::optional<uint8_t> signature;  // the signature TLV's type
    std::optional<crypto::KeyType> signer;  // the key that made it, when known
    struct Trailer {
        uint64_t magic_at;
        uint8_t image_ok;
    };
    std::optional<Trailer> trailer;  // a padded slot's
    // An encrypted payload's: how its key travels ("ECIES-X25519"; null for
    // a TLV CHECK found none of) and the AES key's bits.
    struct Encryption {
        const char* transport;
        unsigned aes;
    };
    std::optional<Encryption> encryption;
};

// What CHECK found of a part: unchecked parts have no "ok" (null).
struct Judged {
    bool checked = false;
    std::optional<bool> ok;
};
struct Judgement {
    bool ok = false;
    Judged hash, key, signature;
    Judged decrypted;  // an encrypted payload's: opened with decrypt=
};

// `judged`: CHECK's verdicts, nullptr for FLASH's image.
json::Value describe_image(const Description& d, const Judgement* judged);

}  // namespace velk::mcuboot
