// CHECK of a signed MCUboot image (--mcuboot): where its header lies in the
// file, the header's fields, both TLV areas, the hash, the key and the
// signature, and the trailer when the slot was padded. Each wrong field is
// a Fault that names what it holds and what it should hold; each run of the
// image's bytes is a Part that says what it is. Facts only: the report
// stage words the lines.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../layout/memory_map.h"
#include "../mcuboot/encryption.h"
#include "../mcuboot/format.h"
#include "../mcuboot/settings.h"
#include "../request/request.h"
#include "../run/host.h"

namespace velk::check {

struct CheckRun;

namespace mcuboot {

namespace format = ::velk::mcuboot;
using Bytes = std::vector<uint8_t>;

// A field the file holds wrong.
struct Fault {
    std::string what;  // "img_size", "the hash TLV (0x10)"
    uint64_t address = 0;
    std::string held, wanted;
};

// A run of the file's bytes and what it is.
struct Part {
    uint64_t start = 0, end = 0;
    std::string what;
};

// What CHECK tells beside the verdict: an image MCUboot accepts for a
// reason a person may not expect (a key hash of another key, a prefix).
struct Note {
    uint64_t address = 0;
    std::string text;
};

struct Trailer {
    uint64_t magic_at = 0;
    uint64_t image_ok_at = 0;  // the trailer's first byte as CHECK tells it
    uint8_t image_ok = 0;
};

struct Verdict {
    // plan
    // What the image must be: key=<file> (public or private), header=<size>,
    // slot=<size>, pad and confirm, by the one reader of the settings.
    format::Settings settings;
    std::unique_ptr<crypto::Key> key;
    std::string key_name;
    crypto::Provider* provider = nullptr;
    std::optional<format::SealingKey> sealing;  // decrypt=: a PEM private key or a KEK

    // compute
    bool located = false;  // a header at `address`
    uint64_t address = 0;
    std::vector<uint64_t> passed_over;  // the header's magic elsewhere, no image there
    std::vector<uint64_t> other_images;  // images elsewhere that verify too
    format::Header header;
    // Where the payload starts (after the header's room as the layout or
    // the sizes fix it, not a damaged hdr_size) and ends, the TLV areas'
    // start.
    uint64_t payload_start = 0, payload_end = 0;
    uint64_t protected_end = 0, tlv_end = 0, run_end = 0;
    format::Areas areas;  // their offsets from payload_end
    Bytes hash;  // the header's, the payload's and the protected TLVs' hash
    crypto::Hash hash_kind = crypto::Hash::sha256;  // as the hash TLVs say
    bool pure = false;  // a SIG_PURE TLV: the signature is over those bytes themselves
    bool hash_ok = false;
    // Where the file's bytes stop inside the image (it ends, or a hole),
    // and where the image says it goes on to: nothing after it is judged.
    std::optional<uint64_t> stops_at;
    uint64_t goes_to = 0;
    bool hole = false;  // the file holds bytes again after the stop
    Bytes key_hash;                    // the given key's hash, as a key hash TLV holds it
    std::optional<bool> key_ok;        // unset: no key given, or no key TLV
    bool key_short = false;            // a key hash prefix MCUboot takes and CHECK does not
    std::optional<uint8_t> signature;  // the signature TLV's type
    bool signature_checked = false, signature_ok = false;
    bool signature_counted = false;  // one MCUboot verifies: right after the key's key TLV
    std::optional<Trailer> trailer;
    uint64_t after_tlvs = 0;  // bytes past the TLVs of an unpadded image, MCUboot's to ignore
    // An encrypted payload's: the AES key's bits (0: a plain payload), the
    // TLV its key came in, and whether decrypt= opened it; one not opened
    // leaves the hash and signature unchecked.
    unsigned aes = 0;
    const format::Transport* transport = nullptr;
    bool decrypted = false;
    std::string unopened;  // the fault's line when decrypt='s key did not open it
    Bytes plain_payload;  // the payload decrypted, from payload_start
    std::vector<Fault> faults;
    std::vector<Note> notes;
    std::vector<Part> parts;

    bool ok() const { return located && !stops_at && faults.empty(); }
    // Encrypted, and not decrypted: nothing wrong found, nothing of the
    // payload checked either.
    bool payload_unchecked() const { return aes && !decrypted; }
    // The decrypted payload over `memory`, the file's bytes, where the
    // build's are compared with them and its records read; nothing for a
    // plain image.
    void decrypted_over(layout::MemoryMap& memory) const;
    uint64_t address_of(const format::Entry& entry) const { return payload_end + entry.offset; }
};

// MCUboot's walk of the TLV areas, as a bootloader that holds only the
// given key runs it (bootutil's image validation): every SHA-256 TLV must
// hold the image's hash; a signature counts only right after a key TLV of
// that key, and the last one counted decides. Its faults and notes go into
// the verdict.
void walk_tlvs(Verdict& v, const uint8_t* hashed, size_t size);

// An encrypted image's payload decrypted in `plain` (a copy of `image`, the
// image's bytes from its header on) with decrypt='s key: true when it was,
// or when the payload is not encrypted (`plain` left empty). A TLV that is
// missing, of the wrong length, or that the key does not open is a fault.
bool decrypt_payload(Verdict& v, const Bytes& image, Bytes& plain);
// decrypt='s file read, in plan.
void read_decrypt_key(Verdict& v);

// Where the header may be, the likeliest first: the magic's places (with
// --elf the one place the build fixes), or with header= the file's start.
std::vector<uint64_t> candidates(const CheckRun& run, const Verdict& v,
                                 const layout::MemoryMap& held);

// Where a raw binary of a signed image starts, with --elf: at the build's
// start (`images`) when the build reserves the header's room, else the
// header's size before it, as the file's own header (or header=) gives it.
uint64_t raw_start(const CheckRun& run, const uint8_t* bytes, size_t size, uint64_t images);

// The settings read and the key opened: a key that cannot be read is a
// file CHECK cannot verify against.
void plan(CheckRun& run, Host& host);
// Locates and verifies the image in the file's bytes; with --elf, puts what
// the image adds to the build into the expected map first.
void compute(CheckRun& run);

}  // namespace mcuboot
}  // namespace velk::check
