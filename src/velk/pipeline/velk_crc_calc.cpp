// velk_crc_calc: checksum a firmware ELF file into <name>_CRC.hex.
#include "../adapter/files.h"
#include "../module/functions.h"
#include "pipeline.h"

namespace velk {

ElfFileCloser::~ElfFileCloser() {
    if (l_.file) close_keeping_error(l_.file.get());
}

Ref velk_crc_calc(PyObject* elffilename, PyObject* varename, PyObject* crcaddr,
                  PyObject* crcblock) {
    CalcLocals l(elffilename, varename, crcaddr, crcblock);
    ElfFileCloser closer(l);
    if (!check_request(l) || !assemble_image(l) || !locate_checksum(l))
        return Ref::share(state.c.minus_one);
    write_hex(l);
    warn_about_layout(l);
    // The normal end closes the ELF file itself, so that a failing close
    // is reported; every other way out leaves it to the closer.
    call_method(Ref(l.file.release()).get(), state.t.close);
    return Ref::share(Py_None);
}

}  // namespace velk
