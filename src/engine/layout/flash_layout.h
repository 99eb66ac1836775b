// The flash layout of a firmware build, one rule for every mode and file
// kind: which bytes are loadable, how they group into clusters, where the
// checksummed image starts and ends, and what lies outside the checksum.
//
//   loadable  every PT_LOAD with file bytes, at p_paddr, min(p_filesz,
//             p_memsz) bytes, less the ELF file's own headers at its start
//             (an Intel HEX or S-record file: its data); two that claim the
//             same byte are refused
//   clusters  loadable spans in address order, joined while the gap from
//             one's end to the next's start is at most 64 KiB
//   image     starts at a cluster's lowest address: the cluster holding the
//             checksum slot, or ending at most 64 KiB below it (name mode);
//             otherwise (and in address and block mode) the cluster of the
//             first loadable span in the file's order. It reaches the end
//             of that cluster or of the checksum record, whichever is
//             later; a cluster the padding reaches is inside it, never
//             overwritten (block mode rounds again past it)
//   checksum  covers [start, record): loadable bytes at their own value,
//             holes and padding 0xFF
//
// The words for a stretch of addresses, one meaning each, here and in
// every file that uses them:
//   Segment   a build's PT_LOAD as the memory map keeps it beside its
//             pieces: load address, size, flags and section names
//   Span      loadable bytes as the input places them: one PT_LOAD's file
//             bytes at p_paddr, or one data run of a HEX, S-record or UF2
//             file; it knows where the input holds them and its place in
//             the file's order
//   Cluster   spans joined in address order (the rule above)
//   Image     the checksummed image: from its cluster's start to the end of
//             the last cluster it reaches or of the checksum record, holes
//             and padding included. An ImageFile is another thing: an input
//             file read whole
//   Piece     a stretch of a memory map, what an output file holds: bytes
//             shared with the input read once (or a record's own), or a
//             length of erased flash. formats' Pieces are a file's bytes
//             in file order, without addresses
//   Stretch   what a file holds over part of a build's piece, as CHECK
//             compares them: data, erased flash, or a hole (nothing)
//   Region    loadable bytes a report names by address and size, with the
//             span they come from: what no record covers
//   Interval  one range of addresses, [from, to); Intervals, a set of them:
//             what a record covers (a range with holes cut out). A Range
//             (layout_warnings.cpp) is the same; new code says Interval
//   hole      addresses between spans that no span holds; padding, those
//             from an image's last span to its end. Inside an image both
//             hold fill, the value of erased flash
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "memory_map.h"

namespace velk::layout {

// Data further than this beyond a cluster's end starts a cluster of its
// own: a QSPI region or a vector table elsewhere is not part of the flash
// the boot check reads.
constexpr uint64_t join_distance = 0x10000;

// The alignment a value of `width` bytes needs where firmware reads it: a
// halfword's or a word's own, a word's for a CRC-64 (read as two words);
// none for the widths no load instruction has (a 3-byte CRC-24, a digest),
// which firmware reads a byte at a time.
constexpr unsigned alignment_of(unsigned width) {
    return width == 2 || width == 4 ? width : width == 8 ? 4 : 1;
}

// One program header, as the ELF reader gives it.
struct ProgramHeader {
    bool load;  // PT_LOAD
    uint64_t offset, vaddr, paddr, filesz, memsz;
    // PF_W: what the program writes (.data), unlike flash seen through an
    // alias (linked at 0, loaded at 0x08000000). Unknown: writable.
    bool writable = true;
    // Bytes at its start that only the ELF file's own headers fill, and
    // the padding after them (GNU ld loads the headers with the first
    // segment where the addresses below its first section leave room): no
    // section holds them, and they are no part of the flash image.
    uint64_t own_headers = 0;

    // The bytes it puts into flash: its file contents, cut to memsz.
    uint64_t size() const { return filesz < memsz ? filesz : memsz; }
    bool loadable() const { return load && size() != 0; }
};

// Loadable bytes at their physical address.
struct Span {
    uint64_t address;
    uint64_t size;
    size_t source;    // program header index, or data run index: the file's order
    uint64_t offset;  // where the input holds the bytes (p_offset; a run's data offset)

