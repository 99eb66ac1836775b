// The rows of the format table, each defined in a file of its own with its
// reader, writer and check; formats.cpp lists them in the order a run's
// files are told. Used by formats.cpp alone: the rest of the engine goes
// through formats.h.
#pragma once

#include "formats.h"

namespace velk::formats {

extern const Format elf_file;
extern const Format intel_hex;
extern const Format raw_binary;
extern const Format srecords;
extern const Format uf2_file;

// Whether a file of any contents can be written: every format but the
// build's own file.
inline bool always(const Contents&) {
    return true;
}

}  // namespace velk::formats
