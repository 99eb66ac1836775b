// Third stage: settle the checksum's offset from the start of the image.
#include "../adapter/printing.h"
#include "../adapter/text.h"
#include "../../engine/base/closest.h"
#include "../../engine/report/wording.h"
#include "pipeline.h"

namespace velk {

namespace {

bool refuse_name(PyObject* varename, PyObject* why) {
    print(add(varename, why).get());
    return false;
}

// After "<name> is not found!": no symbol table at all, or the names that
// come closest. Only pyelftools' own reader is asked again.
void hint_name(CalcLocals& l) {
    if (!l.genuine_reader || !PyUnicode_Check(l.varename)) return;
    std::string name = utf8_of(l.varename);
    if (l.symbol.tables == 0) {
        say_to_stderr("hint: " + wording::no_symbol_table(command_line_asker, name));
        return;
    }
    std::vector<std::string> closest = base::closest_names(
        name, symbol_names(l.symbols(), base::longest_close_name(name)));
    if (!closest.empty()) say_to_stderr("hint: " + wording::not_found(name, closest));
}

bool locate_by_name(CalcLocals& l) {
    const Texts& t = state.t;
    l.symbol = find_symbol(l.symbols(), l.varename);
    if (!l.symbol.value) {
        refuse_name(l.varename, t.msg_not_found);
        hint_name(l);
        return false;
    }
    Ref offset = subtract(l.symbol.value.get(), l.loadaddr.get());
    // Below the image the range would lose its last bytes and the record
    // would land before the firmware.
    if (compare(offset.get(), state.c.zero, Py_LT))
        return refuse_name(l.varename, t.msg_below_load);
    l.crcoffsetaddr = std::move(offset);
    return true;
}

// The segment length rounded up to the block: the checksum follows it, in
// 0xFF padding that leaves room for the 4 checksum bytes. The image may
// already reach the block boundary (the image stage pads a segment shorter
// than one block): only what it still lacks up to the end of the checksum
// record is appended, never 0xFF bytes after the record, where the next
// flash region begins.
void locate_by_block(CalcLocals& l) {
    const Constants& c = state.c;
    PyObject* seg_size = l.seg_size.get();
    PyObject* crcblock = l.crcblock.get();
    l.crcoffsetaddr = Ref::share(seg_size);
    Ref mask = subtract(crcblock, c.one);
    if (!truth(bit_and(seg_size, mask.get()).get())) return;
    Ref sum = add(seg_size, crcblock);
    Ref inverted = check(PyNumber_Invert(mask.get()));
    l.crcoffsetaddr = bit_and(sum.get(), inverted.get());
    Ref reported = subtract(l.crcoffsetaddr.get(), seg_size);
    Py_ssize_t length = PyObject_Length(l.databuf.get());
    if (length < 0) throw PythonError{};
    Ref have = check(PyLong_FromSsize_t(length));
    Ref count = subtract(add(l.crcoffsetaddr.get(), c.four).get(), have.get());
    pad_image(l, reported.get(), count.get());
}

}  // namespace

bool locate_checksum(CalcLocals& l) {
    if (l.name_mode()) return locate_by_name(l);
    if (l.crcblock.get() == Py_None) return true;  // address mode
    locate_by_block(l);
    return true;
}

}  // namespace velk
