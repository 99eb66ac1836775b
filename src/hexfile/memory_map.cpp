#include "memory_map.h"

#include <algorithm>

namespace velk::hexfile {

void MemoryMap::add(uint64_t address, const uint8_t* bytes, size_t size) {
    if (size == 0) return;
    const uint64_t end = address + size;
    std::vector<Piece> kept;
    kept.reserve(pieces_.size() + 2);
    for (const Piece& p : pieces_) {
        if (p.end() <= address || p.address >= end) {
            kept.push_back(p);
            continue;
        }
        // Keep what sticks out below and above the new piece.
        if (p.address < address)
            kept.push_back(
                {p.address, p.bytes, static_cast<size_t>(address - p.address)});
        if (p.end() > end)
            kept.push_back(
                {end, p.bytes + (end - p.address), static_cast<size_t>(p.end() - end)});
    }
    kept.push_back({address, bytes, size});
    std::sort(kept.begin(), kept.end(),
              [](const Piece& a, const Piece& b) { return a.address < b.address; });
    pieces_ = std::move(kept);
}

int MemoryMap::byte_at(uint64_t address) const {
    auto after =
        std::upper_bound(pieces_.begin(), pieces_.end(), address,
                         [](uint64_t a, const Piece& p) { return a < p.address; });
    if (after == pieces_.begin()) return -1;
    const Piece& p = *(after - 1);
    if (address >= p.end()) return -1;
    return p.bytes[address - p.address];
}

}  // namespace velk::hexfile
