#include "placement.h"

#include "../base/closest.h"
#include "../report/text.h"
#include "../report/wording.h"

namespace velk {

std::string quoted(const std::string& value) {
    return "\"" + value + "\"";
}

diagnostics::Symbol find_variable(const std::string& name, const ElfBuild& elf,
                                  const Asker& asker, Option option) {
    if (name.empty())
        throw Refusal{std::string(asker.name(option)) +
                      " needs the checksum variable's name, as in " +
                      asker.given(Option::symbol, "crc_value")};
    SymbolSearch found = find_symbol(elf, name);
    if (found.tables == 0) throw Refusal{wording::no_symbol_table(asker, name)};
    if (!found.found) {
        std::vector<std::string> names =
            symbol_names(elf, base::longest_close_name(name));
        std::vector<std::string> closest = base::closest_names(name, names);
        throw Refusal{named_anywhere(elf, name) ? wording::not_found(name, closest)
                                                : wording::dropped(name, closest)};
    }
    const elfsyms::Matches& m = found.matches;
    return {name, m.value, true, m.count, m.values_differ, m.size, m.is_function()};
}

Placement place_checksum(const Selector& selector, unsigned width, const ElfBuild* elf,
                          bool force) {
    Placement p;
    p.word = selector.word;
    uint64_t number = 0;
    const std::string& value = selector.value;
    const bool api = selector.asker.by_keyword();
    switch (selector.letter) {
        case 'n':
            p.has_slot = true;
            p.slot = find_variable(value, *elf, selector.asker, Option::symbol);
            p.where = layout::locate_slot(elf->headers, p.slot.value);
            p.request = {layout::Selector::name, p.where.address, width};
            return p;
        case 'a': {
            if (!selector.number) throw Refusal{selector.refusal};
            number = *selector.number;
            // The slot's address is checked once the image is placed.
            const unsigned align = layout::alignment_of(width);
            if (!force && number % align != 0)
                throw Refusal{text::format(api ? "offset: %s is not a multiple of %u"
                                               : "--a%s: the offset must be a multiple of %u",
                                           value.c_str(), align)};
            p.request = {layout::Selector::address, number, width};
            p.asker = selector.asker;
            return p;
        }
        default:  // 's'
            if (!selector.number) throw Refusal{selector.refusal};
            number = *selector.number;
            p.request = {layout::Selector::block, number, width};
            return p;
    }
}

layout::Image image_for(const layout::Loadable& loadable, const Placement& placement) {
    auto image = layout::place_image(loadable, placement.request);
    if (auto* fault = std::get_if<layout::Fault>(&image)) {
        if (fault->kind == layout::Fault::slot_below_image)
            throw Refusal{placement.slot.name + " at " +
                          text::address(placement.where.address) +
                          " lies below the image it would close (" +
                          text::address(loadable.clusters[fault->first].start) + ")"};
        throw Refusal{wording::layout_fault(*fault, {})};
    }
    return std::get<layout::Image>(image);
}

diagnostics::Facts facts_of(const Placement& placement, const layout::Loadable& loadable,
                            const layout::Image& image, const layout::MemoryMap& memory) {
    diagnostics::Facts f{};
    f.selector = placement.request.selector;
    f.load = image.start;
    const layout::Cluster& own = loadable.clusters[image.cluster];
    f.image_size = own.end - own.start;
    f.offset = image.offset();
    f.padding = image.fill;
    f.width = placement.request.width;
    f.old.resize(f.width);
    memory.read(image.record, f.old.data(), f.width);
    f.fill = memory.fill();
    f.asker = placement.asker;
    f.word = placement.word;
    f.loadable = &loadable;
    f.has_slot = placement.has_slot;
    f.slot = placement.slot;
    f.where = placement.where;
    return f;
}

void describe_image(json::Value& data, uint64_t start, uint64_t end, uint64_t record,
                    const char* feed) {
    json::Value& span = data.set("image", json::Value::object());
    span.set("start", start);
    span.set("end", end);
    data.set("record", record);
    data.set("offset", record - start);
    data.set("feed", feed);
}

}  // namespace velk
