#include "header.h"

#include "../inputs/placement.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../values/values.h"
#include "symbols.h"

namespace velk::records {

namespace {

using text::address;

// "crc@8=crc-32/iso-hdlc": a header field, its offset and its own
// algorithm.
struct Field {
    std::string name;
    uint64_t offset;
    std::string text;
    std::optional<AlgorithmChoice> algorithm;
};

bool is_field_name(const std::string& name) {
    return name == "size" || name == "crc" || name == "hcrc";
}

// The items of a field list: split at commas, except that a CRC given by
// its parameters after a field's '=' keeps its own ("crc@8=width=16,
// poly=0x1021,..."): an item with an '=' and no '@' before it goes on
// the algorithm before it.
std::vector<std::string> items_of(const std::string& list) {
    std::vector<std::string> items;
    size_t at = 0;
    while (at <= list.size()) {
        size_t comma = list.find(',', at);
        std::string item =
            list.substr(at, comma == std::string::npos ? comma : comma - at);
        at = comma == std::string::npos ? list.size() + 1 : comma + 1;
        const size_t equals = item.find('='), sign = item.find('@');
        const bool parameter = equals != std::string::npos && sign > equals &&
                               !is_field_name(item.substr(0, equals));
        if (parameter && !items.empty() && items.back().find('=') != std::string::npos)
            items.back() += "," + item;
        else
            items.push_back(item);
    }
    return items;
}

// `header` names the option for refusals: "--header <layout>".
std::vector<Field> fields_of(const std::string& list, const std::string& header) {
    std::vector<Field> fields;
    for (const std::string& item : items_of(list)) {
        size_t equals = item.find('=');
        std::string placed = item.substr(0, equals);
        size_t sign = placed.find('@');
        std::string name = placed.substr(0, sign);
        if (!is_field_name(name))
            throw Refusal{header + ": " + quoted(item) +
                          " is no field: the fields are size@<offset>, crc@<offset> and "
                          "hcrc@<offset>, a checksum's with =<algorithm> when it is not " +
                          spelled(Option::crc) + "'s"};
        std::string offset = sign == std::string::npos ? "" : placed.substr(sign + 1);
        Field f{name, 0, item, std::nullopt};
        if (offset.empty() || !read_number(offset, hex_prefixed(offset) ? 16 : 10, f.offset))
            throw Refusal{
                header + ": the " + name +
                " field needs its offset from the header's start, in decimal or "
                "0x hex, as in " +
                name + "@8"};
        if (equals != std::string::npos) {
            if (name == "size")
                throw Refusal{header +
                              ": the size field is the body's length, which no "
                              "algorithm computes: " +
                              quoted(item)};
            f.algorithm = values::algorithm_of_text(item.substr(equals + 1));
        }
        for (const Field& other : fields)
            if (other.name == name)
                throw Refusal{header + ": the " + name + " field is given twice"};
        fields.push_back(f);
    }
    return fields;
}

// "0x08004000+16": the header's address and size given in place of its
// symbol.
bool read_placed(const std::string& where, Header& header) {
    size_t plus = where.find('+');
    if (plus == std::string::npos ||
        !read_hex_address(where.substr(0, plus), header.address))
        return false;
    const std::string size = where.substr(plus + 1);
    return read_number(size, hex_prefixed(size) ? 16 : 10, header.size) && header.size != 0;
}

// The header object by its symbol, which must be a const object in flash.
void find_header(Header& header, const ElfBuild* elf, const Asker& asker) {
    const std::string& name = header.symbol;
    if (!elf)
        throw Refusal{std::string(asker.name(Option::header)) +
                      " needs the build's symbols to find " + name +
                      ": check the ELF file, pass it with " +
                      asker.name(Option::elf) +
                      ", or give the header's address and size, as in " +
                      asker.given(Option::header, "0x08004000+16:size@4,crc@8")};
    diagnostics::Symbol symbol = find_variable(name, *elf, asker, Option::header);
    layout::Slot where = layout::locate_slot(elf->headers, symbol.value);
    if (symbol.function) throw Refusal{name + " is a function, not a header object"};
    if (!where.in_contents || where.copied_to_ram)
        throw Refusal{name + " at " + address(symbol.value) +
                      " is not in flash (RAM, .bss or a section copied to RAM): the "
                      "header must be a const object the bootloader reads in flash"};
    if (symbol.size == 0)
        throw Refusal{name +
                      " has no size in the symbol table: the header's length is its "
                      "size (an object defined in C has one)"};
    header.address = where.address;
    header.size = symbol.size;
}

}  // namespace

std::vector<Planned> plan_header(const std::string& layout, const Plan& plan,
                                 const ElfBuild* elf, const layout::Loadable& loadable,
                                 Header& header) {
    const Asker& asker = plan.asker;
    const std::string option = asker.name(Option::header);
    const std::string given_as = asker.given(Option::header, layout);
    size_t colon = layout.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == layout.size())
        throw Refusal{given_as + ": give the header's symbol and its fields, as in " +
                      asker.given(Option::header, "app_header:size@8,crc@12,hcrc@16")};
    const std::string where = layout.substr(0, colon);
    std::vector<Field> fields = fields_of(layout.substr(colon + 1), given_as);
    const bool placed = hex_prefixed(where);
    if (placed) {
        if (!read_placed(where, header))
            throw Refusal{given_as + ": " + quoted(where) +
                          " is no header: give its address and size, as in "
                          "0x08004000+16, or its symbol"};
        header.symbol = "header";
    } else {
        header.symbol = where;
        find_header(header, elf, asker);
    }
    const std::string& name = placed ? where : header.symbol;
    const layout::Cluster* cluster = nullptr;
    size_t cluster_index = 0;
    for (size_t c = 0; c < loadable.clusters.size(); ++c)
        if (header.address >= loadable.clusters[c].start &&
            header.address < loadable.clusters[c].end) {
            cluster = &loadable.clusters[c];
            cluster_index = c;
        }
    if (!cluster || header.size > cluster->end - header.address)
        throw Refusal{name + " (" + address(header.address) + ", " +
                      std::to_string(header.size) +
                      " bytes) is not all in the loadable bytes"};
    // Its fields are written into its own segment's bytes, never into the
    // next one's (.data's initial values after a header whose size lies).
    for (const layout::Span& span : loadable.spans)
        if (header.address >= span.address && header.address < span.end() &&
            header.size > span.end() - header.address)
            throw Refusal{
                name + " (" + address(header.address) + ", " +
                std::to_string(header.size) +
                " bytes) runs past the end of its "
                "segment at " +
                address(span.end()) +
                (placed ? "" : ": its size in the symbol table is not the header's")};
    header.body_start = header.address + header.size;
    header.body_end = (cluster->end + 3) & ~uint64_t{3};
    if (header.body_start >= header.body_end)
        throw Refusal{"the body after " + name + " is empty: " + name +
                      " ends its image at " + address(header.body_start)};
    if (header.body_end - header.body_start > 0xFFFFFFFF)
        throw Refusal{"the body after " + name +
                      " is 4 GiB or more: its size does not fit "
                      "the 4-byte size field"};

