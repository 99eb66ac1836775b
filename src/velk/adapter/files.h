// Files and names: what VELK mode reads and writes, through the objects
// open() gives.
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

// The file system's name for `filename`, as open() would encode it.
std::string fs_path(PyObject* filename);

// What `path` is when it is no regular file or directory that open() can
// read without waiting ("a FIFO", "a socket", a device), else nullptr.
// Opening a FIFO for reading would wait for a writer forever.
const char* special_file_kind(const std::string& path);

// os.path.splitext(elffilename)[0] + suffix
Ref output_name(PyObject* elffilename, PyObject* suffix);

// Closes an open file object, whatever is pending: a reading run's file is
// closed on every way out; a failing close is reported as unraisable.
void close_keeping_error(PyObject* file) noexcept;

}  // namespace velk
