#include "outputs.h"

#include <cstring>

#include "../../engine/hexfile/intel_hex.h"
#include "../../engine/outfile/outputs.h"
#include "../../engine/platform/platform.h"
#include "errors.h"
#include "files.h"

namespace velk {

namespace {

// Ctrl-C between chunks, as a Python exception; a termination signal as
// the status it ends the process with.
class Answering final : public outfile::Writing {
public:
    void between_chunks() override {
        if (PyErr_CheckSignals() < 0) throw PythonError{};
    }
    void waiting_long(const std::string&) override {}
    void terminated_while_waiting(const std::string&) override {}
};

[[noreturn]] void exit_by_signal(int signal_number) {
    Ref status = check(PyLong_FromLong(128 + signal_number));
    PyErr_SetObject(PyExc_SystemExit, status.get());
    throw PythonError{};
}

// The OSError open() would raise for the file, or with the earlier file's
// new name when it could not be put back.
[[noreturn]] void raise_failure(const outfile::OsFailure& failure, PyObject* filename) {
    if (failure.kept.empty()) raise_os_error(failure.error, filename);
    std::string why = platform::error_text(failure.error);
    why += "; the earlier file is kept as " + failure.kept;
    Ref text = check(PyUnicode_DecodeFSDefaultAndSize(
        why.data(), static_cast<Py_ssize_t>(why.size())));
    Ref error = check(
        PyObject_CallFunction(PyExc_OSError, "iOO", failure.error, text.get(), filename));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PythonError{};
}

}  // namespace

void raise_address_overflow() {
    PyErr_SetString(PyExc_OverflowError, "unsigned byte integer is greater than maximum");
    throw PythonError{};
}

void write_hex_file(PyObject* filename, const layout::MemoryMap& memory, uint64_t entry) {
    // Intel HEX addresses are 32 bits.
    if (memory.end() > hexfile::address_limit) raise_address_overflow();
    const std::string path = fs_path(filename);
    Answering answering;
    try {
        outfile::Outputs outputs(outfile::Claim::plain, answering);
        outputs.write(path, [&memory, entry](outfile::Sink& sink) {
            hexfile::write_intel_hex(memory, hexfile::start_address(entry), sink);
        });
        outputs.commit();
    } catch (const outfile::OsFailure& failure) {
        raise_failure(failure, filename);
    } catch (const outfile::Terminated& terminated) {
        exit_by_signal(terminated.signal_number);
    }
}

}  // namespace velk
