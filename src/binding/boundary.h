// The one place where what stopped a call turns into a Python exception,
// as CPython's own modules catch their library's errors: a pending Python
// exception goes on as it is, running out of memory is MemoryError, and
// any other C++ exception is SystemError with its text. No C++ exception
// reaches the interpreter.
#pragma once

#include <new>
#include <stdexcept>

#include "../engine/outfile/outputs.h"
#include "../engine/run/host.h"
#include "host.h"

namespace velk::binding {

template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "an unknown C++ exception");
    }
    return nullptr;
}

// A termination signal that stopped the engine, as the status the process
// ends with: SystemExit(128 + the signal).
[[noreturn]] void raise_terminated(const outfile::Terminated& terminated);

// Runs `run`, an engine call, without the interpreter's lock; what stopped
// it is left pending in the interpreter: Ctrl-C's KeyboardInterrupt, or
// SystemExit for a termination signal.
template <class Run>
auto engine_call(PythonHost& host, Run&& run) -> decltype(run()) {
    try {
        PythonHost::Released released(host);
        return run();
    } catch (const Interrupted&) {
        throw PythonError{};
    } catch (const outfile::Terminated& terminated) {
        raise_terminated(terminated);
    }
}

}  // namespace velk::binding
