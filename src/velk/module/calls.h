// What every public function shares: argument binding, the traceback entry
// and the boundary where C++ failures turn back into a NULL return.
#pragma once

#include "state.h"

namespace velk {

// Binds positional and keyword arguments to the parameters named in
// `params` (all required, no extras). `out` receives borrowed references
// that live as long as the call's argument tuple and dict.
void bind_arguments(const char* func, PyObject* args, PyObject* kwargs,
                    PyObject* const* params, Py_ssize_t nparams, PyObject** out);

// Adds a traceback entry `entry` to the pending exception; its file is
// VELK_CRC.
void add_traceback(Entry entry);

// Turns whatever a body threw into a pending Python exception: a pending
// one stays, an out-of-memory becomes MemoryError, and anything else a C++
// exception carries becomes SystemError with its text, so that no C++
// exception ever reaches the runtime.
void raise_from_current_exception() noexcept;

// Runs a function body; a failure leaves through one traceback entry and a
// NULL return.
template <class Body>
PyObject* boundary(Entry entry, Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        raise_from_current_exception();
    }
    add_traceback(entry);
    return nullptr;
}

}  // namespace velk
