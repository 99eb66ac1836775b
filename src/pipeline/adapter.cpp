#include "adapter.h"

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

uint64_t as_u64(PyObject* value) {
    unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        throw PythonError{};
    return number;
}

bool fits_u64(PyObject* value, uint64_t& out) {
    if (!PyLong_Check(value)) return false;
    unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        return false;
    }
    out = number;
    return true;
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

Ref text_object(const std::string& utf8) {
    return check(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                      "surrogateescape"));
}

std::string utf8_of(PyObject* text) {
    Ref shown = PyUnicode_Check(text) ? Ref::share(text) : check(PyObject_Str(text));
    Ref bytes(PyUnicode_AsEncodedString(shown.get(), "utf-8", "surrogateescape"));
    if (!bytes) {
        // A lone surrogate that no file name made: shown escaped.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
        PyErr_Clear();
        bytes =
            check(PyUnicode_AsEncodedString(shown.get(), "utf-8", "backslashreplace"));
    }
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

void say(const std::string& line) {
    print(text_object(line).get());
}

void say_to_stderr(const std::string& line) {
    print_stderr(text_object(line).get());
}

Ref output_name(PyObject* elffilename, PyObject* suffix) {
    const Texts& t = state.t;
    Ref splitext = attr(attr(global(t.os).get(), t.path).get(), t.splitext);
    Ref filename_split = call(splitext.get(), elffilename);
    Ref root = check(PySequence_GetItem(filename_split.get(), 0));
    return add(root.get(), suffix);
}

Ref take_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref owned_type(type), owned_tb(tb);
    return Ref(value);
}

OsErrorText take_os_error() {
    Ref error = take_exception();
    OsErrorText out{utf8_of(error.get()), false, ""};
    Ref strerror(PyObject_GetAttr(error.get(), state.t.strerror));
    Ref filename(strerror ? PyObject_GetAttr(error.get(), state.t.filename) : nullptr);
    if (!filename) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        return out;
    }
    if (strerror.get() != Py_None) out.why = utf8_of(strerror.get());
    if (filename.get() != Py_None) out = {out.why, true, utf8_of(filename.get())};
    return out;
}

void raise_os_error(int error, PyObject* filename) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw PythonError{};
}

void close_keeping_error(PyObject* file) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref closed(PyObject_CallMethodNoArgs(file, state.t.close));
    if (!closed) PyErr_WriteUnraisable(file);
    PyErr_Restore(type, value, tb);
}

}  // namespace velk
