#include "symbols.h"

#include "../inputs/placement.h"

namespace velk::records {

InFlash in_flash(const std::string& name, const ElfBuild& elf, Front front,
                 Option option) {
    diagnostics::Symbol symbol = find_variable(name, elf, front, option);
    constexpr uint16_t em_arm = 40;
    uint64_t code = symbol.value;
    if (symbol.function && elf.file.header.machine == em_arm) code &= ~uint64_t{1};
    return {layout::locate_slot(elf.headers, code).address, symbol.size};
}

}  // namespace velk::records
