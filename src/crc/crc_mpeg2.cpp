// CRC-32/MPEG-2: width 32, polynomial 0x04C11DB7, initial value 0xFFFFFFFF,
// no reflection, no final XOR. The arithmetic is crcmod's.
#include "../module/functions.h"
#include "crc_stream.h"

namespace velk {

Ref make_crc32_mpeg2() {
    const Constants& c = state.c;
    // crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
    Ref mk_crc_fun = attr(global(state.t.crcmod).get(), state.t.mkCrcFun);
    PyObject* const args[] = {c.crc_poly, c.crc_init, Py_False, c.zero};
    return check(PyObject_Vectorcall(mk_crc_fun.get(), args, 1, c.crc_keywords));
}

Ref calc_crc_mpeg2(PyObject* data) {
    Ref crc32_mpeg2 = make_crc32_mpeg2();
    return call(crc32_mpeg2.get(), data);
}

}  // namespace velk
