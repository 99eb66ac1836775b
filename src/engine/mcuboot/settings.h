// An MCUboot image's settings, read once from what the asker gave into
// what FLASH's signing and CHECK's verdict need: `key=<file>,header=<size>,
// slot=<size>,version=<v>,align=<n>,pad,confirm,counter=<n>|auto,
// dependency=<id>:<v>,tlv=<type>:<hex>,pubkey=hash|full,sha=256|384|512,pure`. The command line
// gives them as one word, the Python API's mcuboot={...} as a dict; both
// come here as the request's settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../request/request.h"
#include "format.h"

namespace velk::mcuboot {

struct Settings {
    std::optional<std::string> key;  // a PEM private key's file; none: unsigned
    uint64_t header = 0;             // the header's room
    bool has_header = false;         // header= was given
    std::optional<uint64_t> slot;
    Version version;
    unsigned align = 1;
    bool pad = false;      // the slot filled to its end, the trailer's magic written
    bool confirm = false;  // image_ok set too (implies pad)
    std::optional<uint32_t> counter;
    std::vector<Tlv> dependencies;  // their values encoded
    std::vector<Tlv> custom;        // in the order given
    bool full_key = false;          // PUBKEY rather than KEYHASH
    std::optional<crypto::Hash> hash;  // sha=; none: auto, as the key decides
    bool pure = false;                 // the signature over the image, not its hash
    // encrypt=<public key> or encrypt-kw=<KEK file>: the payload encrypted
    // with a fresh AES key of `aes` bits sealed for it; CHECK's decrypt=.
    std::optional<std::string> encrypt, decrypt;
    bool encrypt_kw = false;
    unsigned aes = 128;
    crypto::Hash hmac = crypto::Hash::sha256;  // ECIES-X25519's, hmac=
};

// The settings, one row each, in the order a refusal lists them.
struct SettingRow {
    const char* name;     // "header"
    bool valued;          // takes a value after '='; else a switch (pad, confirm)
    bool file;            // its value is a file's name (key)
    bool repeats;         // given as often as there are values (dependency, tlv)
    bool verifies;        // CHECK takes it too
    const char* example;  // as a refusal shows it: "header=0x200"
};

// The row of the setting `name`; null for none.
const SettingRow* setting_row(const std::string& name);

// What the settings are read for: FLASH signs an image with them (header=
// required, every setting), CHECK verifies one (key, header, slot, pad and
// confirm alone).
enum class Use { sign, verify };

// The request's settings; refuses (Refusal) what cannot be read, naming
// the option as the request's asker gave it.
Settings read_settings(const Request& request, Use use);

// The command line's one word of settings, split at the commas that start
// a setting: a comma in a key file's name belongs to the name when what
// follows it is no setting (key=keys/a,b.pem,header=0x200).
McubootSettings settings_of_word(const std::string& word);


}  // namespace velk::mcuboot
