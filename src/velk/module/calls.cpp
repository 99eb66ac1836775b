#include "calls.h"

#include <frameobject.h>

#include <exception>
#include <new>

namespace velk {

namespace {

[[noreturn]] void raise_count(const char* func, Py_ssize_t nparams, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func,
                 "exactly", nparams, nparams == 1 ? "" : "s", given);
    throw PythonError{};
}

// Index of `key` among the parameter names, or -1.
Py_ssize_t param_index(PyObject* key, PyObject* const* params, Py_ssize_t nparams) {
    for (Py_ssize_t i = 0; i < nparams; ++i)
        if (key == params[i]) return i;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        int eq = check(PyObject_RichCompareBool(key, params[i], Py_EQ));
        if (eq) return i;
    }
    return -1;
}

// A keyword that was not used to fill a missing parameter: find out why.
[[noreturn]] void raise_bad_keyword(const char* func, PyObject* kwargs,
                                    PyObject* const* params, Py_ssize_t nparams,
                                    Py_ssize_t npos) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
            throw PythonError{};
        }
        Py_ssize_t index = param_index(key, params, nparams);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         func, key);
            throw PythonError{};
        }
        if (index < npos) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'", func, key);
            throw PythonError{};
        }
    }
    // Every key was a parameter not given by position: cannot happen when
    // the counts disagreed, but keep the invariant explicit.
    PyErr_SetString(PyExc_SystemError, "keyword binding mismatch");
    throw PythonError{};
}

}  // namespace

void bind_arguments(const char* func, PyObject* args, PyObject* kwargs,
                    PyObject* const* params, Py_ssize_t nparams, PyObject** out) {
    Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > nparams) raise_count(func, nparams, npos);
    for (Py_ssize_t i = 0; i < npos; ++i) out[i] = PyTuple_GET_ITEM(args, i);

    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    Py_ssize_t used = 0;
    for (Py_ssize_t i = npos; i < nparams; ++i) {
        PyObject* value = nkw ? PyDict_GetItemWithError(kwargs, params[i]) : nullptr;
        if (!value) {
            if (PyErr_Occurred()) throw PythonError{};
            raise_count(func, nparams, i);
        }
        out[i] = value;
        ++used;
    }
    if (used < nkw) raise_bad_keyword(func, kwargs, params, nparams, npos);
}

void raise_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError,
                            "a failure was reported without an exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

void add_traceback(Entry entry) {
    static const char* const names[] = {"init VELK_CRC", "VELK_CRC.calc_crc_mpeg2",
                                        "VELK_CRC.velk_crc_calc", "VELK_CRC.usage",
                                        "VELK_CRC.runmain"};
    static_assert(sizeof names / sizeof *names == static_cast<size_t>(Entry::count));
    // Line numbers count the public functions in the order they are bound.
    int line = static_cast<int>(entry) + 1;
    int i = static_cast<int>(entry);

    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject*& code = state.code_cache[i];
    if (!code)
        code = reinterpret_cast<PyObject*>(PyCode_NewEmpty("VELK_CRC", names[i], line));
    if (code && state.globals) {
        PyFrameObject* frame =
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                        state.globals, nullptr);
        if (frame) {
            PyErr_Restore(type, value, tb);
            PyTraceBack_Here(frame);
            Py_DECREF(frame);
            return;
        }
    }
    // The entry could not be made: the original exception matters more.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

}  // namespace velk
