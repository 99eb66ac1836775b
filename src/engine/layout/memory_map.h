// A target memory map made of byte spans and runs of erased flash: what an
// output file holds, as a value. A piece shares its bytes with whatever
// else holds them (the ELF file read once, a HEX file's decoded data) and
// keeps them alive; bytes stored over the image (a checksum record, an
// MCUboot header) are a small buffer of their own. Shared bytes are never
// changed, so copying a map copies handles, not megabytes, and a change to
// the copy leaves the original as it was. A run of erased flash is a
// length, never bytes, however long it is. Beside the flat map it keeps
// the build's load segments: what was loaded where, and from which
// sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velk::layout {

// The value of erased flash, and of every hole inside a checksummed image,
// unless a run says otherwise (flash that reads 0x00 when erased).
constexpr uint8_t erased = 0xFF;

// Whoever holds one keeps a piece's bytes alive. Empty only where the
// caller keeps them alive longer than the map and every copy of it (a
// buffer the map is made from and written out within one call).
using Keeper = std::shared_ptr<const void>;

// Bytes an image shares once read: an input file, a HEX file's decoded
// data. Never changed while shared.
using Buffer = std::shared_ptr<const std::vector<uint8_t>>;

// `bytes` as a buffer the images made from it share, without a copy.
Buffer share(std::vector<uint8_t> bytes);

// 64 bytes apart in a vector, not 48: the writers index a piece for every
// record they write, and a power-of-two stride keeps that a shift.
struct alignas(64) Piece {
    uint64_t address;
    const uint8_t* bytes;  // nullptr: `size` bytes of erased flash
    uint64_t size;
    uint8_t fill = erased;  // the value of erased flash
    Keeper keeper = {};     // keeps `bytes` alive

    uint64_t end() const { return address + size; }
    bool is_fill() const { return bytes == nullptr; }

    // `n` of its bytes from `offset` on into `out`.
    void copy(uint64_t offset, size_t n, uint8_t* out) const {
        if (bytes)
            std::memcpy(out, bytes + offset, n);
        else
            std::memset(out, fill, n);
    }
};

// Receives a file's text or bytes in file order, a chunk at a time.
class TextSink {
public:
    virtual void put(const char* text, size_t size) = 0;

protected:
    ~TextSink() = default;
};

// A load segment of the build: where it put bytes into flash, how many,
// its p_flags, and the sections whose bytes it holds, in address order.
// A HEX, S-record or UF2 file's data run is one too, without flags or
// sections.
struct Segment {
    uint64_t address;  // p_paddr: the load address
    uint64_t size;     // the bytes it puts into flash
    uint32_t flags = 0;
    std::vector<std::string> sections;

    uint64_t end() const { return address + size; }
};

// Pieces in ascending address order, never overlapping. The caller keeps
// every address + size within 64 bits.
class MemoryMap {
public:
    explicit MemoryMap(uint8_t fill = erased) : fill_(fill) {}

    // The value of its erased flash and of the holes between its pieces.
    uint8_t fill() const { return fill_; }

    // Adds a piece above every piece so far: `size` bytes at `bytes`, which
    // `keeper` keeps alive, or a copy of them of its own (nullptr: erased
    // flash).
    void append(uint64_t address, const uint8_t* bytes, uint64_t size, Keeper keeper);
    void append(uint64_t address, const uint8_t* bytes, uint64_t size);
    // `size` bytes from `offset` on of a shared buffer.
    void append(uint64_t address, const Buffer& buffer, uint64_t offset, uint64_t size);
    // Another map's piece, its bytes shared, or [from, to) of it.
    void append(const Piece& piece);
    void append(const Piece& piece, uint64_t from, uint64_t to);
    void append_fill(uint64_t address, uint64_t size);
    // Stores `size` bytes at `address` over whatever lies there, as a later
    // store into memory would: the checksum record over the image. The map
    // keeps a copy of them; with a keeper it shares them instead.
    void overlay(uint64_t address, const uint8_t* bytes, uint64_t size);
    void overlay(uint64_t address, const uint8_t* bytes, uint64_t size, Keeper keeper);

