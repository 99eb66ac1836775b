// The file formats FLASH writes and CHECK reads, one row each: its option,
// its file name's ending, how lines name it, its writer and its reader.
// Writing, removing an earlier run's files, the report, --help and CHECK
// all go through this table.
#pragma once

#include <cstdint>
#include <string>

#include "../outfile/outputs.h"
#include "../inputs/image_file.h"
#include "../request/request.h"

namespace velk::formats {

// What the files of a run hold.
struct Contents {
    const layout::MemoryMap* memory;
    uint64_t from, to;     // a raw binary's range
    uint64_t entry;        // the start address, when one fits
    uint32_t family = 0;   // a UF2 file's family ID
};

struct Format {
    const char* name;    // "Intel HEX"
    const char* word;    // "hex": "create new crc hex file"
    const char* ext;     // ".hex"
    const char* option;  // "--bin"; nullptr: always written
    const char* help;    // what --help says of the option
    layout::FileKind kind;  // how CHECK tells it; other: a raw binary
    bool (*asked)(const Request& request);
    void (*write)(outfile::Outputs& outputs, const std::string& path,
                  const Contents& contents);
    // Its data into `image`; nullptr for a raw binary, which holds no
    // addresses.
    void (*read)(ImageFile& image, const InputFile& input);
};

const Format* begin();
const Format* end();

// The format of files of `kind`; nullptr for an ELF file.
const Format* of_kind(layout::FileKind kind);

// --uf2 <family>: the ID of a family the table knows by name, or of a 0x
// ID; refuses anything else, listing the names.
uint32_t uf2_family(Front front, const std::string& name);

// The --help lines of the options that ask for a format.
std::string help_lines();

}  // namespace velk::formats
