#include "files.h"

#include <algorithm>
#include <cerrno>

#include "../../engine/platform/platform.h"
#include "errors.h"

namespace velk {

namespace {

int descriptor(PyObject* file) {
    int fd = PyObject_AsFileDescriptor(file);
    if (fd < 0) throw PythonError{};
    return fd;
}

}  // namespace

uint64_t file_size(PyObject* file) {
    uint64_t size = 0;
    if (int error = platform::descriptor_size(descriptor(file), size))
        raise_os_error(error, nullptr);
    return size;
}

std::vector<uint8_t> read_file_at(PyObject* file, uint64_t offset, uint64_t length) {
    int fd = descriptor(file);
    uint64_t size = file_size(file);
    std::vector<uint8_t> bytes;
    if (offset >= size) return bytes;
    bytes.resize(static_cast<size_t>(std::min(length, size - offset)));
    size_t done = 0;
    if (int error = platform::read_at(fd, offset, bytes.data(), bytes.size(), done))
        raise_os_error(error, nullptr);
    bytes.resize(done);
    return bytes;
}

std::string fs_path(PyObject* filename) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(filename, &converted)) throw PythonError{};
    Ref path(converted);
    return std::string(PyBytes_AS_STRING(converted),
                       static_cast<size_t>(PyBytes_GET_SIZE(converted)));
}

const char* special_file_kind(const std::string& path) {
    switch (platform::kind_of(path)) {
        case platform::Kind::fifo:
            return "a FIFO";
        case platform::Kind::socket:
            return "a socket";
        case platform::Kind::character_device:
            return "a character device";
        case platform::Kind::block_device:
            return "a block device";
        default:
            return nullptr;
    }
}

Ref output_name(PyObject* elffilename, PyObject* suffix) {
    const Texts& t = state.t;
    Ref splitext = attr(attr(global(t.os).get(), t.path).get(), t.splitext);
    Ref filename_split = call(splitext.get(), elffilename);
    Ref root = check(PySequence_GetItem(filename_split.get(), 0));
    return add(root.get(), suffix);
}

void close_keeping_error(PyObject* file) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref closed(PyObject_CallMethodNoArgs(file, state.t.close));
    if (!closed) PyErr_WriteUnraisable(file);
    PyErr_Restore(type, value, tb);
}

}  // namespace velk
