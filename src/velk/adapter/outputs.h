// VELK mode's one output file through the engine's output stage: written
// beside its name and put in place when whole. A file system failure is
// OSError naming the file, as open() would name it; an Intel HEX address
// past 4 GiB is the package's OverflowError; Ctrl-C is answered between
// chunks.
#pragma once

#include <cstdint>

#include "../../engine/layout/memory_map.h"
#include "../../python/handle.h"

namespace velk {

// The OverflowError of the package's writer for an address it cannot write.
[[noreturn]] void raise_address_overflow();

// <filename>: the Intel HEX text of `memory` with the start linear address
// `entry`, put in place as the one file it always was: no lock file beside
// it, nothing of other runs touched.
void write_hex_file(PyObject* filename, const layout::MemoryMap& memory, uint64_t entry);

}  // namespace velk
