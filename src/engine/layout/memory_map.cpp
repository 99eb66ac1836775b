#include "memory_map.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace velk::layout {

Buffer share(std::vector<uint8_t> bytes) {
    return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

void MemoryMap::append(uint64_t address, const uint8_t* bytes, uint64_t size,
                       Keeper keeper) {
    if (size == 0) return;
    pieces_.push_back({address, bytes, size, erased, std::move(keeper)});
}

void MemoryMap::append(uint64_t address, const uint8_t* bytes, uint64_t size) {
    if (size == 0) return;
    if (!bytes) return pieces_.push_back({address, nullptr, size, erased});
    Buffer own = share(std::vector<uint8_t>(bytes, bytes + size));
    append(address, own->data(), size, own);
}

void MemoryMap::append(uint64_t address, const Buffer& buffer, uint64_t offset,
                       uint64_t size) {
    append(address, buffer->data() + offset, size, buffer);
}

void MemoryMap::append(const Piece& piece) {
    if (piece.size == 0) return;
    pieces_.push_back(piece);
}

void MemoryMap::append(const Piece& piece, uint64_t from, uint64_t to) {
    if (to <= from) return;
    pieces_.push_back({from, piece.bytes ? piece.bytes + (from - piece.address) : nullptr,
                       to - from, piece.fill, piece.keeper});
}

void MemoryMap::append_fill(uint64_t address, uint64_t size) {
    if (size == 0) return;
    pieces_.push_back({address, nullptr, size, fill_});
}

void MemoryMap::add_segment(Segment segment) {
    auto above = std::upper_bound(
        segments_.begin(), segments_.end(), segment.address,
        [](uint64_t a, const Segment& s) { return a < s.address; });
    segments_.insert(above, std::move(segment));
}

size_t MemoryMap::first_ending_after(uint64_t address) const {
    auto found = std::upper_bound(pieces_.begin(), pieces_.end(), address,
                                  [](uint64_t a, const Piece& p) { return a < p.end(); });
    return static_cast<size_t>(found - pieces_.begin());
}

void MemoryMap::overlay(uint64_t address, const uint8_t* bytes, uint64_t size) {
    if (size == 0) return;
    // Bytes stored over the image are few (a record, a header): a copy of
    // its own keeps the map a value, whatever becomes of the caller's.
    Buffer own = share(std::vector<uint8_t>(bytes, bytes + size));
    overlay(address, own->data(), size, own);
}

void MemoryMap::overlay(uint64_t address, const uint8_t* bytes, uint64_t size,
                        Keeper keeper) {
    if (size == 0) return;
    const uint64_t end = address + size;
    size_t first = first_ending_after(address);
    size_t last = first;
    while (last < pieces_.size() && pieces_[last].address < end) ++last;
    // Keep what sticks out below and above the new piece.
    std::vector<Piece> middle;
    if (first < last) {
        const Piece& low = pieces_[first];
        if (low.address < address)
            middle.push_back(
                {low.address, low.bytes, address - low.address, low.fill, low.keeper});
    }
    middle.push_back({address, bytes, size, erased, std::move(keeper)});
    if (first < last) {
        const Piece& high = pieces_[last - 1];
        if (high.end() > end)
            middle.push_back({end,
                              high.bytes ? high.bytes + (end - high.address) : nullptr,
                              high.end() - end, high.fill, high.keeper});
    }
    pieces_.erase(pieces_.begin() + static_cast<std::ptrdiff_t>(first),
                  pieces_.begin() + static_cast<std::ptrdiff_t>(last));
    pieces_.insert(pieces_.begin() + static_cast<std::ptrdiff_t>(first), middle.begin(),
                   middle.end());
}

uint64_t MemoryMap::read(uint64_t address, uint8_t* out, uint64_t size) const {
    std::memset(out, fill_, size);
    uint64_t held = 0;
    for (size_t i = first_ending_after(address); i < pieces_.size(); ++i) {
        const Piece& p = pieces_[i];
        if (p.address >= address + size) break;
        uint64_t from = std::max(p.address, address);
        uint64_t to = std::min(p.end(), address + size);
        if (p.bytes)
            std::memcpy(out + (from - address), p.bytes + (from - p.address), to - from);
        held += to - from;
    }
    return held;
}

void copy_range(const MemoryMap& memory, uint64_t from, uint64_t to, ChunkSink& sink,
                size_t chunk) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[chunk]);
    size_t used = 0;
    memory.walk(from, to, [&](const uint8_t* bytes, uint64_t size) {
        while (size > 0) {
            size_t take = static_cast<size_t>(std::min<uint64_t>(size, chunk - used));
            if (bytes) {
                std::memcpy(buffer.get() + used, bytes, take);
                bytes += take;
            } else {
                std::memset(buffer.get() + used, memory.fill(), take);
            }
            used += take;
            size -= take;
            if (used == chunk) {
                sink.take(buffer.get(), used);
                used = 0;
            }
        }
    });
    if (used) sink.take(buffer.get(), used);
}

