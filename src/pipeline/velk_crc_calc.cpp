// velk_crc_calc: checksum a firmware ELF file into <name>_CRC.hex.
#include "../module/functions.h"
#include "pipeline.h"

namespace velk {

ElfFileCloser::~ElfFileCloser() {
    if (!l_.file) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref closed(PyObject_CallMethodNoArgs(l_.file.get(), state.t.close));
    if (!closed) PyErr_WriteUnraisable(l_.file.get());
    PyErr_Restore(type, value, tb);
}

Ref velk_crc_calc(PyObject* elffilename, PyObject* varename, PyObject* crcaddr,
                  PyObject* crcblock) {
    CalcLocals l(elffilename, varename, crcaddr, crcblock);
    ElfFileCloser closer(l);
    if (!check_request(l) || !assemble_image(l) || !locate_checksum(l))
        return Ref::share(state.c.minus_one);
    write_hex(l);
    return Ref::share(Py_None);
}

}  // namespace velk
