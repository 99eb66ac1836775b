// The layout warnings of VELK mode on standard error: what the stages
// learnt, handed to the diagnostics and printed after the report lines.

#include "../adapter/files.h"
#include "../adapter/printing.h"
#include "../adapter/text.h"
#include "../../engine/diagnostics/layout_warnings.h"
#include "pipeline.h"

namespace velk {

namespace {

layout::Selector selector_of(const CalcLocals& l) {
    if (l.name_mode()) return layout::Selector::name;
    if (l.crcaddr != Py_None) return layout::Selector::address;
    return layout::Selector::block;
}

// The variable as the symbol scan saw it; false when its name is no text
// or its value no address.
bool describe_slot(const CalcLocals& l, diagnostics::Facts& f) {
    uint64_t value;
    if (!l.name_mode() || !l.symbol.value || !fits_u64(l.symbol.value.get(), value) ||
        !PyUnicode_Check(l.varename))
        return false;
    const elfsyms::Matches& m = l.symbol.matches;
    f.slot = {utf8_of(l.varename), value,  l.symbol.known, m.count,
              m.values_differ,     m.size, m.is_function()};
    f.where = layout::locate_slot(l.headers, value);
    return true;
}

void warn(const diagnostics::Line& line) {
    if (line) say_to_stderr("warning: " + *line);
}

}  // namespace

void warn_about_layout(CalcLocals& l) {
    if (!l.genuine_reader || !PyBytes_CheckExact(l.databuf.get())) return;
    diagnostics::Facts f{};
    if (!fits_u64(l.loadaddr.get(), f.load) ||
        !fits_u64(l.seg_size.get(), f.image_size) ||
        !fits_u64(l.crcoffsetaddr.get(), f.offset))
        return;
    // Every loadable span, the way FLASH mode would see the build; a build
    // it would refuse has none.
    auto loadable = layout::loadable_of_elf(l.headers, file_size(l.file.get()));
    layout::Loadable spans;
    if (auto* found = std::get_if<layout::Loadable>(&loadable)) spans = std::move(*found);
    f.loadable = &spans;
    f.selector = selector_of(l);
    f.width = 4;
    f.padding = l.padding;
    const auto* image =
        reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(l.databuf.get()));
    uint64_t length = static_cast<uint64_t>(PyBytes_GET_SIZE(l.databuf.get()));
    if (f.offset < length) {
        const uint64_t held = std::min<uint64_t>(4, length - f.offset);
        f.old.assign(image + f.offset, image + f.offset + held);
    }
    f.has_slot = describe_slot(l, f);

    warn(diagnostics::slot_past_image(f, l.image_segment));
    warn(diagnostics::slot_not_in_flash(f));
    bool fatal;
    warn(diagnostics::slot_shape(f, fatal));
    warn(diagnostics::duplicate_names(f));
    warn(diagnostics::overwrites_data(f));
    warn(diagnostics::absolute_address(f));
    warn(diagnostics::large_padding(f));
    warn(diagnostics::left_out(f, length, l.image_segment));
}

}  // namespace velk
