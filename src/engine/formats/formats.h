// The file formats FLASH writes and CHECK reads, one row each, as binutils
// lists its target vectors: the name, the endings a file of it is known by,
// how its first bytes tell it, its reader and its writer (either may be
// missing), the option that asks for it, and the traits the rest of the
// engine asks of a file (whether it holds its addresses, carries a chip
// family, is the build itself, ...). Recognising a file, reading it,
// writing and removing an earlier run's files, the report's lines and
// CHECK all go through this table; no code outside it asks which format a
// file is, only what its format's row says.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../checksum/method.h"
#include "../layout/file_data.h"
#include "../outfile/outputs.h"
#include "../request/request.h"
#include "../uf2/uf2.h"
#include "file_checks.h"

namespace velk::formats {

namespace nrf {
struct Image;
}

// What a file of a format holds, read: its data and, for UF2, its family;
// what a programmer may take otherwise is said, not refused.
struct Read {
    layout::FileData data;
    bool has_family = false;
    uint32_t family = 0;
    std::vector<std::string> warnings;
    std::vector<std::string> notes;  // what was left unread
    // UF2: the blocks of another family than the first, left out.
    std::optional<uf2::Contents::Skipped> skipped;
    size_t skipped_count = 0;
    // A digest the file carries over its own bytes (an ESP32 image's
    // SHA-256), checked once the program's digests are at hand: throws the
    // Refusal that says it does not match.
    std::function<void(const checksum::DigestSource&)> digest_check = nullptr;
    // The cores the file's image is for, as an ELF's e_machine (an ESP32
    // app image's chip), and how the file says so; 0: it does not say.
    uint16_t machine = 0;
    std::string machine_said = {};
};

// A file's bytes in pieces, one after another.
using Pieces = std::vector<std::pair<const uint8_t*, size_t>>;

// What the files of a run hold.
struct Contents {
    const layout::MemoryMap* memory;
    uint64_t from, to;     // the one stretch a file that holds no addresses holds
    uint64_t entry;        // the start address, when one fits
    uint32_t family = 0;   // a UF2 file's family ID
    // The checksummed ELF (the input with the records' bytes in place),
    // when it can be made.
    const Pieces* elf = nullptr;
    // What the run asks: the value of a format's own option.
    const Request* request = nullptr;
    // The HEX's own image, `memory` moved by `hex_moved_by` (MCUboot's
    // hex-addr=); nullptr: the HEX holds `memory`.
    const layout::MemoryMap* hex_memory = nullptr;
    uint64_t hex_moved_by = 0;
    // The program's SHA-256, for a format that holds an image's digest.
    const checksum::DigestSource* sha256 = nullptr;
    // The SoftDevice --nrf-settings names, read once as the run is planned.
    const nrf::Image* nrf_softdevice = nullptr;
};

struct Format {
    const char* name;     // "Intel HEX": the Python API's OutputFile.format
    const char* a_file;   // "an Intel HEX file", as lines name a file of it
    const char* word;     // "hex": "create new crc hex file"
    const char* ext;      // ".hex": <root>_CRC.hex
    const char* const* endings;  // the names a file of it is known by, nullptr-ended

    // Its traits, which the rest of the engine asks instead of its name.

    // Holds no addresses: its bytes are one stretch placed at a base
    // (--base, <file>@0x<address>, or where FLASH's file of it starts).
    bool needs_base;
    // Carries a chip family ID, which --uf2 names.
    bool family;
    // Is the build itself, the linker's output: read as a build (its
    // symbols, sections and segments), written as the input with the
    // records' bytes in place.
    bool build;
    // Text records, one a line, known by their first character: a raw
    // binary's first bytes may look like one, so a file placed at an
    // address is not taken for one unless its name says so.
    bool text;
    // A file around an image (the checksummed ELF around the build's
    // bytes): its own bytes besides the image's.
    bool container;
    // Written by every FLASH run: the application's file that is made, and
    // put in place, first, and that names the merged image's faults.
    bool every_run;
    // FLASH --merge writes a merged file of it too.
    bool merged;
    // Its blocks hold whole pages of this many bytes, padded with erased
    // flash, so a file of it may start below the image and end past it;
    // 0: it starts and ends where the image does.
    uint64_t page;

