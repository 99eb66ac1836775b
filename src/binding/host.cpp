#include "host.h"

#include "../velk/adapter/errors.h"
#include "../velk/adapter/printing.h"
#include "../velk/adapter/text.h"
#include "../velk/module/calls.h"

namespace velk::product {

void PythonHost::out(const std::string& line) {
    say(line);
}

void PythonHost::err(const std::string& line) {
    say_to_stderr(line);
}

void PythonHost::flush_out() {
    flush_stdout();
}

bool PythonHost::interrupted() {
    return PyErr_CheckSignals() < 0;
}

// Beside velk_crc's __init__.py.
std::string PythonHost::guide_path() {
    try {
        Ref package = velk::check(PyImport_ImportModule("velk_crc"));
        Ref init = velk::check(PyObject_GetAttrString(package.get(), "__file__"));
        std::string path = utf8_of(init.get());
        return path.substr(0, path.find_last_of('/') + 1) + "guide.md";
    } catch (const PythonError&) {
        PyErr_Clear();
        return {};
    }
}

void raise_terminated(const outfile::Terminated& terminated) {
    Ref status = check(PyLong_FromLong(128 + terminated.signal_number));
    PyErr_SetObject(PyExc_SystemExit, status.get());
    throw PythonError{};
}

}  // namespace velk::product
