#include "plan.h"

#include <algorithm>

#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/spelling.h"

namespace velk::records {

namespace {

using text::address;

// --lpc-vectors: the eighth word of a Cortex-M vector table.
constexpr uint64_t lpc_slot_offset = 0x1C;

// Where an '@' starts a record's range: a 0x address, or a symbol whose
// flash address it is.
uint64_t range_start(const Selector& s, const ElfBuild* elf) {
    const std::string& from = *s.from;
    uint64_t value = 0;
    if (from.size() >= 2 && from[0] == '0' && (from[1] == 'x' || from[1] == 'X')) {
        if (!read_hex_address(from, value))
            throw Refusal{s.word + ": " + quoted(from) + " is not an address"};
        return value;
    }
    if (from.empty())
        throw Refusal{s.word +
                      ": '@' needs where the range starts, a symbol or a 0x address"};
    if (!elf)
        throw Refusal{s.word + ": " + quoted(from) +
                      " is a symbol and the file has none: give a 0x address, or the "
                      "build's ELF file with " + option_name(s.front, Option::elf)};
    diagnostics::Symbol symbol = find_variable(from, *elf, s.front, Option::symbol);
    // An Arm Thumb function's symbol has bit 0 set; its code starts below.
    constexpr uint16_t em_arm = 40;
    uint64_t code = symbol.value;
    if (symbol.function && elf->file.header.machine == em_arm) code &= ~uint64_t{1};
    return layout::locate_slot(elf->headers, code).address;
}

// The variable's name, or the word as the numbers read: "--a1FFC", or
// from the Python API "offset=0x1FFC".
std::string label_of(const Selector& s, const Placement& p) {
    const auto value = static_cast<unsigned long long>(p.request.value);
    const bool api = s.front == Front::api;
    if (s.letter == 'n') return s.value;
    if (s.letter == 'a') return text::format(api ? "offset=0x%llX" : "--a%llX", value);
    return text::format(api ? "block=%llu" : "--s%llu", value);
}

Planned from_selector(const Selector& s, const Algorithm& algorithm, const ElfBuild* elf,
                      const layout::Loadable& loadable) {
    Planned p;
    p.from_selector = true;
    p.placement = place_checksum(s, algorithm.width, elf);
    p.image = image_for(loadable, p.placement);
    const uint64_t slot = p.image.record;
    p.record = {slot, algorithm.width, Intervals(p.image.start, slot), label_of(s, p.placement),
                crc_producer(CrcRole::selector)};
    // A variable's alignment is one of the layout checks, which --force
    // lets pass; an offset is the command line's own: its address, not
    // only its distance from the image start, must suit the width.
    const unsigned align = alignment_of(algorithm.width);
    if (s.letter == 'a' && slot % align != 0)
        throw Refusal{text::format("%s: the slot at %s is not a multiple of %u, where a "
                                   "%u-byte value belongs",
                                   s.word.c_str(), address(slot).c_str(), align,
                                   algorithm.width)};
    if (!s.from) return p;
    uint64_t from = range_start(s, elf);
    if (from > slot)
        throw Refusal{s.word + ": the range would start at " + address(from) +
                      ", after its slot at " + address(slot)};
    if (from == slot)
        throw Refusal{s.word + ": the range from " + address(from) +
                      " to its slot is empty"};
    if (from < p.image.start)
        throw Refusal{s.word + ": " + address(from) + " lies outside the slot's image (" +
                      address(p.image.start) + " to " + address(p.image.end) + ")"};
    p.record.range = Intervals(from, slot);
    p.starts_at_from = true;
    return p;
}

// "size@8": a header field and its offset.
struct Field {
    std::string name;
    uint64_t offset;
    std::string text;
};

// `header` names the option for refusals: "--header <layout>".
std::vector<Field> fields_of(const std::string& list, const std::string& header) {
    std::vector<Field> fields;
    size_t at = 0;
    while (at <= list.size()) {
        size_t comma = list.find(',', at);
        std::string item = list.substr(at, comma == std::string::npos ? comma : comma - at);
        at = comma == std::string::npos ? list.size() + 1 : comma + 1;
        size_t sign = item.find('@');
        std::string name = item.substr(0, sign);
        if (name != "size" && name != "crc" && name != "hcrc")
            throw Refusal{header + ": " + quoted(item) +
                          " is no field: the fields are size@<offset>, crc@<offset> and "
                          "hcrc@<offset>"};
        std::string offset = sign == std::string::npos ? "" : item.substr(sign + 1);
        bool hex = offset.size() > 2 && offset[0] == '0' && (offset[1] == 'x' || offset[1] == 'X');
        Field f{name, 0, item};
        if (offset.empty() || !read_number(offset, hex ? 16 : 10, f.offset))
            throw Refusal{header + ": the " + name +
                          " field needs its offset from the header's start, in decimal or "
                          "0x hex, as in " + name + "@8"};
        for (const Field& other : fields)
            if (other.name == name)
                throw Refusal{header + ": the " + name + " field is given twice"};
        fields.push_back(f);
    }
    return fields;
}

// --header <symbol>:<field>@<offset>,...: the header object, its body from
// its end to the end of its image, and a record per field.
std::vector<Planned> from_header(const std::string& layout, Front front,
                                 const Algorithm& algorithm, const ElfBuild* elf,
                                 const layout::Loadable& loadable, Header& header) {
    const std::string option = option_name(front, Option::header);
    const std::string given_as = given(front, Option::header, layout);
    size_t colon = layout.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == layout.size())
        throw Refusal{given_as + ": give the header's symbol and its fields, as in " +
                      given(front, Option::header, "app_header:size@8,crc@12,hcrc@16")};
    header.symbol = layout.substr(0, colon);
    std::vector<Field> fields = fields_of(layout.substr(colon + 1), given_as);
    if (!elf)
        throw Refusal{option + " needs the build's symbols: check the ELF file, or pass it "
                      "with " + option_name(front, Option::elf)};
    const std::string& name = header.symbol;
    diagnostics::Symbol symbol = find_variable(name, *elf, front, Option::header);
    layout::Slot where = layout::locate_slot(elf->headers, symbol.value);
    if (symbol.function)
        throw Refusal{name + " is a function, not a header object"};
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
            throw Refusal{name + " (" + address(header.address) + ", " +
                          std::to_string(header.size) + " bytes) runs past the end of its "
                          "segment at " + address(span.end()) +
                          ": its size in the symbol table is not the header's"};
    header.body_start = header.address + header.size;
    header.body_end = (cluster->end + 3) & ~uint64_t{3};
    if (header.body_start >= header.body_end)
        throw Refusal{"the body after " + name + " is empty: " + name +
                      " ends its image at " + address(header.body_start)};
    if (header.body_end - header.body_start > 0xFFFFFFFF)
        throw Refusal{"the body after " + name + " is 4 GiB or more: its size does not fit "
                      "the 4-byte size field"};

