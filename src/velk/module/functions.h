// The bodies of the four public functions, each in its own subsystem.
#pragma once

#include "../../python/handle.h"

namespace velk {

Ref calc_crc_mpeg2(PyObject* data);
Ref velk_crc_calc(PyObject* elffilename, PyObject* varename, PyObject* crcaddr,
                  PyObject* crcblock);
Ref usage(PyObject* str);
Ref runmain();

// Creates the four function objects and binds each in the module dict
// right after its creation, in the order of the function table.
void bind_functions(PyObject* module);

}  // namespace velk
