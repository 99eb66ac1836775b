// What velk_crc._core keeps per module object, made by its start-up: the
// package's classes it returns and raises, and the interpreter's print.
#pragma once

#include "../python/handle.h"

namespace velk::binding {

struct ModuleState {
    PyObject* report;         // velk_crc.Report
    PyObject* output_file;    // velk_crc.OutputFile
    PyObject* refused;        // velk_crc.Refused
    PyObject* cannot_verify;  // velk_crc.CannotVerify
    PyObject* internal_error; // velk_crc.InternalError
    PyObject* print;          // builtins.print
};

ModuleState& state_of(PyObject* module);

}  // namespace velk::binding
