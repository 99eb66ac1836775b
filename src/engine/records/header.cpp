#include "header.h"

#include "../inputs/placement.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "symbols.h"

namespace velk::records {

namespace {

using text::address;

// The header object by its symbol, which must be a const object in flash.
void find_header(Header& header, const ElfBuild* elf, const Asker& asker) {
    const std::string& name = header.symbol;
    if (!elf)
        throw Refusal{std::string(asker.name(Option::header)) +
                      " needs the build's symbols to find " + name +
                      ": check the ELF file, pass it with " + asker.name(Option::elf) +
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

std::vector<Planned> plan_header(const HeaderLayout& layout, const Plan& plan,
                                 const ElfBuild* elf, const layout::Loadable& loadable,
                                 Header& header) {
    if (!layout.refusal.empty()) throw Refusal{layout.refusal};
    const Asker& asker = plan.asker;
    const std::string option = asker.name(Option::header);
    const std::string given_as = asker.given(Option::header, layout.text);
    const bool placed = !layout.symbol;
    if (placed) {
        header.address = layout.address;
        header.size = layout.size;
        header.symbol = "header";
    } else {
        header.symbol = *layout.symbol;
        find_header(header, elf, asker);
    }
    const std::string& name = placed ? layout.where : header.symbol;
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
    for (const HeaderField& f : layout.fields) {
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
