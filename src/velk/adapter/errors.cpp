#include "errors.h"

#include <cerrno>

#include "text.h"

namespace velk {

Ref take_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref owned_type(type), owned_tb(tb);
    return Ref(value);
}

std::string exception_text(bool with_type) {
    Ref error = take_exception();
    std::string message = utf8_of(error.get());
    if (!with_type) return message;
    std::string name = Py_TYPE(error.get())->tp_name;
    return message.empty() ? name : name + ": " + message;
}

OsErrorText take_os_error() {
    Ref error = take_exception();
    OsErrorText out{utf8_of(error.get()), false, ""};
    Ref strerror(PyObject_GetAttr(error.get(), state.t.strerror));
    Ref filename(strerror ? PyObject_GetAttr(error.get(), state.t.filename) : nullptr);
    if (!filename) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        return out;
    }
    if (strerror.get() != Py_None) out.why = utf8_of(strerror.get());
    if (filename.get() != Py_None) out = {out.why, true, utf8_of(filename.get())};
    return out;
}

void raise_os_error(int error, PyObject* filename) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw PythonError{};
}

}  // namespace velk
