#include "native_output.h"

#include <cerrno>
#include <string>

#include "../hexfile/intel_hex.h"
#include "../module/state.h"

namespace velk {

namespace {

// A method looked up on the instance is the genuine function bound to it.
bool genuine_method(PyObject* ihex, PyObject* name, PyObject* genuine) {
    Ref method(PyObject_GetAttr(ihex, name));
    if (!method) {
        PyErr_Clear();
        return false;
    }
    return PyMethod_Check(method.get()) &&
           PyMethod_GET_FUNCTION(method.get()) == genuine &&
           PyMethod_GET_SELF(method.get()) == ihex;
}

[[noreturn]] void raise_os_error(int error, PyObject* filename) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw PythonError{};
}

// The file system's name for `filename`, as open() would encode it.
std::string fs_path(PyObject* filename) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(filename, &converted)) throw PythonError{};
    Ref path(converted);
    return std::string(PyBytes_AS_STRING(converted),
                       static_cast<size_t>(PyBytes_GET_SIZE(converted)));
}

outfile::ReplacingFile create(PyObject* filename) {
    std::string path = fs_path(filename);
    try {
        return outfile::ReplacingFile(std::move(path));
    } catch (const outfile::OsFailure& failure) {
        raise_os_error(failure.error, filename);
    }
}

// Hands the text to the file a chunk at a time; Ctrl-C is answered
// between chunks, and the unfinished temporary file goes with the unwind.
class FileSink final : public hexfile::TextSink {
public:
    FileSink(outfile::ReplacingFile& file, PyObject* filename)
        : file_(file), filename_(filename) {}

    void put(const char* text, size_t size) override {
        try {
            file_.write(text, size);
        } catch (const outfile::OsFailure& failure) {
            raise_os_error(failure.error, filename_);
        }
        if (PyErr_CheckSignals() < 0) throw PythonError{};
    }

private:
    outfile::ReplacingFile& file_;
    PyObject* filename_;
};

}  // namespace

bool genuine_container(PyObject* ihex) {
    const State::Genuine& g = state.genuine;
    if (reinterpret_cast<PyObject*>(Py_TYPE(ihex)) != g.IntelHex) return false;
    Ref setitem(PyObject_GetAttr(g.IntelHex, state.t.dunder_setitem));
    if (!setitem) {
        PyErr_Clear();
        return false;
    }
    return setitem.get() == g.setitem &&
           genuine_method(ihex, state.t.frombytes, g.frombytes) &&
           genuine_method(ihex, state.t.write_hex_file, g.write_hex_file);
}

void raise_address_overflow() {
    PyErr_SetString(PyExc_OverflowError, "unsigned byte integer is greater than maximum");
    throw PythonError{};
}

bool record_bytes(PyObject* record, uint8_t out[4]) {
    if (!PyList_CheckExact(record) || PyList_GET_SIZE(record) != 4) return false;
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* value = PyList_GET_ITEM(record, i);
        if (!PyLong_CheckExact(value)) return false;
        long byte = PyLong_AsLong(value);
        if (byte < 0 || byte > 255) {
            PyErr_Clear();
            return false;
        }
        out[i] = static_cast<uint8_t>(byte);
    }
    return true;
}

void add_image_and_record(hexfile::MemoryMap& memory, uint64_t load, PyObject* databuf,
                          uint64_t offset, const uint8_t record[4]) {
    size_t length = static_cast<size_t>(PyBytes_GET_SIZE(databuf));
    uint64_t image_end, record_at, record_end;
    if (__builtin_add_overflow(load, length, &image_end) ||
        __builtin_add_overflow(load, offset, &record_at) ||
        __builtin_add_overflow(record_at, 4, &record_end))
        raise_address_overflow();
    memory.add(load, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(databuf)),
               length);
    memory.add(record_at, record, 4);
}

outfile::ReplacingFile write_hex_text(PyObject* filename,
                                      const hexfile::MemoryMap& memory, PyObject* entry) {
    if (memory.end() > hexfile::address_limit) raise_address_overflow();
    unsigned long long start = PyLong_AsUnsignedLongLongMask(entry);
    if (start == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        throw PythonError{};
    outfile::ReplacingFile file = create(filename);
    FileSink sink(file, filename);
    hexfile::write_intel_hex(memory, static_cast<uint32_t>(start), sink);
    return file;
}

outfile::ReplacingFile write_bytes(PyObject* filename, const uint8_t* data, size_t size) {
    outfile::ReplacingFile file = create(filename);
    try {
        file.write(reinterpret_cast<const char*>(data), size);
    } catch (const outfile::OsFailure& failure) {
        raise_os_error(failure.error, filename);
    }
    return file;
}

void commit(outfile::ReplacingFile& file, PyObject* filename) {
    try {
        file.commit();
    } catch (const outfile::OsFailure& failure) {
        raise_os_error(failure.error, filename);
    }
}

}  // namespace velk
