// A target memory map made of byte spans: what a HEX file will hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velk::hexfile {

// `size` bytes at `address`, borrowed from storage that outlives the map.
struct Piece {
    uint64_t address;
    const uint8_t* bytes;
    size_t size;

    uint64_t end() const { return address + size; }
};

// Pieces in ascending address order, never overlapping. A later add wins
// where it overlaps earlier ones, as a later store into memory would: the
// checksum record replaces the image bytes it lands on.
class MemoryMap {
public:
    // The caller keeps address + size within 64 bits.
    void add(uint64_t address, const uint8_t* bytes, size_t size);

    const std::vector<Piece>& pieces() const { return pieces_; }
    bool empty() const { return pieces_.empty(); }
    // One past the highest address that holds data; 0 when empty.
    uint64_t end() const { return pieces_.empty() ? 0 : pieces_.back().end(); }
    // The byte at `address`, or -1 where the map holds none.
    int byte_at(uint64_t address) const;

private:
    std::vector<Piece> pieces_;
};

}  // namespace velk::hexfile
