// Layout mistakes that leave a firmware which will not boot, or boots
// unchecked, each told in one line. Each mode runs the checks that apply to
// it; FLASH refuses some of them unless forced, with the same words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../layout/flash_layout.h"
#include "../request/asker.h"

namespace velk::diagnostics {

// The checksum variable of the name mode, as the symbol table describes it.
struct Symbol {
    std::string name;
    uint64_t value = 0;  // st_value: where the program sees the variable
    // What the table says beyond the value; unknown when a caller's reader
    // gave the symbols.
    bool details = false;
    size_t count = 0;  // symbols that carry the name
    bool values_differ = false;
    uint64_t size = 0;
    bool function = false;
};

struct Facts {
    layout::Selector selector;
    uint64_t load;        // address of the image's first byte
    uint64_t image_size;  // the image before any padding
    uint64_t offset;      // the checksum record's offset from load
    uint64_t padding;     // 0xFF bytes of padding and holes in the image
    unsigned width;       // the record's bytes
    // The image bytes the record replaces, in address order: as many as its
    // width, which a digest makes wider than any integer.
    std::vector<uint8_t> old;
    uint8_t fill = layout::erased;  // erased flash's value: a placeholder too
    Asker asker;                    // how the lines name the options
    std::string word;  // the record as typed: --a's for its own line
    const layout::Loadable* loadable;  // every loadable span of the build
    // Name mode only.
    bool has_slot;
    Symbol slot;
    layout::Slot where;
};

using Line = std::optional<std::string>;

// The variable lies past the end of the image, which the checksum covers
// alone: an image that is one segment, program header `image_source`
// (whose span may lie at another address than the image).
Line slot_past_image(const Facts& f, size_t image_source);
// The variable is not where flash holds it at run time: in RAM, .bss or a
// section copied to RAM.
Line slot_not_in_flash(const Facts& f);
// The variable is in no loadable segment's file bytes but in a segment's
// memory (.bss), or far from the image (RAM): the checksum would go where
// nothing is flashed.
Line slot_not_loaded(const Facts& f);
// The variable lives in RAM; only its initial value is in flash, where the
// checksum would go.
Line slot_copied_to_ram(const Facts& f);
// What makes the symbol no checksum variable of the record's width.
// `fatal`: a function, a size that is not the width, or an address that is
// not a multiple of the width (of 4 above 4): no firmware reads the value
// there.
// An offset (--a) whose slot's address does not suit the width: the same
// line, `fatal`, as the refusal without --force.
Line slot_shape(const Facts& f, bool& fatal);
// "--a1E1: the slot at 0x080001E1 is not a multiple of 2, where a 2-byte
// value belongs".
std::string misaligned_offset(const std::string& word, uint64_t slot, unsigned width);
Line duplicate_names(const Facts& f);
// The first reason a build's slot cannot hold a value its firmware finds
// right: the wrong size or alignment, a variable in RAM, data where the
// placeholder belongs.
Line slot_cannot_hold(const Facts& f);
// The range the checksum covers is empty.
Line empty_range(const Facts& f);
Line overwrites_data(const Facts& f);
Line absolute_address(const Facts& f);
Line large_padding(const Facts& f);
// The same limit on every 0xFF byte of an image that spans holes between
// its segments as well as the padding: one that ends at `end`.
Line large_fill(const Facts& f, uint64_t end);
// Loadable bytes after the record in the same image (the slot is not last
// in flash: often .data's initial values): flashed, but not covered.
Line after_record(const Facts& f, uint64_t image_end);
// Loadable bytes that a HEX file of [load, load + image length) and the
// record leaves out, the image's own segment `image_source` aside.
Line left_out(const Facts& f, uint64_t image_length, size_t image_source);

// More 0xFF than this before the checksum is announced (and refused by
// FLASH): 16 MiB is more than any MCU's internal flash.
constexpr uint64_t padding_limit = uint64_t{16} << 20;

}  // namespace velk::diagnostics
