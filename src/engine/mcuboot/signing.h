// FLASH's MCUboot step: where the slot lies, known from the build, and the
// image made bootable there. The header's fields go in before the records
// are stored and the hash and signature after, so that the CRCs the
// application checks and the hash and signature the bootloader checks
// cover the same final bytes:
//   plan    the settings read, the key opened, the header's room found (the
//           build's own, or one added before the image), the checks
//   header  the header's fields, which depend on no record, written over
//           the build's room before the records are stored: a CRC whose
//           range takes in the room reads them as flash will hold them
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
#include "../report/json.h"
#include "../run/host.h"
#include "settings.h"

namespace velk::mcuboot {

struct Signing {
    Settings settings;
    // The key file's text, read when planned; the key itself is made when
    // the image is signed, so that its library loads meanwhile. None: an
    // unsigned image, the hash alone.
    std::optional<std::string> pem;
    bool room_reserved = false;        // the build's own room, or one added before it
    uint64_t slot = 0;                 // the slot's start: where the header goes
    uint64_t payload = 0;              // the application: slot + header
    uint64_t end = 0;                  // the payload's end, where the TLVs go
    // What the bootloader would not run, refused unless --force.
    std::vector<std::string> refused;
};

// The settings read and the key file's text, before the build is: what is
// wrong with them is refused first, and the key's library can start
// loading meanwhile.
Signing start_signing(const Request& request);

// Where the image goes in the build's image `memory` (before any record is
// stored; its fill the erased value), and what a bootloader would refuse.
void place_signing(Signing& signing, const Request& request, const ElfBuild& elf,
                   const layout::MemoryMap& memory);

// What write_header() and sign() made; `memory` holds copies of its bytes.
struct Signed {
    Header header;
    Bytes room;  // at the slot's start: the fields, or the whole added room
    std::vector<Tlv> protected_tlvs, unprotected_tlvs;
    Bytes tlvs;  // both areas, at Signing::end
    Bytes hash, key_hash;
    std::optional<crypto::KeyType> key_type;  // the signature's, when signed
    Bytes trailer;  // with pad: image_ok's unit and the magic's, at the slot's end
    uint64_t trailer_at = 0;
    uint64_t image_end = 0;  // the slot's end with pad, otherwise the TLVs' end
};

// The header's fields into `out` and, over the build's own room, into
// `memory`: before any record is stored.
void write_header(const Signing& signing, layout::MemoryMap& memory, Signed& out);
// The rest, after the records are stored, over `out` as write_header() left it.
void sign(const Signing& signing, layout::MemoryMap& memory, crypto::Provider& crypto,
          Signed& out);

// "signed MCUboot image ...": FLASH's line for it.
std::string signed_line(const Signing& signing, const Signed& made);

// --json's "mcuboot" object.
json::Value describe(const Signing& signing, const Signed& made);

// The pieces the files and the checksummed ELF add for the image: the
// added room, the TLVs and the slot's padding and trailer, in address
// order (a null `bytes`: erased flash).
struct Added {
    const char* name;  // a section's name in the ELF
    uint64_t address;
    const uint8_t* bytes;
    uint64_t size;
};
std::vector<Added> added_pieces(const Signing& signing, const Signed& made);

}  // namespace velk::mcuboot
