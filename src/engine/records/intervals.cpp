#include "intervals.h"

#include <algorithm>

namespace velk::records {

void Intervals::add(uint64_t from, uint64_t to) {
    if (from >= to) return;
    std::vector<Interval> out;
    for (const Interval& r : ranges_) {
        if (r.to < from || to < r.from) {
            out.push_back(r);
            continue;
        }
        // Touching or overlapping: one range.
        from = std::min(from, r.from);
        to = std::max(to, r.to);
    }
    out.push_back({from, to});
    std::sort(out.begin(), out.end(),
              [](const Interval& a, const Interval& b) { return a.from < b.from; });
    ranges_ = std::move(out);
}

void Intervals::remove(uint64_t from, uint64_t to) {
    if (from >= to) return;
    std::vector<Interval> out;
    for (const Interval& r : ranges_) {
        if (r.to <= from || to <= r.from) {
            out.push_back(r);
            continue;
        }
        if (r.from < from) out.push_back({r.from, from});
        if (to < r.to) out.push_back({to, r.to});
    }
    ranges_ = std::move(out);
}

uint64_t Intervals::size() const {
    uint64_t bytes = 0;
    for (const Interval& r : ranges_) bytes += r.to - r.from;
    return bytes;
}

bool Intervals::overlaps(uint64_t from, uint64_t to) const {
    for (const Interval& r : ranges_)
        if (r.from < to && from < r.to) return true;
    return false;
}

}  // namespace velk::records
