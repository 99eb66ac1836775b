#include "text.h"

namespace velk {

uint64_t as_u64(PyObject* value) {
    unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        throw PythonError{};
    return number;
}

bool fits_u64(PyObject* value, uint64_t& out) {
    if (!PyLong_Check(value)) return false;
    unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        return false;
    }
    out = number;
    return true;
}

Ref text_object(const std::string& utf8) {
    return check(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                      "surrogateescape"));
}

std::string utf8_of(PyObject* text) {
    Ref shown = PyUnicode_Check(text) ? Ref::share(text) : check(PyObject_Str(text));
    Ref bytes(PyUnicode_AsEncodedString(shown.get(), "utf-8", "surrogateescape"));
    if (!bytes) {
        // A lone surrogate that no file name made: shown escaped.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
        PyErr_Clear();
        bytes =
            check(PyUnicode_AsEncodedString(shown.get(), "utf-8", "backslashreplace"));
    }
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace velk
