#include "plan.h"

#include <algorithm>
#include <set>

#include "../diagnostics/layout_warnings.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"
#include "exclusions.h"
#include "header.h"
#include "symbols.h"

namespace velk::records {

namespace {

using text::address;

// --lpc-vectors: the eighth word of a Cortex-M vector table.
constexpr uint64_t lpc_slot_offset = 0x1C;

// Where an '@' starts a record's range: a 0x address, or a symbol whose
// flash address it is.
uint64_t range_start(const Selector& s, const ElfBuild* elf) {
    const std::string& from = *s.from;
    if (s.from_address.value || !s.from_address.refusal.empty())
        return read_or_refuse(s.from_address);
    if (!elf)
        throw Refusal{s.word + ": " + quoted(from) +
                      " is a symbol and the file has none: give a 0x address, or the "
                      "build's ELF file with " +
                      s.asker.name(Option::elf)};
    return in_flash(from, *elf, s.asker, Option::symbol).address;
}

// The variable's name, or the word as the numbers read: "--a1FFC", or
// from the Python API "offset=0x1FFC".
std::string label_of(const Selector& s, const Placement& p) {
    if (s.letter == 'n') return s.value;
    return s.asker.given(s.letter == 'a' ? Option::offset : Option::block,
                         p.request.value);
}

Planned from_selector(const Selector& s, const Plan& plan, const ElfBuild* elf,
                      const layout::Loadable& loadable, bool force) {
    const Algorithm algorithm = algorithm_for(plan, s.algorithm, s.word);
    Planned p;
    p.from_selector = true;
    p.placement = place_checksum(s, algorithm.width, elf, force);
    p.image = image_for(loadable, p.placement);
    const uint64_t slot = p.image.record;
    p.record = {slot, algorithm.width, Intervals(p.image.start, slot),
                label_of(s, p.placement),
                crc_producer(CrcRole::selector, algorithm, feed_for(plan, algorithm))};
    // An offset's address, not only its distance from the image start, must
    // suit the width, as a variable's must: --force lets both pass, the
    // layout checks saying so.
    if (s.letter == 'a' && slot % alignment_of(algorithm.width) != 0 && !force)
        throw Refusal{diagnostics::misaligned_offset(s.word, slot, algorithm.width)};
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

std::string reported_algorithm(const Plan& plan, const Planned& planned) {
    std::string own = planned.record.producer->algorithm_name();
    return own.empty() ? plan.algorithm.name : own;
}

Algorithm algorithm_for(const Plan& plan, const std::optional<AlgorithmChoice>& choice,
                        const std::string& who) {
    if (!choice) return plan.algorithm;
    try {
        return find_algorithm(choice);
    } catch (Refusal& refusal) {
        refusal.text = who + ": " + refusal.text;
        throw;
    }
}

Feed feed_for(const Plan& plan, const Algorithm& algorithm) {
    return plan.words && algorithm.is_default() ? Feed::words : Feed::bytes;
}

Plan plan_records(const Request& request, const ElfBuild* elf,
                  const layout::Loadable& loadable) {
    Plan plan;
    plan.asker = request.asker;
    plan.algorithm = find_algorithm(request.crc);
    plan.big_endian = request.big_endian;
    if (request.fill) plan.fill = read_or_refuse(*request.fill);
    plan.words = request.words;
    if (request.lpc_vectors) plan.records.push_back(lpc_record(loadable));
    if (request.header) {
        plan.header.emplace();
        for (Planned& p : plan_header(*request.header, plan, elf, loadable, *plan.header))
            plan.records.push_back(std::move(p));
    }
    for (const Selector& s : request.selectors)
        plan.records.push_back(from_selector(s, plan, elf, loadable, request.force));
    cut_exclusions(plan.records, request, elf);

    std::set<std::string> algorithms;
    bool fed_words = false;
    for (const Planned& p : plan.records) {
        const Producer& producer = *p.record.producer;
        if (!producer.algorithm_name().empty())
            algorithms.insert(producer.algorithm_name());
        fed_words = fed_words || producer.fed_words();
    }
    plan.mixed = algorithms.size() > 1;
    const bool other_crc = request.crc && !plan.algorithm.is_default();
    // Records none of which is a CRC (the LPC vector sum, a length) take no
    // words either: --words would be silently left unused.
    if (request.words && !fed_words && (other_crc || !plan.records.empty()))
        throw Refusal{request.asker.turned_on(Option::words) +
                      " feeds words the way an STM32 CRC unit computes CRC-32/MPEG-2: " +
                      (other_crc ? "it does not combine with " +
                                       request.asker.given(Option::crc, request.crc->text)
                                 : std::string("no checksum record here computes it"))};

    std::vector<Record> records;
    for (const Planned& p : plan.records) records.push_back(p.record);
    auto order = store_order(records);
    if (auto* fault = std::get_if<OrderFault>(&order)) refuse_order(*fault, plan.records);
    plan.order = std::get<std::vector<size_t>>(order);
    return plan;
}

std::string overwrites_data(const Record& record, const layout::MemoryMap& memory) {
    // A record's own algorithm sets its width: a digest's is more than 8.
    std::vector<uint8_t> old(record.width);
    memory.read(record.slot, old.data(), record.width);
    bool ff = true, zero = true, fill = true;
    for (uint8_t byte : old) {
        ff = ff && byte == 0xFF;
        zero = zero && byte == 0x00;
        fill = fill && byte == memory.fill();
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
