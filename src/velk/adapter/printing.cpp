#include "printing.h"

#include "errors.h"
#include "text.h"

namespace velk {

namespace {

// The pending exception of a write to standard output, as say() refuses it.
[[noreturn]] void refuse_stdout_error() {
    if (PyErr_ExceptionMatches(PyExc_OSError) &&
        !PyErr_ExceptionMatches(PyExc_BrokenPipeError))
        throw StdoutFailure{take_os_error().why};
    throw PythonError{};
}

}  // namespace

void say(const std::string& line) {
    Ref text = text_object(line);
    try {
        print(text.get());
    } catch (const PythonError&) {
        refuse_stdout_error();
    }
}

void flush_stdout() {
    PyObject* out = PySys_GetObject("stdout");
    if (!out || out == Py_None) return;
    Ref held = Ref::share(out);
    Ref done(PyObject_CallMethodNoArgs(held.get(), state.t.flush));
    if (!done) refuse_stdout_error();
}

void say_to_stderr(const std::string& line) {
    print_stderr(text_object(line).get());
}

}  // namespace velk
