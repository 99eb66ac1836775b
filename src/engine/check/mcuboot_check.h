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
#include "../mcuboot/format.h"
#include "../request/request.h"
#include "../run/host.h"

namespace velk::check {

struct CheckRun;

namespace mcuboot {

namespace format = ::velk::mcuboot;
using Bytes = std::vector<uint8_t>;

// --mcuboot's settings CHECK takes.
struct Settings {
    std::optional<std::string> key;  // a PEM file, public or private
    std::optional<uint64_t> header;  // the header's size the image must have
};

// Reads "key=<file>,header=<size>"; refuses a setting CHECK does not take.
Settings read_settings(const std::string& text, Front front);

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

struct Trailer {
    uint64_t magic_at = 0;
    uint64_t image_ok_at = 0;  // the trailer's first byte as CHECK tells it
    uint8_t image_ok = 0;
};

struct Verdict {
    // plan
    Settings settings;
    std::unique_ptr<crypto::Key> key;
    std::string key_name;
    crypto::Provider* provider = nullptr;

    // compute
    bool located = false;  // a header at `address`
    uint64_t address = 0;
    format::Header header;
    // Where the payload starts (after the header's room as the layout or
    // the sizes fix it, not a damaged hdr_size) and ends, the TLV areas'
    // start.
    uint64_t payload_start = 0, payload_end = 0;
    uint64_t protected_end = 0, tlv_end = 0, run_end = 0;
    format::Areas areas;  // their offsets from payload_end
    Bytes hash;  // SHA-256 of the header, the payload and the protected TLVs
    bool hash_ok = false;
    std::optional<bool> key_ok;        // unset: no key given, or no key TLV
    std::optional<uint8_t> signature;  // the signature TLV's type
    bool signature_checked = false, signature_ok = false;
    std::optional<Trailer> trailer;
    std::vector<Fault> faults;
    std::vector<Part> parts;

    bool ok() const { return located && faults.empty(); }
    uint64_t address_of(const format::Entry& entry) const { return payload_end + entry.offset; }
};

// The settings read and the key opened: a key that cannot be read is a
// file CHECK cannot verify against.
void plan(CheckRun& run, Host& host);
// Locates and verifies the image in the file's bytes; with --elf, puts what
// the image adds to the build into the expected map first.
void compute(CheckRun& run);

}  // namespace mcuboot
}  // namespace velk::check
