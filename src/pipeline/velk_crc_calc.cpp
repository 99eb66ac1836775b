// velk_crc_calc: checksum a firmware ELF file into <name>_CRC.hex.
#include "../module/functions.h"
#include "pipeline.h"

namespace velk {

Ref velk_crc_calc(PyObject* elffilename, PyObject* varename, PyObject* crcaddr,
                  PyObject* crcblock) {
    CalcLocals l(elffilename, varename, crcaddr, crcblock);
    if (!check_request(l) || !assemble_image(l) || !locate_checksum(l))
        return Ref::share(state.c.minus_one);
    write_hex(l);
    return Ref::share(Py_None);
}

}  // namespace velk
