#include "layout_warnings.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace velk::diagnostics {

namespace {

using u64 = unsigned long long;

__attribute__((format(printf, 1, 2))) std::string text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, again);
    va_end(again);
    return out;
}

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

bool in_image(const Layout& l, size_t index) {
    return std::find(l.in_image.begin(), l.in_image.end(), index) != l.in_image.end();
}

Range slot_record(const Layout& l) {
    return span(l.load + l.offset, 4);
}

// The variable lies beyond the image: the report's range reaches it, but
// the checksum covers only the image.
void slot_past_image(const Layout& l, std::vector<std::string>& out) {
    if (l.mode != Mode::name || l.offset <= l.image_size) return;
    Range gap{l.load + l.image_size, l.load + l.offset};
    std::string line = text(
        "warning: %s at 0x%08llX lies %llu bytes past the end of the image "
        "(0x%08llX\u20130x%08llX): the checksum covers only the image, not the bytes "
        "up to %s",
        l.slot.name.c_str(), static_cast<u64>(gap.end), static_cast<u64>(gap.size()),
        static_cast<u64>(l.load), static_cast<u64>(gap.begin), l.slot.name.c_str());
    uint64_t first = UINT64_MAX, bytes = 0;
    for (size_t i = 0; i < l.segments.size(); ++i) {
        const Segment& s = l.segments[i];
        if (!s.has_contents() || in_image(l, i)) continue;
        Range held = span(s.paddr, s.filesz).cut(gap);
        if (held.size() == 0) continue;
        first = std::min(first, held.begin);
        bytes += held.size();
    }
    if (bytes)
        line += text(
            "; the gap holds loadable data (0x%08llX, %llu bytes) that the "
            "checksum does not cover",
            static_cast<u64>(first), static_cast<u64>(bytes));
    out.push_back(line);
}

// A variable stored in flash lies in a segment's file contents, where it
// also is at run time. Without const it lives in RAM (only its initial
// value is in flash), and a .bss variable is in no file contents at all.
void slot_not_in_flash(const Layout& l, std::vector<std::string>& out) {
    if (l.mode != Mode::name) return;
    for (const Segment& s : l.segments) {
        if (!s.has_contents()) continue;
        if (!l.flash && s.vaddr != s.paddr) continue;
        if (l.slot.value >= s.vaddr && l.slot.value - s.vaddr < s.filesz) return;
    }
    out.push_back(
        text("warning: %s at 0x%08llX is not a flash address (RAM, .bss or a copied "
             "section): the HEX gets a record at that address",
             l.slot.name.c_str(), static_cast<u64>(l.slot.value)));
}

void slot_shape(const Layout& l, std::vector<std::string>& out) {
    if (l.mode != Mode::name || !l.slot.details) return;
    std::vector<std::string> wrong;
    if (l.slot.function) wrong.push_back("it is a function");
    if (l.slot.size != 0 && l.slot.size != 4)
        wrong.push_back(text("its size is %llu bytes", static_cast<u64>(l.slot.size)));
    if (l.offset % 4 != 0) wrong.push_back("its offset is not a multiple of 4");
    if (!wrong.empty()) {
        std::string line =
            text("warning: %s at 0x%08llX is not a 4-byte checksum variable: ",
                 l.slot.name.c_str(), static_cast<u64>(l.slot.value));
        for (size_t i = 0; i < wrong.size(); ++i) line += (i ? ", " : "") + wrong[i];
        out.push_back(line);
    }
    if (l.slot.count > 1 && l.slot.values_differ)
        out.push_back(
            text("warning: %zu symbols are named %s, with different values; the "
                 "last one, 0x%08llX, was used",
                 l.slot.count, l.slot.name.c_str(), static_cast<u64>(l.slot.value)));
}

// No placeholder where the record goes: code, a vector, a constant.
void overwrites_data(const Layout& l, std::vector<std::string>& out) {
    if (l.offset >= l.image_length) return;
    uint64_t inside = std::min<uint64_t>(4, l.image_length - l.offset);
    const uint8_t* old = l.image + l.offset;
    bool all_ff = true, all_00 = true;
    uint64_t value = 0;
    for (uint64_t i = 0; i < inside; ++i) {
        all_ff = all_ff && old[i] == 0xFF;
        all_00 = all_00 && old[i] == 0x00;
        value |= static_cast<uint64_t>(old[i]) << (8 * i);
    }
    if (all_ff || all_00) return;
    out.push_back(
        text("warning: the checksum overwrites %llu bytes of image data "
             "(old value 0x%0*llX) at 0x%08llX",
             static_cast<u64>(inside), static_cast<int>(2 * inside),
             static_cast<u64>(value), static_cast<u64>(l.load + l.offset)));
}

void padding(const Layout& l, std::vector<std::string>& out) {
    if (l.mode == Mode::address && l.load != 0 && l.offset >= l.load &&
        l.offset - l.load < l.image_size)
        out.push_back(
            text("warning: --a takes an offset from the image start 0x%08llX; "
                 "0x%08llX looks like an absolute address (did you mean --a%llX?)",
                 static_cast<u64>(l.load), static_cast<u64>(l.offset),
                 static_cast<u64>(l.offset - l.load)));
    constexpr uint64_t MiB = 1 << 20;
    if (l.padding > 16 * MiB)
        out.push_back(
            text("warning: %llu bytes (%llu MiB) of 0xFF padding are written "
                 "before the checksum at 0x%08llX",
                 static_cast<u64>(l.padding), static_cast<u64>(l.padding / MiB),
                 static_cast<u64>(l.load + l.offset)));
}

// Loadable contents the HEX file lacks: with the GNU linker the initial
// values of .data sit in a segment of their own.
void left_out(const Layout& l, std::vector<std::string>& out) {
    if (l.flash) return;  // FLASH mode writes every segment
    // Where padding lies over a segment, the HEX holds 0xFF, not its bytes.
    Range image = span(l.load, l.image_size), record = slot_record(l);
    int count = 0;
    uint64_t bytes = 0;
    std::string addresses;
    for (size_t i = 0; i < l.segments.size(); ++i) {
        const Segment& s = l.segments[i];
        if (!s.has_contents() || in_image(l, i)) continue;
        Range held = span(s.paddr, s.filesz);
        uint64_t covered = held.cut(image).size() + held.cut(record).size() -
                           held.cut(image).cut(record).size();
        if (covered >= held.size()) continue;
        addresses += text("%s0x%08llX", count ? ", " : "", static_cast<u64>(s.paddr));
        count += 1;
        bytes += held.size() - covered;
    }
    if (count == 0) return;
    out.push_back(text(
        "warning: the HEX file leaves out %d loadable segment%s (%llu bytes) "
        "at physical address%s %s; FLASH mode writes %s and covers %s "
        "with the checksum",
        count, count == 1 ? "" : "s", static_cast<u64>(bytes), count == 1 ? "" : "es",
        addresses.c_str(), count == 1 ? "it" : "them", count == 1 ? "it" : "them"));
}

}  // namespace

std::vector<std::string> layout_warnings(const Layout& layout) {
    std::vector<std::string> out;
    if (layout.has_slot) {
        slot_past_image(layout, out);
        slot_not_in_flash(layout, out);
        slot_shape(layout, out);
    }
    overwrites_data(layout, out);
    padding(layout, out);
    left_out(layout, out);
    return out;
}

}  // namespace velk::diagnostics
