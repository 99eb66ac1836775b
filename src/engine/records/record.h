// The records a run stores into the flash image: each a slot (an address
// and a width) and what it holds, computed over the range it covers. One
// checksum record is what FLASH has always written; an image header adds
// its length and checksums, an LPC part its vector-table sum.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace velk::records {

enum class Kind {
    crc,   // the checksum of [start, end)
    size,  // the length of [start, end), 4 bytes
    lpc,   // the two's complement of the sum of the 32-bit words in [start, end)
};

struct Record {
    Kind kind;
    uint64_t slot;   // where its value is stored
    unsigned width;  // bytes
    uint64_t start, end;  // the range it covers: [start, end)
    std::string label;    // how lines and refusals name it

    uint64_t slot_end() const { return slot + width; }
    // Whether its value depends on the bytes of its range (a length does
    // not).
    bool reads_bytes() const { return kind != Kind::size; }
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

// The alignment a slot of `width` bytes needs: its width, 4 above 4.
inline unsigned alignment_of(unsigned width) {
    return width > 4 ? 4 : width;
}

}  // namespace velk::records
