#include "errors.h"

#include <cerrno>
#include <string>

#include "../../engine/platform/platform.h"

namespace velk {

void raise_os_error(int error, PyObject* filename) {
#ifdef _WIN32
    // Windows' own failures (a file another program holds open) have no C
    // error number: the platform layer words them.
    const std::string why = platform::error_text(error);
    Ref text = check(
        PyUnicode_DecodeUTF8(why.data(), static_cast<Py_ssize_t>(why.size()), "replace"));
    Ref raised = check(PyObject_CallFunction(PyExc_OSError, "iOO", error, text.get(),
                                             filename ? filename : Py_None));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), raised.get());
#else
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
#endif
    throw PythonError{};
}

}  // namespace velk
