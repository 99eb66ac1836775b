// The layout warnings on standard error: what the pipeline learnt, handed
// to the diagnostics and printed after the report lines.
#include "../diagnostics/layout_warnings.h"
#include "pipeline.h"

namespace velk {

namespace {

diagnostics::Mode mode_of(const CalcLocals& l) {
    if (l.name_mode()) return diagnostics::Mode::name;
    if (l.crcaddr != Py_None) return diagnostics::Mode::address;
    return diagnostics::Mode::block;
}

// The variable's name as text, and what the symbol scan learnt of it.
bool describe_slot(const CalcLocals& l, diagnostics::Slot& slot) {
    if (!l.name_mode() || !l.slot_known || !PyUnicode_Check(l.varename)) return false;
    Py_ssize_t length;
    const char* name = PyUnicode_AsUTF8AndSize(l.varename, &length);
    if (!name) {
        // A name with lone surrogates (undecodable bytes on the command line).
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw PythonError{};
        PyErr_Clear();
        return false;
    }
    const elfsyms::Matches& m = l.symbol.matches;
    slot = {std::string(name, static_cast<size_t>(length)),
            l.slot_value,
            l.symbol.known,
            m.count,
            m.values_differ,
            m.size,
            (m.info & 0xF) == elfsyms::symbol_type_function};
    return true;
}

}  // namespace

void warn_about_layout(CalcLocals& l) {
    if (!l.genuine_reader || !PyBytes_CheckExact(l.databuf.get())) return;
    diagnostics::Layout layout{};
    if (!fits_u64(l.loadaddr.get(), layout.load) ||
        !fits_u64(l.seg_size.get(), layout.image_size) ||
        !fits_u64(l.crcoffsetaddr.get(), layout.offset))
        return;
    layout.mode = mode_of(l);
    layout.flash = l.flash;
    layout.image = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(l.databuf.get()));
    layout.image_length = static_cast<uint64_t>(PyBytes_GET_SIZE(l.databuf.get()));
    layout.padding = l.padding;
    for (const SegmentInfo& s : l.segments)
        layout.segments.push_back({s.loadable, s.vaddr, s.paddr, s.filesz, s.memsz});
    layout.in_image = l.in_image;
    layout.has_slot = describe_slot(l, layout.slot);

    for (const std::string& line : diagnostics::layout_warnings(layout)) {
        Ref text = check(PyUnicode_DecodeUTF8(
            line.data(), static_cast<Py_ssize_t>(line.size()), "surrogateescape"));
        print_stderr(text.get());
    }
}

}  // namespace velk
