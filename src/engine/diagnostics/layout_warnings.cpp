#include "layout_warnings.h"

#include <algorithm>

#include "../base/byte_order.h"
#include "../report/text.h"
#include "../request/option_table.h"

namespace velk::diagnostics {

namespace {

using text::format;
using u64 = unsigned long long;

struct Range {
    uint64_t begin, end;  // end exclusive

    uint64_t size() const { return end > begin ? end - begin : 0; }
    Range cut(Range other) const {
        return {std::max(begin, other.begin), std::min(end, other.end)};
    }
};

Range span(uint64_t start, uint64_t size) {
    uint64_t end = size > UINT64_MAX - start ? UINT64_MAX : start + size;
    return {start, end};
}

const char* name_of(const Facts& f) {
    return f.slot.name.c_str();
}

}  // namespace

Line slot_past_image(const Facts& f, size_t image_source) {
    if (!f.has_slot || f.offset <= f.image_size) return {};
    Range gap{f.load + f.image_size, f.load + f.offset};
    std::string line = format(
        "%s at 0x%08llX lies %llu bytes past the end of the image "
        "(0x%08llX\u20130x%08llX): the checksum covers only the image, not the bytes "
        "up to %s",
        name_of(f), static_cast<u64>(gap.end), static_cast<u64>(gap.size()),
        static_cast<u64>(f.load), static_cast<u64>(gap.begin), name_of(f));
    uint64_t first = UINT64_MAX, bytes = 0;
    for (const layout::Span& s : f.loadable->spans) {
        if (s.source == image_source) continue;
        Range held = span(s.address, s.size).cut(gap);
        if (held.size() == 0) continue;
        first = std::min(first, held.begin);
        bytes += held.size();
    }
    if (bytes)
        line += format(
            "; the gap holds loadable data (0x%08llX, %llu bytes) that the checksum does "
            "not cover",
            static_cast<u64>(first), static_cast<u64>(bytes));
    return line;
}

Line slot_not_in_flash(const Facts& f) {
    if (!f.has_slot || (f.where.in_contents && !f.where.copied_to_ram)) return {};
    return format(
        "%s at 0x%08llX is not a flash address (RAM, .bss or a copied section): the HEX "
        "gets a record at that address",
        name_of(f), static_cast<u64>(f.slot.value));
}

Line slot_not_loaded(const Facts& f) {
    // A symbol the linker script puts right after the image (no section of
    // its own) lies in the image's padding, where the record is flashed.
    if (!f.has_slot || f.where.in_contents ||
        (!f.where.memory_only && f.offset <= f.image_size + layout::join_distance))
        return {};
    return format(
        "%s at 0x%08llX is in no loadable segment's file bytes (.bss, or a variable only "
        "in RAM): nothing is flashed there; declare it const volatile and place it in "
        "flash",
        name_of(f), static_cast<u64>(f.slot.value));
}

Line slot_copied_to_ram(const Facts& f) {
    if (!f.has_slot || !f.where.in_contents || !f.where.copied_to_ram) return {};
    return format(
        "%s lives in RAM at 0x%08llX (.data, copied there at start-up): only its initial "
        "value at 0x%08llX is in flash, and the firmware reading %s reads the copy; give "
        "it a flash section of its own, kept by the linker script",
        name_of(f), static_cast<u64>(f.slot.value), static_cast<u64>(f.where.address),
        name_of(f));
}

std::string misaligned_offset(const std::string& word, uint64_t slot, unsigned width) {
    return format("%s: the slot at 0x%08llX is not a multiple of %u, where a %u-byte value "
                  "belongs",
                  word.c_str(), static_cast<u64>(slot), layout::alignment_of(width), width);
}

Line slot_shape(const Facts& f, bool& fatal) {
    fatal = false;
    if (!f.has_slot) {
        if (f.selector != layout::Selector::address || f.word.empty() ||
            (f.load + f.offset) % layout::alignment_of(f.width) == 0)
            return {};
        fatal = true;
        return misaligned_offset(f.word, f.load + f.offset, f.width);
    }
    std::vector<std::string> wrong;
    if (f.slot.details && f.slot.function) {
        wrong.push_back("it is a function");
        fatal = true;
    }
    if (f.slot.details && f.slot.size != 0 && f.slot.size != f.width) {
        wrong.push_back(format("its size is %llu bytes", static_cast<u64>(f.slot.size)));
        fatal = true;
    }
    const unsigned align = layout::alignment_of(f.width);
    if ((f.load + f.offset) % align != 0) {
        wrong.push_back(format("its address is not a multiple of %u", align));
        fatal = true;
    }
    if (wrong.empty()) return {};
    std::string line =
        format("%s at 0x%08llX is not %s %u-byte checksum variable: ", name_of(f),
               static_cast<u64>(f.slot.value), f.width == 8 ? "an" : "a", f.width);
    for (size_t i = 0; i < wrong.size(); ++i) line += (i ? ", " : "") + wrong[i];
    return line;
}

Line slot_cannot_hold(const Facts& f) {
    bool fatal = false;
    Line shape = slot_shape(f, fatal);
    if (fatal) return shape;
    if (Line ram = slot_copied_to_ram(f)) return ram;
    return overwrites_data(f);
}

Line duplicate_names(const Facts& f) {
    if (!f.has_slot || f.slot.count < 2 || !f.slot.values_differ) return {};
    return format(
        "%zu symbols are named %s, with different values; the last one, 0x%08llX, was "
        "used",
        f.slot.count, name_of(f), static_cast<u64>(f.slot.value));
}

Line empty_range(const Facts& f) {
    if (f.offset != 0) return {};
    return format(
        "the checksum range is empty: the record at 0x%08llX is the image's first word "
        "(the initial stack pointer of a Cortex-M vector table)",
        static_cast<u64>(f.load));
}

Line overwrites_data(const Facts& f) {
    bool all_ff = true, all_00 = true, all_fill = true;
    for (uint8_t byte : f.old) {
        all_ff = all_ff && byte == 0xFF;
        all_00 = all_00 && byte == 0x00;
        all_fill = all_fill && byte == f.fill;
    }
    if (f.old.empty() || all_ff || all_00 || all_fill) return {};
    // Up to 8 bytes read as the little-endian number a CRC slot holds; a
    // digest's slot as its bytes.
    std::string old;
    if (f.old.size() <= 8) {
        const uint64_t value = bytes::load(f.old.data(), static_cast<unsigned>(f.old.size()),
                                           bytes::Order::little);
        old = format("old value 0x%0*llX", static_cast<int>(2 * f.old.size()),
                     static_cast<u64>(value));
    } else {
        old = "old bytes";
        for (uint8_t byte : f.old) old += format(" %02X", byte);
    }
    return format("the checksum overwrites %zu bytes of image data (%s) at 0x%08llX",
                  f.old.size(), old.c_str(), static_cast<u64>(f.load + f.offset));
}

Line absolute_address(const Facts& f) {
    if (f.selector != layout::Selector::address || f.load == 0 || f.offset < f.load ||
        f.offset - f.load >= f.image_size)
        return {};
    return format(
        "%s takes an offset from the image start 0x%08llX; 0x%08llX looks like an "
        "absolute "
        "address (did you mean %s?)",
        f.asker.name(Option::offset), static_cast<u64>(f.load),
        static_cast<u64>(f.offset),
        f.asker.given(Option::offset, f.offset - f.load).c_str());
}

Line large_padding(const Facts& f) {
    constexpr uint64_t MiB = 1 << 20;
    if (f.padding <= padding_limit) return {};
    return format(
        "%llu bytes (%llu MiB) of 0xFF padding are written before the checksum at "
        "0x%08llX",
        static_cast<u64>(f.padding), static_cast<u64>(f.padding / MiB),
        static_cast<u64>(f.load + f.offset));
}

Line large_fill(const Facts& f, uint64_t end) {
    constexpr uint64_t MiB = 1 << 20;
    if (f.padding <= padding_limit) return {};
    return format(
        "the image from 0x%08llX to 0x%08llX holds %llu bytes (%llu MiB) of 0xFF between "
        "its segments and up to the checksum: more than any internal flash",
        static_cast<u64>(f.load), static_cast<u64>(end), static_cast<u64>(f.padding),
        static_cast<u64>(f.padding / MiB));
}

Line after_record(const Facts& f, uint64_t image_end) {
    Range after{f.load + f.offset + f.width, image_end};
    uint64_t first = UINT64_MAX, bytes = 0;
    for (const layout::Span& s : f.loadable->spans) {
        Range held = span(s.address, s.size).cut(after);
        if (held.size() == 0) continue;
        first = std::min(first, held.begin);
        bytes += held.size();
    }
    if (bytes == 0) return {};
    return format(
        "%llu loadable bytes from 0x%08llX follow the checksum at 0x%08llX in the same "
        "flash image: the checksum does not cover them (is the slot last in flash, after "
        ".data's initial values?)",
        static_cast<u64>(bytes), static_cast<u64>(first),
        static_cast<u64>(f.load + f.offset));
}

Line left_out(const Facts& f, uint64_t image_length, size_t image_source) {
    Range image = span(f.load, image_length), record = span(f.load + f.offset, 4);
    int count = 0;
    uint64_t bytes = 0;
    std::string addresses;
    for (const layout::Span& s : f.loadable->spans) {
        if (s.source == image_source) continue;
        Range held = span(s.address, s.size);
        uint64_t covered = held.cut(image).size() + held.cut(record).size() -
                           held.cut(image).cut(record).size();
        if (covered >= held.size()) continue;
        addresses += format("%s0x%08llX", count ? ", " : "", static_cast<u64>(s.address));
        count += 1;
        bytes += held.size() - covered;
    }
    if (count == 0) return {};
    return format(
        "the HEX file leaves out %d loadable segment%s (%llu bytes) at physical "
        "address%s %s; FLASH mode writes %s and covers %s with the checksum",
        count, count == 1 ? "" : "s", static_cast<u64>(bytes), count == 1 ? "" : "es",
        addresses.c_str(), count == 1 ? "it" : "them", count == 1 ? "it" : "them");
}

}  // namespace velk::diagnostics