    // The build's load segments, in address order; none for a map made
    // from bytes alone.
    const std::vector<Segment>& segments() const { return segments_; }
    void set_segments(std::vector<Segment> segments) { segments_ = std::move(segments); }
    // A segment put in its place by address: a container's own bytes (an
    // MCUboot header, its TLVs) as a segment of their own.
    void add_segment(Segment segment);

    const std::vector<Piece>& pieces() const { return pieces_; }
    bool empty() const { return pieces_.empty(); }
    // One past the highest address holding data; 0 when empty.
    uint64_t end() const { return pieces_.empty() ? 0 : pieces_.back().end(); }

    // The bytes of [address, address + size) into `out`; where the map holds
    // nothing, its erased value. Returns how many of them the map holds.
    uint64_t read(uint64_t address, uint8_t* out, uint64_t size) const;

    // Hands [from, to) to `visit(bytes, size)` piece by piece, in address
    // order; bytes is nullptr for erased flash and for holes alike.
    template <class Visit>
    void walk(uint64_t from, uint64_t to, Visit&& visit) const;

    // Hands every byte of [from, to) to `take(bytes, size)` as a hash or a
    // signature takes them: the map's own bytes where it holds them, its
    // erased value elsewhere, in runs of at most 64 KiB of it.
    template <class Feed>
    void feed(uint64_t from, uint64_t to, Feed&& take) const;

private:
    size_t first_ending_after(uint64_t address) const;

    uint8_t fill_;
    std::vector<Piece> pieces_;
    std::vector<Segment> segments_;
};

// Receives chunks it may change in place.
class ChunkSink {
public:
    virtual void take(uint8_t* chunk, size_t size) = 0;

protected:
    ~ChunkSink() = default;
};

// The bytes of [from, to) in chunks of `chunk` bytes (the last one
// shorter; a multiple of 4 keeps 32-bit words whole), erased flash and
// holes as the map's erased value.
void copy_range(const MemoryMap& memory, uint64_t from, uint64_t to, ChunkSink& sink,
                size_t chunk = size_t{1} << 20);

// Where a file's memory first differs from a build's: every data byte of
// `build` must be in `file` with the same value, every erased-flash byte of
// `build` must be the build's erased value or absent in `file`; bytes `file` holds where
// `build` has nothing are not compared, nor [skip, skip + skip_size) (the
// checksum record).
struct Difference {
    uint64_t address;
    int expected;  // the build's byte, its erased value for erased flash
    int found;     // the file's byte, -1 where it holds none
    bool erased;   // the build has erased flash there, no byte of its own
};
bool first_difference(const MemoryMap& build, const MemoryMap& file, uint64_t skip,
                      Difference& out, uint64_t skip_size = 4);

// The bytes `file` holds where `build` has nothing, and the lowest of them;
// with `erased` (0 to 255) bytes of that value are left out: erased flash
// between what is accounted for.
uint64_t bytes_beyond(const MemoryMap& file, const MemoryMap& build, uint64_t& first,
                      int erased = -1);

template <class Visit>
void MemoryMap::walk(uint64_t from, uint64_t to, Visit&& visit) const {
    uint64_t at = from;
    for (size_t i = first_ending_after(from); i < pieces_.size() && at < to; ++i) {
        const Piece& p = pieces_[i];
        if (p.address >= to) break;
        if (p.address > at) {
            visit(static_cast<const uint8_t*>(nullptr), p.address - at);
            at = p.address;
        }
        uint64_t stop = p.end() < to ? p.end() : to;
        visit(p.bytes ? p.bytes + (at - p.address) : nullptr, stop - at);
        at = stop;
    }
    if (at < to) visit(static_cast<const uint8_t*>(nullptr), to - at);
}

template <class Feed>
void MemoryMap::feed(uint64_t from, uint64_t to, Feed&& take) const {
    std::vector<uint8_t> erased;
    walk(from, to, [&](const uint8_t* bytes, uint64_t size) {
        if (bytes) return take(bytes, static_cast<size_t>(size));
        if (erased.empty()) erased.assign(size_t{1} << 16, fill_);
        for (uint64_t left = size; left;) {
            const size_t n = static_cast<size_t>(left < erased.size() ? left : erased.size());
            take(erased.data(), n);
            left -= n;
        }
    });
}

}  // namespace velk::layout
