// What a file given to the command line is, by its first bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::layout {

enum class FileKind { elf, intel_hex, srecord, other };

// What a file is, by its first bytes: the ELF magic, or the first record
// (after blank lines) of an Intel HEX (":") or S-record ("S0".."S9") file.
FileKind kind_of(const uint8_t* head, size_t size);

// The length of a UTF-8 byte order mark at the start of a text file (an
// editor's), 0 when there is none.
size_t byte_order_mark(const uint8_t* text, size_t size);

}  // namespace velk::layout
