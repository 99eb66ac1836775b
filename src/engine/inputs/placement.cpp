#include "placement.h"

#include "../base/closest.h"
#include "../report/text.h"
#include "../report/wording.h"

namespace velk {

std::string quoted(const std::string& value) {
    return "\"" + value + "\"";
}

// What Python's int(value, base) takes, for the bases 10 and 16: blanks
// around it, a sign, a 0x prefix in base 16, and single underscores
// between digits (also after the prefix). A value below 0 or above 64 bits
// is none.
bool read_number(const std::string& value, int base, uint64_t& out) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    size_t at = 0, end = value.size();
    while (at < end && blank(value[at])) ++at;
    while (end > at && blank(value[end - 1])) --end;
    bool negative = false;
    if (at < end && (value[at] == '+' || value[at] == '-')) negative = value[at++] == '-';
    bool prefixed = false;
    if (base == 16 && end - at >= 2 && value[at] == '0' &&
        (value[at + 1] == 'x' || value[at + 1] == 'X')) {
        at += 2;
        prefixed = true;
    }
    uint64_t number = 0;
    bool digits = false, overflow = false, underscore = false;
    for (; at < end; ++at) {
        char c = value[at];
        if (c == '_') {
            if (underscore || (!digits && !prefixed)) return false;
            underscore = true;
            continue;
        }
        int digit = c >= '0' && c <= '9'                ? c - '0'
                    : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
        if (digit < 0) return false;
        overflow = overflow || number > (UINT64_MAX - static_cast<uint64_t>(digit)) /
                                            static_cast<uint64_t>(base);
        number = number * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        digits = true;
        underscore = false;
    }
    if (!digits || underscore || overflow || (negative && number != 0)) return false;
    out = number;
    return true;
}

bool hex_prefixed(const std::string& value) {
    return value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
}

bool read_hex_address(const std::string& value, uint64_t& out) {
    if (value.size() < 3 || value.size() > 18 || value[0] != '0' ||
        (value[1] != 'x' && value[1] != 'X'))
        return false;
    out = 0;
    for (size_t i = 2; i < value.size(); ++i) {
        char c = value[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) return false;
        out = out << 4 | static_cast<uint64_t>(digit);
    }
    return true;
}

diagnostics::Symbol find_variable(const std::string& name, const ElfBuild& elf, Front front,
                                  Option option) {
    if (name.empty())
        throw Refusal{std::string(option_name(front, option)) +
                      " needs the checksum variable's name, as in " +
                      (front == Front::api ? "symbol=\"crc_value\"" : "--ncrc_value")};
    SymbolSearch found = find_symbol(elf, name);
    if (found.tables == 0) throw Refusal{wording::no_symbol_table(front, name)};
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
    const bool api = selector.front == Front::api;
    switch (selector.letter) {
        case 'n':
            p.has_slot = true;
            p.slot = find_variable(value, *elf, selector.front, Option::symbol);
            p.where = layout::locate_slot(elf->headers, p.slot.value);
            p.request = {layout::Selector::name, p.where.address, width};
            return p;
        case 'a': {
            if (!read_number(value, 16, number))
                throw Refusal{api ? "offset: " + value + " is not an offset from the image start"
                                  : wording::address_rule() + ": " + quoted(value) +
                                        " is not one"};
            // The slot's address is checked once the image is placed.
            const unsigned align = layout::alignment_of(width);
            if (!force && number % align != 0)
                throw Refusal{text::format(api ? "offset: %s is not a multiple of %u"
                                               : "--a%s: the offset must be a multiple of %u",
                                           value.c_str(), align)};
            p.request = {layout::Selector::address, number, width};
            p.api = api;
            return p;
        }
        default:  // 's'
            if (!read_number(value, 10, number) || number == 0 ||
                (number & (number - 1)) != 0)
                throw Refusal{api ? "block: " + value + " is not a power of two"
                                  : wording::block_rule() + ": " + quoted(value) +
                                        " is not one"};
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
    f.api = placement.api;
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