namespace {

// What one stretch of a file holds.
struct Stretch {
    uint64_t address, size;
    enum { hole, fill, data } kind;
    const uint8_t* bytes;  // data
};

// The first byte of [0, size) that differs, or size. `want`/`have` nullptr:
// erased flash, `fill` bytes.
uint64_t mismatch(const uint8_t* want, const uint8_t* have, uint64_t size, uint8_t fill) {
    if (want && have) {
        if (std::memcmp(want, have, size) == 0) return size;
        for (uint64_t i = 0; i < size; ++i)
            if (want[i] != have[i]) return i;
    } else if (want || have) {
        const uint8_t* data = want ? want : have;
        for (uint64_t i = 0; i < size; ++i)
            if (data[i] != fill) return i;
    }
    return size;
}

// Compares one build piece's [from, to) with a file stretch in it.
bool compare_stretch(const Piece& want, const Stretch& have, uint64_t from, uint64_t to,
                     Difference& out) {
    const uint8_t* w = want.bytes ? want.bytes + (from - want.address) : nullptr;
    if (have.kind == Stretch::hole) {
        if (!want.bytes) return false;  // erased flash may be left out
        out = {from, w[0], -1, false};
        return true;
    }
    const uint8_t* h =
        have.kind == Stretch::data ? have.bytes + (from - have.address) : nullptr;
    uint64_t i = mismatch(w, h, to - from, want.fill);
    if (i == to - from) return false;
    out = {from + i, w ? w[i] : want.fill, h ? h[i] : want.fill, w == nullptr};
    return true;
}

}  // namespace

bool first_difference(const MemoryMap& build, const MemoryMap& file, uint64_t skip,
                      Difference& out, uint64_t skip_size) {
    const std::vector<Piece>& have = file.pieces();
    const uint64_t skip_end = skip + skip_size;
    size_t j = 0;  // the first file piece that may still overlap
    for (const Piece& want : build.pieces()) {
        while (j < have.size() && have[j].end() <= want.address) ++j;
        uint64_t at = want.address;
        size_t k = j;
        while (at < want.end()) {
            Stretch stretch;
            if (k == have.size() || have[k].address > at) {
                uint64_t stop =
                    k == have.size() ? want.end() : std::min(want.end(), have[k].address);
                stretch = {at, stop - at, Stretch::hole, nullptr};
            } else {
                uint64_t stop = std::min(want.end(), have[k].end());
                stretch = {have[k].address, have[k].size,
                           have[k].bytes ? Stretch::data : Stretch::fill, have[k].bytes};
                stretch.size = have[k].end() - have[k].address;
                ++k;
                // Only [at, stop) of the file piece is compared here.
                if (stop < stretch.address + stretch.size)
                    stretch.size = stop - stretch.address;
            }
            uint64_t stop = stretch.kind == Stretch::hole
                                ? at + stretch.size
                                : stretch.address + stretch.size;
            // The checksum record is not compared.
            if (at < skip &&
                compare_stretch(want, stretch, at, std::min(stop, skip), out))
                return true;
            if (stop > skip_end &&
                compare_stretch(want, stretch, std::max(at, skip_end), stop, out))
                return true;
            at = stop;
        }
    }
    return false;
}

uint64_t bytes_beyond(const MemoryMap& file, const MemoryMap& build, uint64_t& first,
                      int erased) {
    const std::vector<Piece>& have = build.pieces();
    uint64_t count = 0;
    // [at, stop) of piece `p`, outside `build`.
    auto take = [&](const Piece& p, uint64_t at, uint64_t stop) {
        if (erased < 0) {
            if (count == 0) first = at;
            count += stop - at;
            return;
        }
        if (!p.bytes) {
            if (p.fill == erased) return;
            if (count == 0) first = at;
            count += stop - at;
            return;
        }
        for (uint64_t a = at; a < stop; ++a)
            if (p.bytes[a - p.address] != erased) {
                if (count == 0) first = a;
                ++count;
            }
    };
    size_t j = 0;
    for (const Piece& p : file.pieces()) {
        uint64_t at = p.address;
        while (j < have.size() && have[j].end() <= at) ++j;
        for (size_t k = j; at < p.end(); ++k) {
            uint64_t stop =
                k < have.size() ? std::min(p.end(), have[k].address) : p.end();
            if (stop > at) take(p, at, stop);
            if (k >= have.size()) break;
            at = std::max(at, std::min(p.end(), have[k].end()));
        }
    }
    return count;
}

}  // namespace velk::layout