    std::vector<Planned> out;
    for (const Field& f : fields) {
        unsigned width = f.name == "size" ? 4 : algorithm.width;
        if (f.offset > header.size || width > header.size - f.offset)
            throw Refusal{text::format(
                "%s: the %s field (%u bytes at offset %llu) lies outside %s, which "
                "is %llu bytes",
                option.c_str(), f.name.c_str(), width, static_cast<unsigned long long>(f.offset),
                name.c_str(), static_cast<unsigned long long>(header.size))};
        uint64_t slot = header.address + f.offset;
        if (slot % alignment_of(width) != 0)
            throw Refusal{text::format(
                "%s: the %s field at %s is not aligned: a %u-byte value needs an "
                "address that is a multiple of %u",
                option.c_str(), f.name.c_str(), address(slot).c_str(), width, alignment_of(width))};
        if (f.name == "hcrc" && f.offset == 0)
            throw Refusal{option + ": the hcrc field is the header's first byte: it covers "
                          "the bytes before it, and there are none"};
        Planned p;
        p.image.cluster = p.image.last_cluster = cluster_index;
        p.image.start = cluster->start;
        p.image.end = header.body_end;
        p.image.record = slot;
        const std::string label = name + "." + f.name;
        if (f.name == "size")
            p.record = {slot, 4, Intervals(header.body_start, header.body_end), label,
                        size_producer()};
        else if (f.name == "crc")
            p.record = {slot, width, Intervals(header.body_start, header.body_end), label,
                        crc_producer(CrcRole::body)};
        else
            p.record = {slot, width, Intervals(header.address, slot), label,
                        crc_producer(CrcRole::before_field)};
        for (const Planned& other : out)
            if (slot < other.record.slot_end() && other.record.slot < slot + width)
                throw Refusal{option + ": the " + f.name + " field overlaps the " +
                              other.record.label.substr(name.size() + 1) + " field"};
        out.push_back(std::move(p));
    }
    return out;
}

// --lpc-vectors: the two's complement of the first seven vectors' sum in
// the eighth, at the start of the image the first loadable bytes open.
Planned lpc_record(const layout::Loadable& loadable) {
    Placement placement;
    placement.request = {layout::Selector::address, lpc_slot_offset, 4};
    Planned p;
    p.image = image_for(loadable, placement);
    p.record = {p.image.record, 4, Intervals(p.image.start, p.image.record),
                "the LPC vector checksum", lpc_producer()};
    return p;
}

void refuse_order(const OrderFault& fault, const std::vector<Planned>& records) {
    const Record& a = records[fault.first].record;
    const Record& b = records[fault.second].record;
    if (fault.why == OrderFault::overlap)
        throw Refusal{text::format("the slots of %s (%s, %u bytes) and %s (%s, %u bytes) "
                                   "overlap",
                                   a.label.c_str(), address(a.slot).c_str(), a.width,
                                   b.label.c_str(), address(b.slot).c_str(), b.width)};
    throw Refusal{a.label + " and " + b.label +
                  " cover each other's slot (through the records between them, if any): "
                  "none of them can be computed first; start a range after the other "
                  "slot with @<from>"};
}

}  // namespace

