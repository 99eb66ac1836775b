#include "text.h"

namespace velk::binding {

Ref text_object(const std::string& text) {
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                      "surrogateescape"));
}

std::string text_of(PyObject* text) {
    Ref bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
    if (!bytes) {
        // A lone surrogate that no file name made: shown escaped.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
        PyErr_Clear();
        bytes = check(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    }
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string path_of(PyObject* value, const char* what) {
    Ref path(PyOS_FSPath(value));
    if (!path) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be a path (str or os.PathLike), not %.100s",
                     what, Py_TYPE(value)->tp_name);
        throw PythonError{};
    }
    if (PyBytes_Check(path.get()))
        return std::string(PyBytes_AS_STRING(path.get()),
                           static_cast<size_t>(PyBytes_GET_SIZE(path.get())));
    Ref encoded(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s %R is no name the file system can hold", what,
                     path.get());
        throw PythonError{};
    }
    return std::string(PyBytes_AS_STRING(encoded.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
}

}  // namespace velk::binding
