// The records a run stores into the flash image: each a slot (an address
// and a width), the range it covers, and the producer that computes the
// slot's bytes from the image and words its lines. One checksum record is
// what FLASH has always written; an image header adds its length and
// checksums, an LPC part its vector-table sum.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "../layout/flash_layout.h"
#include "intervals.h"

namespace velk::records {

class Producer;

struct Record {
    uint64_t slot;   // where its value is stored
    unsigned width;  // bytes
    // What it is about: the bytes a checksum covers, the body a length
    // measures.
    Intervals range;
    std::string label;  // how lines and refusals name it
    std::shared_ptr<const Producer> producer;  // what it holds, and how it is told

    uint64_t slot_end() const { return slot + width; }
    uint64_t start() const { return range.start(); }
    uint64_t end() const { return range.end(); }
    // Whether its value depends on the bytes of its range (a length does
    // not).
    bool reads_bytes() const;
};

// Why the records cannot be stored; `first` and `second` index them.
struct OrderFault {
    enum Why {
        overlap,  // two slots share a byte
        cycle,    // each covers the other's slot, through a chain perhaps
    } why;
    size_t first, second;
};

// The order to compute and store the records in: one whose slot lies in
// another's range is stored before that one is computed. Refuses slots
// that overlap and a cycle.
std::variant<std::vector<size_t>, OrderFault> store_order(const std::vector<Record>& records);

using layout::alignment_of;

}  // namespace velk::records
