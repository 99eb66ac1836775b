#include "symbols.h"

#include "../inputs/placement.h"

namespace velk::records {

InFlash in_flash(const std::string& name, const ElfBuild& elf, const Asker& asker,
                 Option option) {
    diagnostics::Symbol symbol = find_variable(name, elf, asker, option);
    constexpr uint16_t em_arm = 40;
    uint64_t code = symbol.value;
    if (symbol.function && elf.file.header.machine == em_arm) code &= ~uint64_t{1};
    return {layout::locate_slot(elf.headers, code).address, symbol.size};
}

namespace {

// The widest value FLASH stores: a SHA-256 digest.
constexpr uint64_t widest_record = 32;

class ObjectsAt final : public elf::SymbolVisitor {
public:
    ObjectsAt(const ElfBuild& elf, const layout::MemoryMap& memory, uint64_t address)
        : elf_(elf), memory_(memory), address_(address) {}

    void symbol(const elf::Symbol& s) override {
        constexpr uint8_t stt_notype = 0, stt_object = 1;
        const uint8_t type = s.info & 0xF;
        // A value's width: a number of up to 8 bytes, or a digest.
        const bool width = (s.size >= 1 && s.size <= 8) || s.size == widest_record;
        if ((type != stt_object && type != stt_notype) || !width || s.name[0] == '\0' ||
            (found_ && s.size >= found_->size))
            return;
        // In flash as the program reads it, as FLASH wants a slot: not the
        // initial value of a variable in RAM.
        const layout::Slot where = layout::locate_slot(elf_.headers, s.value);
        if (!where.in_contents || where.copied_to_ram || address_ < where.address ||
            address_ - where.address >= s.size)
            return;
        uint8_t bytes[widest_record];
        memory_.read(where.address, bytes, s.size);
        bool ff = true, zero = true, fill = true;
        for (uint64_t i = 0; i < s.size; ++i) {
            ff = ff && bytes[i] == 0xFF;
            zero = zero && bytes[i] == 0x00;
            fill = fill && bytes[i] == memory_.fill();
        }
        if (ff || zero || fill) found_ = Placeholder{s.name, where.address, s.size};
    }

    const std::optional<Placeholder>& found() const { return found_; }

private:
    const ElfBuild& elf_;
    const layout::MemoryMap& memory_;
    uint64_t address_;
    std::optional<Placeholder> found_;
};

}  // namespace

std::optional<Placeholder> placeholder_at(const ElfBuild& elf, const layout::MemoryMap& memory,
                                          uint64_t address) {
    ObjectsAt objects(elf, memory, address);
    if (std::holds_alternative<elf::Fault>(elf::visit_symbols(elf.file, elf.span(), objects)))
        return std::nullopt;
    return objects.found();
}

}  // namespace velk::records
