// Layout mistakes that leave a firmware which will not boot, or boots
// unchecked, told as one warning line each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velk::diagnostics {

struct Segment {
    bool loadable;  // PT_LOAD
    uint64_t vaddr, paddr, filesz, memsz;

    bool has_contents() const { return loadable && filesz != 0; }
};

enum class Mode { name, address, block };

// The checksum variable of the name mode.
struct Slot {
    std::string name;
    uint64_t value;  // st_value: where the program sees the variable
    // What the symbol table says beyond the value; unknown when a caller's
    // reader gave the symbols.
    bool details;
    size_t count;  // symbols that carry the name
    bool values_differ;
    uint64_t size;
    bool function;
};

struct Layout {
    Mode mode;
    // FLASH mode: the image is assembled from the loadable segments at
    // their physical addresses, and every segment goes into the HEX.
    bool flash;
    uint64_t load;                  // address of the first image byte
    uint64_t image_size;            // the image before any 0xFF padding
    const uint8_t* image;           // the image the checksum record goes into,
    uint64_t image_length;          // padding included
    uint64_t offset;                // the checksum's offset from load
    uint64_t padding;               // 0xFF bytes appended
    std::vector<Segment> segments;  // every program header
    std::vector<size_t> in_image;   // the segments the image is made of
    bool has_slot;
    Slot slot;
};

// The warning lines for `layout`, in the order they are to be printed.
std::vector<std::string> layout_warnings(const Layout& layout);

}  // namespace velk::diagnostics
