// What a file given to the command line is, by its first bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velk::layout {

enum class FileKind { elf, intel_hex, srecord, uf2, other };

// What a file is, by its first bytes: the ELF magic, a UF2 block's two
// start magics, or the first record
// of an Intel HEX (":") or S-record ("S0".."S9") file after any number of
// blank lines and blanks. Reads no further than the first character that
// is not blank, so a whole file may be given: a head cut at a fixed size
// is "other" when an editor or a script put more blank lines before the
// records than the head holds.
FileKind kind_of(const uint8_t* head, size_t size);

// What a file is by its name's ending, in any case: .hex and .ihex, .srec,
// .s19, .s28, .s37 and .mot, .uf2, .bin, and .elf, .axf and .out. False
// when the name says nothing, and the content decides.
bool kind_of_name(const std::string& name, FileKind& kind);

// The length of a UTF-8 byte order mark at the start of a text file (an
// editor's), 0 when there is none.
size_t byte_order_mark(const uint8_t* text, size_t size);

}  // namespace velk::layout