    std::vector<Planned> out;
    for (const Field& f : fields) {
        const std::string label = header.symbol + "." + f.name;
        std::optional<Algorithm> algorithm;
        if (f.name != "size") algorithm = algorithm_for(plan, f.algorithm, given_as);
        unsigned width = algorithm ? algorithm->width : 4;
        if (f.offset > header.size || width > header.size - f.offset)
            throw Refusal{text::format(
                "%s: the %s field (%u bytes at offset %llu) lies outside %s, which "
                "is %llu bytes",
                option.c_str(), f.name.c_str(), width,
                static_cast<unsigned long long>(f.offset), name.c_str(),
                static_cast<unsigned long long>(header.size))};
        uint64_t slot = header.address + f.offset;
        if (slot % alignment_of(width) != 0)
            throw Refusal{text::format(
                "%s: the %s field at %s is not aligned: a %u-byte value needs an "
                "address that is a multiple of %u",
                option.c_str(), f.name.c_str(), address(slot).c_str(), width,
                alignment_of(width))};
        if (f.name == "hcrc" && f.offset == 0)
            throw Refusal{option +
                          ": the hcrc field is the header's first byte: it covers "
                          "the bytes before it, and there are none"};
        Planned p;
        p.image.cluster = p.image.last_cluster = cluster_index;
        p.image.start = cluster->start;
        p.image.end = header.body_end;
        p.image.record = slot;
        if (!algorithm)
            p.record = {slot, 4, Intervals(header.body_start, header.body_end), label,
                        size_producer()};
        else if (f.name == "crc")
            p.record = {
                slot, width, Intervals(header.body_start, header.body_end), label,
                crc_producer(CrcRole::body, *algorithm, feed_for(plan, *algorithm))};
        else
            p.record = {slot, width, Intervals(header.address, slot), label,
                        crc_producer(CrcRole::before_field, *algorithm,
                                     feed_for(plan, *algorithm))};
        for (const Planned& other : out)
            if (slot < other.record.slot_end() && other.record.slot < slot + width)
                throw Refusal{option + ": the " + f.name + " field overlaps the " +
                              other.record.label.substr(header.symbol.size() + 1) +
                              " field"};
        out.push_back(std::move(p));
    }
    return out;
}

}  // namespace velk::records