void Plan::refuse_unfit() const {
    for (const Planned& p : records)
        if (std::string why = p.record.producer->unfit(*this, p.record); !why.empty())
            throw Refusal{why};
}

std::vector<std::pair<uint64_t, uint64_t>> Plan::images() const {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const Planned& p : records) out.emplace_back(p.image.start, p.image.end);
    return out;
}

std::pair<uint64_t, uint64_t> Plan::bin_range() const {
    uint64_t from = UINT64_MAX, to = 0;
    for (const Planned& p : records) {
        from = std::min(from, p.image.start);
        to = std::max(to, p.image.end);
    }
    return {from, to};
}

std::vector<size_t> Plan::by_slot() const {
    std::vector<size_t> order(records.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return records[a].record.slot < records[b].record.slot;
    });
    return order;
}

size_t Plan::lowest() const {
    std::vector<size_t> order = by_slot();
    for (size_t i : order)
        if (records[i].record.reads_bytes()) return i;
    return order.front();
}

std::string Plan::how(bool named) const {
    std::string out = algorithm.is_default() && !named ? "" : algorithm.name + ", ";
    out += feed == Feed::words ? "fed words" : "fed bytes";
    if (big_endian && !algorithm.fixed_order()) out += ", big-endian";
    return out;
}

Plan plan_records(const Request& request, const ElfBuild* elf,
                  const layout::Loadable& loadable) {
    Plan plan;
    plan.front = request.front;
    plan.algorithm = find_algorithm(request.crc);
    plan.big_endian = request.big_endian;
    if (request.fill) {
        uint64_t fill = 0;
        if (!read_hex_address(*request.fill, fill) || fill > 0xFF)
            throw Refusal{std::string(option_name(request.front, Option::fill)) +
                          " takes the byte erased flash reads, 0x00 to 0xFF: " +
                          quoted(*request.fill) + " is not one"};
        plan.fill = static_cast<uint8_t>(fill);
    }
    if (request.words) {
        if (!plan.algorithm.is_default())
            throw Refusal{turned_on(request.front, Option::words) +
                          " feeds words the way an STM32 CRC unit computes CRC-32/MPEG-2: it "
                          "does not combine with " +
                          given(request.front, Option::crc, *request.crc)};
        plan.feed = Feed::words;
    }
    if (request.lpc_vectors) plan.records.push_back(lpc_record(loadable));
    if (request.header) {
        plan.header.emplace();
        for (Planned& p :
             from_header(*request.header, request.front, plan.algorithm, elf, loadable,
                         *plan.header))
            plan.records.push_back(std::move(p));
    }
    for (const Selector& s : request.selectors)
        plan.records.push_back(from_selector(s, plan.algorithm, elf, loadable));

    std::vector<Record> records;
    for (const Planned& p : plan.records) records.push_back(p.record);
    auto order = store_order(records);
    if (auto* fault = std::get_if<OrderFault>(&order)) refuse_order(*fault, plan.records);
    plan.order = std::get<std::vector<size_t>>(order);
    return plan;
}

std::string overwrites_data(const Record& record, const layout::MemoryMap& memory) {
    std::vector<uint8_t> old(record.width);
    memory.read(record.slot, old.data(), record.width);
    bool ff = true, zero = true, fill = true;
    uint64_t value = 0;
    for (unsigned i = 0; i < record.width; ++i) {
        ff = ff && old[i] == 0xFF;
        zero = zero && old[i] == 0x00;
        fill = fill && old[i] == memory.fill();
        value = value << 8 | old[i];
    }
    if (ff || zero || fill) return {};
    return text::format("%s at %s would overwrite data: the build holds the bytes %s there, "
                        "not a placeholder (0xFF, 0x00 or the fill value)",
                        record.label.c_str(), address(record.slot).c_str(),
                        hex_bytes(old.data(), record.width).c_str());
}

void store_all(const Plan& plan, layout::MemoryMap& memory, std::vector<Bytes>& stored) {
    stored.assign(plan.records.size(), {});
    for (size_t i : plan.order) {
        const Record& r = plan.records[i].record;
        stored[i] = r.producer->produce(plan, r, memory);
        memory.overlay(r.slot, stored[i].data(), r.width);
    }
}

std::string hex_bytes(const uint8_t* bytes, unsigned count) {
    std::string out;
    for (unsigned i = 0; i < count; ++i) out += text::format(i ? " %02X" : "%02X", bytes[i]);
    return out;
}

}  // namespace velk::records
