#include "host.h"

#include <cerrno>
#include <cstring>

#include "../engine/platform/platform.h"
#include "crypto.h"
#include "text.h"

namespace velk::binding {

namespace {

// The pending exception of a write to standard output, taken: a full disk
// or a closed pipe (BrokenPipeError) is StdoutFailure with the system's
// words; anything else stays pending.
[[noreturn]] void refuse_stdout_error() {
    if (PyErr_ExceptionMatches(PyExc_OSError)) {
        const bool reader_gone = PyErr_ExceptionMatches(PyExc_BrokenPipeError);
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref owned_type(type), error(value), owned_traceback(traceback);
        Ref why(PyObject_GetAttrString(error.get(), "strerror"));
        if (why && why.get() != Py_None) throw StdoutFailure{text_of(why.get()), reader_gone};
        PyErr_Clear();
        Ref shown = check(PyObject_Str(error.get()));
        throw StdoutFailure{text_of(shown.get()), reader_gone};
    }
    throw PythonError{};
}

// The interpreter started with standard output closed (>&-): a report
// that cannot be shown is a failure, as a write to the closed descriptor
// would be.
[[noreturn]] void refuse_closed_stdout() {
    throw StdoutFailure{std::strerror(EBADF)};
}

}  // namespace

PythonHost::Holding::Holding(PythonHost& host)
    : host_(host), elsewhere_(std::this_thread::get_id() != host.caller_) {
    if (elsewhere_)
        foreign_ = PyGILState_Ensure();
    else if (host_.saved_)
        PyEval_RestoreThread(host_.saved_);
}

PythonHost::Holding::~Holding() {
    if (elsewhere_)
        PyGILState_Release(foreign_);
    else if (host_.saved_)
        host_.saved_ = PyEval_SaveThread();
}

// print(line, file=file): as a Python program prints it, to whatever
// sys.stdout or sys.stderr is now.
void PythonHost::print(const std::string& line, PyObject* file) {
    Ref text = text_object(line);
    Ref keywords = check(Py_BuildValue("{s:O}", "file", file));
    Ref args = check(PyTuple_Pack(1, text.get()));
    check(PyObject_Call(state_.print, args.get(), keywords.get()));
}

void PythonHost::out(const std::string& line) {
    Holding held(*this);
    PyObject* out = PySys_GetObject("stdout");
    if (!out || out == Py_None) refuse_closed_stdout();
    try {
        print(line, out);
    } catch (const PythonError&) {
        refuse_stdout_error();
    }
}

void PythonHost::err(const std::string& line) {
    Holding held(*this);
    PyObject* err = PySys_GetObject("stderr");
    if (!err || err == Py_None) return;
    print(line, err);
}

void PythonHost::flush_out() {
    Holding held(*this);
    PyObject* out = PySys_GetObject("stdout");
    if (!out || out == Py_None) return;
    Ref done(PyObject_CallMethod(out, "flush", nullptr));
    if (!done) refuse_stdout_error();
}

bool PythonHost::interrupted() {
    Holding held(*this);
    return PyErr_CheckSignals() < 0;
}

// Beside velk_crc's __init__.py.
std::string PythonHost::guide_path() {
    Holding held(*this);
    Ref package(PyImport_ImportModule("velk_crc"));
    Ref init(package ? PyObject_GetAttrString(package.get(), "__file__") : nullptr);
    if (!init || !PyUnicode_Check(init.get())) {
        PyErr_Clear();
        return {};
    }
    std::string path = text_of(init.get());
    return path.substr(0, path.find_last_of(platform::path_separators) + 1) + "guide.md";
}

// Made at the first run that asks, which imports what it needs then.
crypto::Provider& PythonHost::crypto() {
    if (!crypto_) crypto_ = std::make_unique<PythonCrypto>(*this);
    return *crypto_;
}

PythonHost::PythonHost(const ModuleState& state) : state_(state) {}

PythonHost::~PythonHost() = default;

}  // namespace velk::binding
