// A symbol of the build as the records read it: where its bytes lie in
// flash, for a range that starts at it or leaves it out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "../elf/elf_build.h"
#include "../layout/memory_map.h"
#include "../request/option_table.h"

namespace velk::records {

struct InFlash {
    uint64_t
        address;    // where the loader puts its bytes: a .data variable's initial values
    uint64_t size;  // as the symbol table says; 0 when it says none
};

// The symbol `name`, refused as --n refuses a missing one; an Arm Thumb
// function's code starts at its symbol with bit 0 cleared.
InFlash in_flash(const std::string& name, const ElfBuild& elf, const Asker& asker,
                 Option option);

// An object of the build whose bytes in flash look like a record's slot
// the build reserved: a few bytes of 0xFF, 0x00 or `fill` in `memory` (the
// build before any record), as wide as a value FLASH stores.
struct Placeholder {
    std::string name;
    uint64_t address, size;
};

// Such an object that holds the flash byte `address`, if the build has
// one (the smallest, where several do).
std::optional<Placeholder> placeholder_at(const ElfBuild& elf, const layout::MemoryMap& memory,
                                          uint64_t address);

}  // namespace velk::records
