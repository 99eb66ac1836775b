// The records of many images that differ from one build's image only at a
// few small places (each device's serial, its MAC): what does not change is
// computed once, and per image only what the changed bytes reach. A CRC
// over a long range costs the bytes from a change to the end of the change
// and a combine of the rest, not the range.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "../layout/memory_map.h"
#include "plan.h"

namespace velk::records {

class Incremental {
public:
    // `base`: the build's image before any record is stored, every changing
    // place holding its placeholder; `changing`: those places, [from, to)
    // each. The plan must outlive it.
    Incremental(const Plan& plan, const layout::MemoryMap& base,
                std::vector<std::pair<uint64_t, uint64_t>> changing);

    // Exactly what store_all(plan, memory, stored) does for `memory`
    // (`base` with other bytes at the changing places only): every record
    // computed in the plan's order and stored into it. Several threads may
    // call it at once.
    void store_all(layout::MemoryMap& memory, std::vector<Bytes>& stored) const;

private:
    // A stretch of a CRC's range, as the CRC is fed it: bytes counted from
    // the range's start, holes left out.
    struct Stretch {
        uint64_t from, to;
        bool changes;   // read from each image; otherwise the same in all
        uint64_t tail;    // unchanged: its bytes' register from 0
        uint64_t factor;  // unchanged: what a register is multiplied by over it
    };
    struct Step {
        size_t index;  // into the plan's records
        enum How {
            same,      // the base image's value
            crc,       // the register combined around the changed stretches
            produced,  // computed by its producer, as store_all does
        } how;
        Bytes value;  // same: what it holds
        // crc: the register after the first stretch when that one is
        // unchanged (the start's otherwise), and the stretches after it.
        uint64_t first_register = 0;
        std::vector<Stretch> stretches;
    };

    const Plan& plan_;
    std::vector<Step> steps_;
};

}  // namespace velk::records