    // Whether the first bytes of a file say it is one; nullptr: they never
    // do, it is known by its name's ending only (a raw binary is known by
    // its name or its placing).
    bool (*recognise)(const uint8_t* head, size_t size);
    // Its data; nullptr for the build (read as a build) and a format that
    // holds no addresses. Refuses what it cannot read.
    Read (*read)(const std::vector<uint8_t>& bytes);
    // A container that holds no addresses: the image it holds, read out of
    // the file's bytes, its wrapping checked (refused when it is not
    // right); nullptr: the file's bytes are the image.
    std::vector<uint8_t> (*unwrap)(std::vector<uint8_t> bytes);
    // Writes a file of `contents` named `path` into `sink`; nullptr: FLASH
    // never writes one.
    void (*write)(const Contents& contents, const std::string& path, outfile::Sink& sink);
    // Whether `contents` can be a file of it (the ELF: when the input holds
    // every record).
    bool (*can_write)(const Contents& contents);
    // FLASH's own check of a file of `contents` as the writer emits it,
    // before it is put in place; nullptr: none.
    std::unique_ptr<FileCheck> (*check)(const Contents& contents, const Expected& expected);
    const char* option;  // "--bin": what asks for it; nullptr: always written
    // The start address a file of it carries for an entry point, as FLASH
    // writes it and CHECK reads it back: none above 4 GiB, and in
    // S-records and ELF files 0 is none. nullptr: the format has none.
    std::optional<uint64_t> (*start_of)(uint64_t entry);
    // Refuses what the run asks of a file of it that cannot be (a value of
    // its own option out of range), before the build is read; nullptr:
    // nothing to refuse.
    void (*refuse_asked)(const Request& request) = nullptr;
    // Carries its own checksum over the image (an ESP32 app image's XOR
    // checksum and SHA-256): CHECK of a file of it needs no record.
    bool self_checked = false;
    // A container whose wrapping names where its image runs (an NXP master
    // boot image's execution address): refuses the file's `bytes`, placed
    // at `base` by --base or the build, when they are damaged or name
    // another address; nullptr: nothing names it.
    void (*refuse_placed)(const std::vector<uint8_t>& bytes, uint64_t base) = nullptr;
    // A container that fills in words of the image [from, to) after every
    // record, or pads it (an NXP master boot image's header and its
    // padding to a whole word): puts what the file `held` there, which its
    // wrapping vouched for, into `expected`, the build's image, so that
    // CHECK --elf takes them whatever the build holds there; returns where
    // the padding ends. nullptr: it fills in none.
    uint64_t (*filled_in)(uint64_t from, uint64_t to, const layout::MemoryMap& held,
                          layout::MemoryMap& expected) = nullptr;

    // Known by its name's ending only: its first bytes never say it.
    bool suffix_only() const { return recognise == nullptr; }
};

// The rows, in the order a run's files are told after the application's
// HEX.
const Format* begin();
const Format* end();

// The format of a file that neither its name nor its first bytes name:
// taken as a raw binary, placed at a base.
const Format& unnamed();
// The format --uf2 asks FLASH for, with its family.
const Format& uf2();

// The format `name`'s ending says, in any case; nullptr when it says none.
const Format* by_name(const std::string& name);
// The format a file's first bytes say; nullptr when they say none.
const Format* by_content(const uint8_t* head, size_t size);

// Whether a run asks for files of `format`.
bool asked(const Format& format, const Request& request);

// Refuses what a run asks of the formats it asks for that cannot be, as
// their rows say, before anything is read or written.
void refuse_asked(const Request& request);

// The name of FLASH's file of `format` for the input `root` (the input's
// name without its ending): <root>_CRC.hex, <root>_CRC_merged.bin.
std::string file_name(const std::string& root, const Format& format, bool merged);
// The endings every file FLASH may write after <root> has: _CRC.hex,
// _CRC.elf, ..., _CRC_merged.hex, ... (the application's own first).
std::vector<std::string> flash_endings();

// Why a file of `format` cannot be read without a base: "a raw binary by
// its name; a raw binary holds no addresses", or, when neither its name
// (`named`) nor its first bytes said a format, "neither an ELF, Intel HEX,
// S-record nor UF2 file; a raw binary holds no addresses". The caller says
// how to give the base.
std::string holds_no_addresses(const Format* format, bool named);

// A file of `format` (nullptr: of no known format) where an ELF file
// belongs: what it is, and what to do.
std::string not_elf(const Format* format);

// "cannot read it as UF2: block 3: ...".
std::string uf2_refusal(const uf2::Fault& fault);

}  // namespace velk::formats
