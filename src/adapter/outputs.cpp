#include "outputs.h"

#include <cstring>

#include "../hexfile/intel_hex.h"
#include "../srecord/srec_writer.h"
#include "../uf2/uf2.h"
#include "errors.h"
#include "files.h"
#include "printing.h"
#include "text.h"

namespace velk {

namespace {

// Hands the text to the file a chunk at a time; Ctrl-C is answered
// between chunks, and the unfinished temporary file goes with the unwind.
class FileSink final : public layout::TextSink, public layout::ChunkSink {
public:
    explicit FileSink(outfile::ReplacingFile& file) : file_(file) {}

    void put(const char* text, size_t size) override {
        file_.write(text, size);
        if (PyErr_CheckSignals() < 0) throw PythonError{};
        if (int signal_number = outfile::TerminationHeld::received()) {
            // Stop writing: the unwind removes the temporaries, then the
            // guard ends the process by the signal.
            Ref status = check(PyLong_FromLong(128 + signal_number));
            PyErr_SetObject(PyExc_SystemExit, status.get());
            throw PythonError{};
        }
    }
    void take(uint8_t* chunk, size_t size) override {
        put(reinterpret_cast<const char*>(chunk), size);
    }

private:
    outfile::ReplacingFile& file_;
};

}  // namespace

void raise_address_overflow() {
    PyErr_SetString(PyExc_OverflowError, "unsigned byte integer is greater than maximum");
    throw PythonError{};
}

outfile::ReplacingFile& Outputs::create(PyObject* filename) {
    std::string path = fs_path(filename);
    names_.emplace_back(path, Ref::share(filename));
    try {
        return set_.add(std::move(path));
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

void Outputs::raise(const outfile::OsFailure& failure) const {
    Ref own;  // a file of the stage's own, such as the names' lock file
    PyObject* filename = nullptr;
    for (const auto& name : names_)
        if (name.first == failure.path) filename = name.second.get();
    if (!filename) {
        own = check(PyUnicode_DecodeFSDefaultAndSize(
            failure.path.data(), static_cast<Py_ssize_t>(failure.path.size())));
        filename = own.get();
    }
    if (failure.kept.empty()) raise_os_error(failure.error, filename);
    // An earlier file that could not be put back is not lost: say where it is.
    std::string why = std::strerror(failure.error);
    why += "; the earlier file is kept as " + failure.kept;
    Ref text = check(PyUnicode_DecodeFSDefaultAndSize(
        why.data(), static_cast<Py_ssize_t>(why.size())));
    Ref error = check(
        PyObject_CallFunction(PyExc_OSError, "iOO", failure.error, text.get(), filename));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PythonError{};
}

void Outputs::intel_hex(PyObject* filename, const layout::MemoryMap& memory,
                        uint64_t entry) {
    // Intel HEX addresses are 32 bits.
    if (memory.end() > hexfile::address_limit) raise_address_overflow();
    outfile::ReplacingFile& file = create(filename);
    FileSink sink(file);
    try {
        hexfile::write_intel_hex(memory, hexfile::start_address(entry), sink);
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

void Outputs::uf2(PyObject* filename, const layout::MemoryMap& memory, uint32_t family) {
    if (memory.end() > uf2::address_limit) raise_address_overflow();
    outfile::ReplacingFile& file = create(filename);
    FileSink sink(file);
    try {
        if (!uf2::write_uf2(memory, family, memory.fill(), sink)) raise_address_overflow();
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

void Outputs::srecord(PyObject* filename, const layout::MemoryMap& memory,
                      uint64_t entry) {
    outfile::ReplacingFile& file = create(filename);
    FileSink sink(file);
    try {
        srecord::write_srecord(memory, hexfile::start_address(entry), utf8_of(filename),
                               sink);
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

void Outputs::binary(PyObject* filename, const layout::MemoryMap& memory, uint64_t from,
                     uint64_t to) {
    outfile::ReplacingFile& file = create(filename);
    FileSink sink(file);
    try {
        layout::copy_range(memory, from, to, sink);
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

void Outputs::bytes(PyObject* filename,
                    const std::vector<std::pair<const uint8_t*, size_t>>& pieces) {
    outfile::ReplacingFile& file = create(filename);
    try {
        for (const auto& piece : pieces)
            file.write(reinterpret_cast<const char*>(piece.first), piece.second);
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

void Outputs::remove(PyObject* filename) {
    std::string path = fs_path(filename);
    names_.emplace_back(path, Ref::share(filename));
    set_.remove(std::move(path));
}

void Outputs::commit() {
    try {
        set_.commit();
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

std::vector<Ref> Outputs::removed() const {
    std::vector<Ref> out;
    for (const std::string& path : set_.removed())
        for (const auto& name : names_)
            if (name.first == path) {
                out.push_back(Ref::share(name.second.get()));
                break;
            }
    return out;
}

}  // namespace velk
