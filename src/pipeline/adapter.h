// Where Python objects meet the pure cores: files, numbers and text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../module/ops.h"

namespace velk {

// The size of an open file object's file.
uint64_t file_size(PyObject* file);

// Up to `length` bytes of the open file at `offset`, fewer where it ends;
// the file's position is not moved (pyelftools seeks for itself).
std::vector<uint8_t> read_file_at(PyObject* file, uint64_t offset, uint64_t length);

// An integer the ELF reader gave as an address or size.
uint64_t as_u64(PyObject* value);

// Whether `value` is an int from 0 to 2**64 - 1, and which: for reasoning
// about a layout that a caller's objects may have made unusual.
bool fits_u64(PyObject* value, uint64_t& out);

// The file system's name for `filename`, as open() would encode it.
std::string fs_path(PyObject* filename);

// What `path` is when it is no regular file or directory that open() can
// read without waiting ("a FIFO", "a socket", a device), else nullptr.
// Opening a FIFO for reading would wait for a writer forever.
const char* special_file_kind(const std::string& path);

// Text for a message: UTF-8, with bytes that did not decode (a file name
// on the command line) kept as they came.
std::string utf8_of(PyObject* text);

// Back to text: what utf8_of() made, or a word of the command line.
Ref text_object(const std::string& utf8);

// One line through the start-up print: on standard output, or standard
// error (sys looked up at use).
void say(const std::string& line);
void say_to_stderr(const std::string& line);

// os.path.splitext(elffilename)[0] + suffix
Ref output_name(PyObject* elffilename, PyObject* suffix);

// The pending exception, normalised and taken (the error indicator is
// clear afterwards).
Ref take_exception();

// The pending OSError, which is taken: its strerror ("No such file or
// directory") and the file it names, if any.
struct OsErrorText {
    std::string why;
    bool has_filename;
    std::string filename;
};
OsErrorText take_os_error();

// OSError for errno `error`, naming `filename`.
[[noreturn]] void raise_os_error(int error, PyObject* filename);

// Closes an open file object, whatever is pending: a reading run's file is
// closed on every way out; a failing close is reported as unraisable.
void close_keeping_error(PyObject* file) noexcept;

}  // namespace velk
