// Third stage: settle the checksum's offset from the start of the image.
#include "pipeline.h"

namespace velk {

namespace {

bool refuse_name(PyObject* varename, PyObject* why) {
    print(add(varename, why).get());
    return false;
}

bool locate_by_name(CalcLocals& l) {
    const Texts& t = state.t;
    Ref value = find_symbol_value(l);
    if (!value) return refuse_name(l.varename, t.msg_not_found);
    Ref offset = subtract(value.get(), l.loadaddr.get());
    // Below the image the range would lose its last bytes and the record
    // would land before the firmware.
    if (compare(offset.get(), state.c.zero, Py_LT))
        return refuse_name(l.varename, t.msg_below_load);
    l.crcoffsetaddr = std::move(offset);
    return true;
}

// The segment length rounded up to the block: the checksum follows it, in
// 0xFF padding that leaves room for the 4 checksum bytes.
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
    Ref count = add(reported.get(), c.four);
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
