// Where FLASH and CHECK put the checksum: the selector of the command line
// read against a build, and the image the layout makes of it.
#pragma once

#include <string>

#include "../diagnostics/layout_warnings.h"
#include "../report/json.h"
#include "elf_input.h"

namespace velk {

struct Placement {
    layout::Request request{};
    bool has_slot = false;  // --n: the variable
    diagnostics::Symbol slot;
    layout::Slot where;
};

// --n<name> through the build's symbol tables, --a<hex offset> (a multiple
// of 4), --s<block size> (a power of two). `elf` may be null for --a and
// --s. Refuses what names no place, saying what to type.
Placement place_checksum(char selector, const std::string& value, const ElfBuild* elf);

// The image of `loadable` for the placement; refuses a slot below it.
layout::Image image_for(const layout::Loadable& loadable, const Placement& placement);

// What the layout checks are told about an image and its record; `memory`
// holds the image before the record is stored.
diagnostics::Facts facts_of(const Placement& placement, const layout::Loadable& loadable,
                            const layout::Image& image, const layout::MemoryMap& memory);

// The image, its record and how the checksum was fed, as --json tells
// them in FLASH and CHECK alike.
void describe_image(json::Value& data, const layout::Image& image, const char* feed);

}  // namespace velk
