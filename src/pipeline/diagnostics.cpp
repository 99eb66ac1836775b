// Warnings on standard error about layouts that make firmware fail at boot.
#include <cstdio>
#include <string>

#include "pipeline.h"

namespace velk {

namespace {

// With the GNU linker the initial values of .data sit in a segment of
// their own, which the HEX file does not carry.
void warn_left_out(CalcLocals& l) {
    uint64_t first = as_u64(l.loadaddr.get());
    uint64_t size = as_u64(l.seg_size.get());
    uint64_t last = size > ~uint64_t{0} - first ? ~uint64_t{0} : first + size;
    int count = 0;
    unsigned long long bytes = 0;
    std::string addresses;
    for (size_t i = 0; i < l.segments.size(); ++i) {
        const SegmentInfo& s = l.segments[i];
        if (i == l.image_segment || !s.has_contents()) continue;
        bool inside = s.paddr >= first && s.filesz <= last - first &&
                      s.paddr - first <= last - first - s.filesz;
        if (inside) continue;
        char text[32];
        std::snprintf(text, sizeof text, "%s0x%08llX", count ? ", " : "",
                      static_cast<unsigned long long>(s.paddr));
        addresses += text;
        count += 1;
        bytes += s.filesz;
    }
    if (count == 0) return;
    Ref line = check(PyUnicode_FromFormat(
        "warning: the HEX file leaves out %d loadable segment%s (%llu bytes) "
        "at physical address%s %s",
        count, count == 1 ? "" : "s", bytes, count == 1 ? "" : "es", addresses.c_str()));
    print_stderr(line.get());
}

}  // namespace

void warn_about_layout(CalcLocals& l) {
    if (!l.genuine_reader) return;
    warn_left_out(l);
}

}  // namespace velk
