// Where FLASH and CHECK put the checksum: the selector of the command line
// read against a build, and the image the layout makes of it.
#pragma once

#include <string>

#include "../diagnostics/layout_warnings.h"
#include "../numbers/numbers.h"
#include "../report/json.h"
#include "../request/request.h"
#include "../request/option_table.h"
#include "../elf/elf_build.h"

namespace velk {

struct Placement {
    layout::Request request{};
    bool has_slot = false;  // --n: the variable
    diagnostics::Symbol slot;
    layout::Slot where;
    Asker asker;       // who placed it, for the lines that name the option
    std::string word;  // the record as typed: "--a1FC", "offset=0x1FC"
};

// --n<name> through the build's symbol tables, --a<hex offset> (a multiple
// of the record's alignment), --s<block size> (a power of two), for a
// record of `width` bytes. `elf` may be null for --a and --s. Refuses what
// names no place, saying what to type; with `force` an offset that does not
// suit the width is left to the layout checks, which warn.
Placement place_checksum(const Selector& selector, unsigned width, const ElfBuild* elf,
                         bool force = false);

// A variable's symbol by name, refused as --n refuses it: its value and
// what the table says of it.
diagnostics::Symbol find_variable(const std::string& name, const ElfBuild& elf,
                                  const Asker& asker, Option option);

// int(value, base) as the command line's numbers are read everywhere.
using numbers::read_number;

// "value", as refusals show what was typed.
std::string quoted(const std::string& value);

// Whether `value` starts "0x" or "0X" and more follows: a number in hex,
// not a name.
using numbers::hex_prefixed;

// "0x" and 1 to 16 hex digits, nothing else: an address or a byte value
// where a misread one would write wrong bytes (--fill, --base, @0x...).
using numbers::read_hex_address;

// The image of `loadable` for the placement; refuses a slot below it.
layout::Image image_for(const layout::Loadable& loadable, const Placement& placement);

// What the layout checks are told about an image and its record; `memory`
// holds the image before the record is stored.
diagnostics::Facts facts_of(const Placement& placement, const layout::Loadable& loadable,
                            const layout::Image& image, const layout::MemoryMap& memory);

// The image, its record and how the checksum was fed, as --json tells
// them in FLASH and CHECK alike.
void describe_image(json::Value& data, uint64_t start, uint64_t end, uint64_t record,
                    const char* feed);

}  // namespace velk
