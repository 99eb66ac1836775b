// FLASH's MCUboot step: where the slot lies, known from the build, and the
// image made bootable there. The header's fields go in before the records
// are stored and the hash and signature after, so that the CRCs the
// application checks and the hash and signature the bootloader checks
// cover the same final bytes:
//   plan    the settings read, the key opened, the header's room found (the
//           build's own, or one added before the image), the checks
//   header  the header's fields, which depend on no record, written over
//           the build's room once placed, before the records are stored: a
//           CRC whose range takes in the room reads them as flash will
//           hold them
//   sign    the protected TLVs, the hash over header, payload and protected
//           TLVs, the key hash and the signature, the trailer; all of it put
//           into the image every file is written from
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../elf/elf_build.h"
#include "../layout/memory_map.h"
#include "../records/plan.h"
#include "../report/json.h"
#include "../run/host.h"
#include "external.h"
#include "encryption.h"
#include "key.h"
#include "settings.h"

namespace velk::mcuboot {

struct Signing {
    Settings settings;
    // The key file, read when planned; the key itself is made when the
    // image is signed, so that its library loads meanwhile. None: an
    // unsigned image, the hash alone.
    std::optional<KeyFile> key;
    // encrypt= or encrypt-kw=: the file, read when planned.
    std::optional<SealingKey> sealing;
    const char* option = "";           // the settings' option as the asker names it
    // The signature its holder made, read when planned (signature=).
    std::optional<external::SignatureFile> signature;
    bool room_reserved = false;        // the build's own room, or one added before it
    uint64_t slot = 0;                 // the slot's start: where the header goes
    uint64_t payload = 0;              // the application: slot + header
    uint64_t end = 0;                  // the payload's end, where the TLVs go
    uint64_t zeros_from = 0;           // an encrypted payload's padding, to `end`
    // What the bootloader would not run, refused unless --force.
    std::vector<std::string> refused;
};

// What the stage made, the header's fields when placed and the rest when
// signed; the run's image holds copies of its bytes.
struct Signed {
    Header header;
    Bytes room;  // at the slot's start: the fields, or the whole added room
    std::vector<Tlv> protected_tlvs, unprotected_tlvs;
    Bytes tlvs;  // both areas, at Signing::end
    Bytes hash, key_hash;
    crypto::Hash hash_kind = crypto::Hash::sha256;  // the image's hash
    std::optional<crypto::KeyType> key_type;  // the signature's, when signed
    // The first of two steps (sign=): what the key's holder signs, and no
    // signature; the run's image is left unsigned.
    std::optional<external::ToSign> to_sign;
    Bytes trailer;  // with pad: image_ok's unit and the magic's, at the slot's end
    uint64_t trailer_at = 0;
    uint64_t image_end = 0;  // the slot's end with pad, otherwise the TLVs' end
    // An encrypted image's: how its AES key travels, the key (which no
    // output shows), and the payload as encrypted, which the image shares.
    const Transport* transport = nullptr;
    Bytes image_key;
    layout::Buffer plaintext, ciphertext;
};

// The pieces the files and the checksummed ELF add for the image: the
// added room, the TLVs and the slot's padding and trailer, in address
// order (a null `bytes`: erased flash).
struct Added {
    const char* name;  // a section's name in the ELF
    uint64_t address;
    const uint8_t* bytes;
    uint64_t size;
};

// FLASH's signing stage, one part of its driver: with --mcuboot the image
// made bootable, without it nothing at all, so that the driver's stages
// call it alike in every run.
//   plan     start() before the build is read, place() once the image is
//            laid out: the slot found, the refusals, the header written
//   compute  sign() once the records are stored
// and the files, their check and the report ask it what it added.
class Stage {
public:
    // Whether the run signs.
    explicit operator bool() const { return signing_.has_value(); }

    // The settings read and the key file's text; the key's library starts
    // loading while the build is read.
    void start(const Request& request, Host& host);
    // Where the image goes in the build's image `memory` (before any record
    // is stored), the header's fields written over the build's room; a
    // record in the header's fields is refused. Returns what a bootloader
    // would refuse, which --force writes anyway.
    std::vector<std::string> place(const Request& request, const ElfBuild& elf,
                                   const records::Plan& plan, layout::MemoryMap& memory);
    // The hash, key, signature and trailer over the final bytes.
    void sign(layout::MemoryMap& memory, Host& host);

    using Range = std::pair<uint64_t, uint64_t>;
    // The slot's start and the image's end with the TLVs and any padding:
    // one range when signed, none otherwise.
    std::vector<Range> extent() const;
    // `range` widened to the signed image's extent.
    void widen(Range& range) const;
    // The bytes the stage made, where every file must hold them: the
    // header's fields (or added room), the TLVs and the trailer.
    std::vector<Added> made_bytes() const;
    // What the hash covers, the header's room and the payload: one range
    // when signed.
    std::vector<Range> covered() const;
    // The erased flash the checksummed ELF file keeps as a section of its
    // own: the payload's and the slot's padding.
    Range erased_kept() const;
    // What the checksummed ELF file holds of the image beside the build's
    // own sections: `stored`, written where the build's room lies (the
    // header over it), and `added`, new sections in address order (the
    // added room, the TLVs, the slot's padding and trailer, and erased
    // flash the hash covers between the build's segments).
    struct ElfPieces {
        std::vector<Added> stored, added;
    };
    ElfPieces elf_pieces(const layout::MemoryMap& memory) const;
    // FLASH's line for the image, when signed.
    std::vector<std::string> lines() const;
    // --json's "mcuboot" object and the files' SHA-256 manifest, into `d`.
    void describe(json::Value& d,
                  const std::vector<std::pair<std::string, std::string>>& digests) const;

    // The first of two steps: the key's holder signs what the run writes,
    // and no image is written.
    bool exports() const { return signing_ && signing_->settings.sign; }

    // `memory` (the signed image, or one merged from it) with an encrypted
    // payload decrypted again by its key, as the bootloader will: what the
    // records and the hash are checked against. Otherwise `memory` itself.
    layout::MemoryMap plain(const layout::MemoryMap& memory, crypto::Provider* crypto) const;
    // `memory` with the payload as it was signed, before it was encrypted:
    // what the records were stored into.
    layout::MemoryMap as_signed(const layout::MemoryMap& memory) const;

    // With a signed image: the settings and where it lies, and what was made.
    const Signing& signing() const { return *signing_; }
    const Signed& made() const { return made_; }

private:
    std::optional<Signing> signing_;
    Signed made_;  // the run's memory holds copies of its bytes
};

}  // namespace velk::mcuboot
