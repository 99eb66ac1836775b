// Records: a set of ranges against a byte-per-address model, a checksum
// over a range with holes against the CRC of its bytes one after another,
// and the store order's promise that no record is computed before a record
// whose slot it reads.
//
// Input: a fill byte, then up to 16 operations of 5 bytes (add or remove,
// a range in a 512-byte window), then up to 6 records (slot, width, range),
// then the image's bytes.
#include <algorithm>
#include <vector>

#include "../../src/engine/checksum/crc.h"
#include "../../src/engine/records/plan.h"
#include "common.h"

namespace {

using fuzzcores::Reader;
using namespace velk::records;

constexpr uint64_t base = 0x08000000;
constexpr uint64_t window = 512;

void sets(Reader& in) {
    Intervals set;
    std::vector<bool> model(window, false);
    const unsigned operations = in.u8() % 17;
    for (unsigned k = 0; k < operations; ++k) {
        const bool add = in.u8() & 1;
        uint64_t from = in.u16() % window, to = in.u16() % window;
        if (add)
            set.add(base + from, base + to);
        else
            set.remove(base + from, base + to);
        for (uint64_t a = from; a < to; ++a) model[a] = add;
    }
    uint64_t bytes = 0;
    for (bool b : model) bytes += b;
    FUZZ_CHECK(set.size() == bytes, "%llu bytes, the model %llu",
               static_cast<unsigned long long>(set.size()), static_cast<unsigned long long>(bytes));
    const auto& r = set.ranges();
    for (size_t i = 0; i < r.size(); ++i) {
        FUZZ_CHECK(r[i].from < r[i].to, "an empty range kept");
        FUZZ_CHECK(i == 0 || r[i - 1].to < r[i].from, "ranges that touch or overlap");
        for (uint64_t a = r[i].from; a < r[i].to; ++a)
            FUZZ_CHECK(model[a - base], "0x%llX in the set, not in the model",
                       static_cast<unsigned long long>(a));
    }
}

void records_over(Reader& in) {
    const uint8_t fill = in.u8();
    Plan plan;
    plan.algorithm = find_algorithm(std::nullopt);
    plan.fill = fill;
    const unsigned count = in.u8() % 7;
    std::vector<Record> records;
    for (unsigned k = 0; k < count; ++k) {
        const uint64_t slot = base + in.u16() % window;
        const unsigned width = 1u << (in.u8() % 4);
        uint64_t from = base + in.u16() % window, to = base + in.u16() % window;
        Intervals range(std::min(from, to), std::max(from, to));
        const uint64_t hole = base + in.u16() % window;
        range.remove(hole, hole + in.u8() % 64);
        records.push_back({slot, width, range, "r",
                           crc_producer(CrcRole::selector, plan.algorithm, Feed::bytes)});
    }
    size_t got = 0;
    const uint8_t* image = in.take(window, got);
    velk::layout::MemoryMap memory(fill);
    if (got) memory.append(base, image, got);
    if (got < window) memory.append_fill(base + got, window - got);

    auto byte_at = [&](uint64_t a) { return a - base < got ? image[a - base] : fill; };
    const velk::checksum::Crc crc(plan.algorithm.row->parameters);
    for (const Record& r : records) {
        std::vector<uint8_t> bytes;
        for (const Interval& part : r.range.ranges())
            for (uint64_t a = part.from; a < part.to; ++a) bytes.push_back(byte_at(a));
        Record four = r;
        four.width = 4;
        const Bytes value = four.producer->produce(plan, four, memory);
        const uint64_t want = crc.of(bytes.data(), bytes.size());
        FUZZ_CHECK(value.size() == 4 && (value[0] | value[1] << 8 | value[2] << 16 |
                                         static_cast<uint64_t>(value[3]) << 24) == want,
                   "the CRC over %zu ranges", r.range.ranges().size());
    }

    auto order = store_order(records);
    if (auto* fault = std::get_if<OrderFault>(&order)) {
        const Record& a = records[fault->first];
        const Record& b = records[fault->second];
        if (fault->why == OrderFault::overlap)
            FUZZ_CHECK(a.slot < b.slot_end() && b.slot < a.slot_end(), "no overlap");
        return;
    }
    const std::vector<size_t>& sequence = std::get<std::vector<size_t>>(order);
    FUZZ_CHECK(sequence.size() == records.size(), "every record once");
    // Once a record is computed, no later one is stored where it reads.
    for (size_t i = 0; i < sequence.size(); ++i)
        for (size_t j = i + 1; j < sequence.size(); ++j) {
            const Record& early = records[sequence[i]];
            const Record& late = records[sequence[j]];
            FUZZ_CHECK(!early.range.overlaps(late.slot, late.slot_end()),
                       "a record computed before one stored in its range");
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    sets(in);
    records_over(in);
    return 0;
}
