#include "errors.h"

#include <cerrno>

namespace velk {

void raise_os_error(int error, PyObject* filename) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw PythonError{};
}

}  // namespace velk
