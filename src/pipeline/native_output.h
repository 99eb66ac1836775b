// Where the pipeline meets the native HEX writer and the replacing file:
// the identity checks that allow them, and their errors as Python sees
// them.
#pragma once

#include <cstdint>

#include "../hexfile/memory_map.h"
#include "../module/handle.h"
#include "../outfile/replacing_file.h"

namespace velk {

// `ihex` is an instance of exactly the intelhex class start-up bound, and
// its frombytes, __setitem__ and write_hex_file are still the functions the
// class had then: writing the file natively is then indistinguishable from
// filling the container and letting it write.
bool genuine_container(PyObject* ihex);

// The Intel HEX text of `memory` with the start linear address `entry`
// (masked to 32 bits as the package does) in a new temporary file beside
// `filename`; commit() moves it over `filename`. Fails as the package would
// fail, but before anything is written: OverflowError for data at or past
// 4 GiB, OSError (naming `filename`) where open(filename, "w") would fail,
// and the OSError of a failed write.
outfile::ReplacingFile write_hex_text(PyObject* filename,
                                      const hexfile::MemoryMap& memory, PyObject* entry);

// Any bytes (an ELF copy) in a new temporary file beside `filename`.
outfile::ReplacingFile write_bytes(PyObject* filename, const uint8_t* data, size_t size);

// Moves a written file over its name; OSError naming `filename`.
void commit(outfile::ReplacingFile& file, PyObject* filename);

// Raises the OverflowError of the package's writer for addresses it
// cannot write.
[[noreturn]] void raise_address_overflow();

// The 4 values of list(struct.pack("<I", checksum)) as bytes; false for
// anything but a list of 4 ints from 0 to 255.
bool record_bytes(PyObject* record, uint8_t out[4]);

// Adds the image `databuf` (bytes) at `load`, then the checksum record
// `offset` bytes after it, over whatever it lands on. OverflowError where
// an address passes 64 bits.
void add_image_and_record(hexfile::MemoryMap& memory, uint64_t load, PyObject* databuf,
                          uint64_t offset, const uint8_t record[4]);

}  // namespace velk
