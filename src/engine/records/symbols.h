// A symbol of the build as the records read it: where its bytes lie in
// flash, for a range that starts at it or leaves it out.
#pragma once

#include <cstdint>
#include <string>

#include "../elf/elf_build.h"
#include "../request/spelling.h"

namespace velk::records {

struct InFlash {
    uint64_t
        address;    // where the loader puts its bytes: a .data variable's initial values
    uint64_t size;  // as the symbol table says; 0 when it says none
};

// The symbol `name`, refused as --n refuses a missing one; an Arm Thumb
// function's code starts at its symbol with bit 0 cleared.
InFlash in_flash(const std::string& name, const ElfBuild& elf, Front front,
                 Option option);

}  // namespace velk::records