    uint64_t end() const { return address + size; }
};

// Spans [first, last) of the address-ordered list, joined.
struct Cluster {
    uint64_t start, end;
    size_t first, last;
};

// Why a layout cannot be made; the caller words it.
struct Fault {
    enum Kind {
        contents_past_file,  // `first`: p_offset + p_filesz past the file's end
        address_overflow,    // `first`: p_paddr + size past 64 bits
        overlap,             // `first`, `second`: two spans claim the same byte
        nothing_loadable,
        slot_below_image,  // the slot lies below the image's cluster, `first`
        record_overflow,   // the checksum record past 64 bits
    } kind;
    size_t first = 0, second = 0;  // spans' sources
};

// A result, or why there is none.
template <class T, class Why = Fault>
using Expected = std::variant<T, Why>;

// The loadable spans in address order and their clusters.
struct Loadable {
    std::vector<Span> spans;
    std::vector<Cluster> clusters;
};

// Whether an ELF file of `file_size` bytes can hold its program header
// table: `count` entries of `entry_size` bytes (at least a program header's
// size, 32 or 56) at `offset`. A table that cannot is damaged, and reading
// it entry by entry would not end.
bool header_table_fits(uint64_t offset, uint64_t entry_size, uint64_t count, bool elf64,
                       uint64_t file_size);

// From the program headers of an ELF file of `file_size` bytes.
Expected<Loadable> loadable_of_elf(const std::vector<ProgramHeader>& headers,
                                   uint64_t file_size);

// From the data of an Intel HEX or S-record file: runs in address order,
// not overlapping (the reader refused overlaps), `source` their index.
Expected<Loadable> loadable_of_runs(std::vector<Span> runs);

// Where a program's variable is stored in flash.
struct Slot {
    uint64_t value = 0;    // st_value: where the program sees it
    uint64_t address = 0;  // where the checksum record goes
    // The loadable segment whose contents hold the variable at its virtual
    // address, if any; through it `address` is value - p_vaddr + p_paddr.
    bool in_contents = false;
    size_t segment = 0;
    // That segment is copied to RAM at start-up (p_vaddr != p_paddr, and
    // writable): the program reads the variable in RAM, its initial value
    // is in flash.
    bool copied_to_ram = false;
    // Not in file bytes but in a loadable segment's memory beyond them:
    // .bss, or a section the startup code only clears or leaves alone.
    bool memory_only = false;
};
Slot locate_slot(const std::vector<ProgramHeader>& headers, uint64_t value);

enum class Selector { name, address, block };

struct Request {
    Selector selector;
    // name: the slot's flash address (Slot::address); address: the offset
    // from the image start; block: the block size, a power of two.
    uint64_t value;
    unsigned width = 4;  // the record's bytes
};

struct Image {
    size_t cluster;       // the image's own cluster
    size_t last_cluster;  // clusters [cluster, last_cluster] lie in the image
    uint64_t start;       // first byte, the checksum's start
    uint64_t record;      // the checksum record: the end of the checksummed range
    uint64_t end;         // one past the image's last byte, >= record + its width
    uint64_t fill;        // bytes of [start, end) no span holds, the record's aside

    uint64_t offset() const { return record - start; }
};

Expected<Image> place_image(const Loadable& loadable, Request request);

// Loadable bytes the files hold: where a record does or does not cover
// them.
struct Region {
    uint64_t address, size;
    size_t source;
};

// Loadable bytes outside every one of `covered` (ranges [first, second),
// the records' ranges and slots), in address order, one region per span
// part.
std::vector<Region> outside(const Loadable& loadable,
                            std::vector<std::pair<uint64_t, uint64_t>> covered);

// The bytes of [from, to) that no span holds.
uint64_t holes_within(const Loadable& loadable, uint64_t from, uint64_t to);

// The span (index into loadable.spans) that holds all of [address,
// address + width), or loadable.spans.size().
size_t span_holding_record(const Loadable& loadable, uint64_t address,
                           unsigned width = 4);

// Every loadable byte at its address (a span's bytes at its offset in
// `base`, shared) and erased flash in the image's holes and padding: what
// every output file holds, before the checksum record is stored over it.
MemoryMap memory_of(const Loadable& loadable, const Image& image, const Buffer& base);
// The same with erased flash in the holes of every one of `images`
// ([start, end) each, in any order, overlapping or not).
MemoryMap memory_of(const Loadable& loadable,
                    std::vector<std::pair<uint64_t, uint64_t>> images, const Buffer& base,
                    uint8_t fill = erased);

// The loadable bytes alone, holes left as holes: what a file holds.
MemoryMap spans_of(const Loadable& loadable, const Buffer& base, uint8_t fill = erased);

}  // namespace velk::layout
