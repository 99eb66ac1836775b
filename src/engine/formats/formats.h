// The file formats FLASH writes and CHECK reads, one row each, as binutils
// lists its target vectors: the name, the endings a file of it is known by,
// how its first bytes tell it, its reader and its writer (either may be
// missing), the option that asks for it, its --help line, and the start
// address a file of it carries. Recognising a file, reading it, writing and
// removing an earlier run's files, the report's lines, --help and CHECK all
// go through this table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../layout/file_data.h"
#include "../outfile/outputs.h"
#include "../request/request.h"
#include "../uf2/uf2.h"

namespace velk::formats {

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
};

// A file's bytes in pieces, one after another.
using Pieces = std::vector<std::pair<const uint8_t*, size_t>>;

// What the files of a run hold.
struct Contents {
    const layout::MemoryMap* memory;
    uint64_t from, to;     // a raw binary's range
    uint64_t entry;        // the start address, when one fits
    uint32_t family = 0;   // a UF2 file's family ID
    // The checksummed ELF (the input with the records' bytes in place),
    // when it can be made.
    const Pieces* elf = nullptr;
};

struct Format {
    const char* name;     // "Intel HEX": the Python API's OutputFile.format
    const char* a_file;   // "an Intel HEX file", as lines name a file of it
    const char* word;     // "hex": "create new crc hex file"
    const char* ext;      // ".hex": <root>_CRC.hex
    const char* const* endings;  // the names a file of it is known by, nullptr-ended
    // Whether the first bytes of a file say it is one; nullptr: they never
    // do (a raw binary is known by its name or its placing).
    bool (*recognise)(const uint8_t* head, size_t size);
    // Its data; nullptr for the ELF file (read as a build) and the raw
    // binary (which holds no addresses). Refuses what it cannot read.
    Read (*read)(const std::vector<uint8_t>& bytes);
    // Writes a file of `contents`; nullptr: FLASH never writes one.
    void (*write)(outfile::Outputs& outputs, const std::string& path, const Contents& contents);
    // Whether `contents` can be a file of it (the ELF: when the input holds
    // every record).
    bool (*can_write)(const Contents& contents);
    const char* option;  // "--bin": what asks for it; nullptr: always written
    const char* help;    // what --help says of the option
    bool merged;         // FLASH --merge writes a merged file of it too
    // The start address a file of it carries for an entry point, as FLASH
    // writes it and CHECK reads it back: none above 4 GiB, and in
    // S-records and ELF files 0 is none. nullptr: the format has none.
    std::optional<uint64_t> (*start_of)(uint64_t entry);
};

// The rows, in the order a run's files are told after the application's
// HEX.
const Format* begin();
const Format* end();

const Format& elf();
const Format& intel_hex();
const Format& raw_binary();
const Format& srecord();
const Format& uf2();

// The format `name`'s ending says, in any case; nullptr when it says none.
const Format* by_name(const std::string& name);
// The format a file's first bytes say; nullptr when they say none.
const Format* by_content(const uint8_t* head, size_t size);

// Whether a run asks for files of `format`.
bool asked(const Format& format, const Request& request);

// A file of `format` (nullptr: of no known format) where an ELF file
// belongs: what it is, and what to do.
std::string not_elf(const Format* format);

// "cannot read it as UF2: block 3: ...".
std::string uf2_refusal(const uf2::Fault& fault);

// --uf2 <family>: the ID of a family the table knows by name, or of a 0x
// ID; refuses anything else, listing the names.
uint32_t uf2_family(Front front, const std::string& name);

// The --help lines of the options that ask for a format.
std::string help_lines();

}  // namespace velk::formats
