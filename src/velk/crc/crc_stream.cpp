#include "crc_stream.h"

#include "../module/ops.h"

namespace velk {

Ref make_crc32_mpeg2() {
    const Constants& c = state.c;
    // crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
    Ref mk_crc_fun = attr(global(state.t.crcmod).get(), state.t.mkCrcFun);
    PyObject* const args[] = {c.crc_poly, c.crc_init, Py_False, c.zero};
    return check(PyObject_Vectorcall(mk_crc_fun.get(), args, 1, c.crc_keywords));
}

}  // namespace velk
