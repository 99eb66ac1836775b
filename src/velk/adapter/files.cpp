#include "files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velk {

namespace {

int descriptor(PyObject* file) {
    int fd = PyObject_AsFileDescriptor(file);
    if (fd < 0) throw PythonError{};
    return fd;
}

}  // namespace

uint64_t file_size(PyObject* file) {
    struct stat st;
    if (::fstat(descriptor(file), &st) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw PythonError{};
    }
    return static_cast<uint64_t>(st.st_size);
}

std::vector<uint8_t> read_file_at(PyObject* file, uint64_t offset, uint64_t length) {
    int fd = descriptor(file);
    uint64_t size = file_size(file);
    std::vector<uint8_t> bytes;
    if (offset >= size) return bytes;
    bytes.resize(static_cast<size_t>(std::min(length, size - offset)));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = ::pread(fd, bytes.data() + done, bytes.size() - done,
                              static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            throw PythonError{};
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
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
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return nullptr;
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISCHR(st.st_mode)) return "a character device";
    if (S_ISBLK(st.st_mode)) return "a block device";
    return nullptr;
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
