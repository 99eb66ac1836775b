// A set of address ranges: what a record covers. A range, or a range with
// holes cut out of it (bytes a record leaves out of its checksum). Kept
// sorted, disjoint and without empty ranges.
#pragma once

#include <cstdint>
#include <vector>

namespace velk::records {

struct Interval {
    uint64_t from, to;  // [from, to)
};

class Intervals {
public:
    Intervals() = default;
    // [from, to); an empty one still says where it lies.
    Intervals(uint64_t from, uint64_t to) : anchor_(from) { add(from, to); }

    void add(uint64_t from, uint64_t to);
    void remove(uint64_t from, uint64_t to);

    bool empty() const { return ranges_.empty(); }
    // The lowest address and the end of the highest range; for an empty
    // set, where it was made.
    uint64_t start() const { return empty() ? anchor_ : ranges_.front().from; }
    uint64_t end() const { return empty() ? anchor_ : ranges_.back().to; }
    // The bytes the set holds.
    uint64_t size() const;
    bool overlaps(uint64_t from, uint64_t to) const;
    const std::vector<Interval>& ranges() const { return ranges_; }

private:
    std::vector<Interval> ranges_;
    uint64_t anchor_ = 0;
};

}  // namespace velk::records
