#include "incremental.h"

#include <algorithm>
#include <cstring>

#include "../base/byte_order.h"

namespace velk::records {

namespace {

// Changed stretches closer than this are fed as one: the bytes between
// cost less than a combine.
constexpr uint64_t near = 64;

// Whether a record reading `range` sees any of the `dirty` bytes.
bool touches(const Intervals& range, const Intervals& dirty) {
    for (const Interval& d : dirty.ranges())
        if (range.overlaps(d.from, d.to)) return true;
    return false;
}

// Bytes `from` to `to` of `range` as a CRC is fed them (counted from the
// range's start, its holes left out; erased flash and bytes the map lacks
// as its fill value, as value_of reads them) through `crc` from `reg`. With
// words, `from` and `to` lie on words of the feed.
uint64_t fed(const checksum::Crc& crc, Feed feed, uint64_t reg,
             const layout::MemoryMap& memory, const Intervals& range, uint64_t from,
             uint64_t to) {
    uint8_t chunk[4096];  // whole words
    size_t held = 0;
    uint64_t at = 0;  // where the part starts, counted as `from` is
    for (const Interval& part : range.ranges()) {
        if (at >= to) break;
        const uint64_t size = part.to - part.from;
        if (at + size > from)
            memory.walk(part.from + (std::max(from, at) - at),
                        part.from + (std::min(to, at + size) - at),
                        [&](const uint8_t* bytes, uint64_t n) {
                            while (n) {
                                const size_t k = static_cast<size_t>(
                                    std::min<uint64_t>(n, sizeof chunk - held));
                                if (bytes) {
                                    std::memcpy(chunk + held, bytes, k);
                                    bytes += k;
                                } else {
                                    std::memset(chunk + held, memory.fill(), k);
                                }
                                held += k;
                                n -= k;
                                if (held == sizeof chunk) {
                                    reg = crc.update(reg, chunk, held, feed);
                                    held = 0;
                                }
                            }
                        });
        at += size;
    }
    return crc.update(reg, chunk, held, feed);
}

Feed feed_of(const Producer& producer) {
    return producer.fed_words() ? Feed::words : Feed::bytes;
}

}  // namespace

Incremental::Incremental(const Plan& plan, const layout::MemoryMap& base,
                         std::vector<std::pair<uint64_t, uint64_t>> changing)
    : plan_(plan) {
    // Bytes that may differ between images: the changing places, then the
    // slot of every record whose range reaches one.
    Intervals dirty;
    for (const auto& [from, to] : changing)
        if (from < to) dirty.add(from, to);
    // The base image as store_all leaves it after each record; a record
    // that changes is left out of it, no unchanged one reading its slot.
    layout::MemoryMap memory = base;
    for (size_t i : plan.order) {
        const Record& r = plan.records[i].record;
        const Producer& producer = *r.producer;
        Step step{i, Step::same, {}, 0, {}};
        if (!producer.reads_bytes() || !touches(r.range, dirty)) {
            step.value = producer.produce(plan, r, memory);
            memory.overlay(r.slot, step.value.data(), r.width);
            steps_.push_back(std::move(step));
            continue;
        }
        dirty.add(r.slot, r.slot_end());
        const checksum::Crc* crc = producer.crc();
        if (!crc) {
            step.how = Step::produced;
            steps_.push_back(std::move(step));
            continue;
        }
        step.how = Step::crc;
        const Feed feed = feed_of(producer);
        // The changed bytes, counted as the CRC is fed them; a unit fed
        // words takes whole ones.
        const uint64_t total = r.range.size();
        std::vector<Interval> changed;
        uint64_t at = 0;
        for (const Interval& part : r.range.ranges()) {
            for (const Interval& d : dirty.ranges()) {
                uint64_t from = std::max(d.from, part.from), to = std::min(d.to, part.to);
                if (from >= to) continue;
                from = at + (from - part.from);
                to = at + (to - part.from);
                if (feed == Feed::words) {
                    from &= ~uint64_t{3};
                    to = std::min(total, (to + 3) & ~uint64_t{3});
                }
                if (!changed.empty() && from <= changed.back().to + near)
                    changed.back().to = std::max(changed.back().to, to);
                else
                    changed.push_back({from, to});
            }
            at += part.to - part.from;
        }
        uint64_t done = 0;
        for (const Interval& c : changed) {
            if (done < c.from) step.stretches.push_back({done, c.from, false, 0, 0});
            step.stretches.push_back({c.from, c.to, true, 0, 0});
            done = c.to;
        }
        if (done < total) step.stretches.push_back({done, total, false, 0, 0});
        step.first_register = crc->start();
        for (Stretch& s : step.stretches)
            if (!s.changes) {
                s.tail = fed(*crc, feed, 0, memory, r.range, s.from, s.to);
                s.factor = crc->factor(s.to - s.from);
            }
        if (!step.stretches.empty() && !step.stretches.front().changes) {
            const Stretch& first = step.stretches.front();
            step.first_register = crc->combine(crc->start(), first.tail, first.to);
            step.stretches.erase(step.stretches.begin());
        }
        steps_.push_back(std::move(step));
    }
}

void Incremental::store_all(layout::MemoryMap& memory, std::vector<Bytes>& stored) const {
    stored.assign(plan_.records.size(), {});
    for (const Step& step : steps_) {
        const Record& r = plan_.records[step.index].record;
        const Producer& producer = *r.producer;
        Bytes& value = stored[step.index];
        if (step.how == Step::same) {
            value = step.value;
        } else if (step.how == Step::produced) {
            value = producer.produce(plan_, r, memory);
        } else {
            const checksum::Crc& crc = *producer.crc();
            const Feed feed = feed_of(producer);
            uint64_t reg = step.first_register;
            for (const Stretch& s : step.stretches)
                reg = s.changes ? fed(crc, feed, reg, memory, r.range, s.from, s.to)
                                : crc.shifted(reg, s.factor) ^ s.tail;
            value.resize(r.width);
            bytes::store(value.data(), r.width,
                         producer.big_endian(plan_) ? bytes::Order::big
                                                    : bytes::Order::little,
                         crc.finish(reg));
        }
        memory.overlay(r.slot, value.data(), r.width);
    }
}

}  // namespace velk::records
