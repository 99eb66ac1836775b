// Sections added to an ELF file without moving a byte of it: a new
// section-name table and a new section header table go after its last
// byte, and the ELF header points at them. A section of contents the file
// did not load before also gets a loadable segment, in a new program
// header table after them. The old tables stay where they are, read by
// nothing.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "elf_reader.h"

namespace velk::elf {

struct NewSection {
    std::string name;
    uint32_t type;
    uint64_t flags;
    uint64_t addr;
    uint64_t offset;
    uint64_t size;
    // Whether a debugger or programmer that loads by program headers
    // (pyOCD, probe-rs, J-Link) must load it too: contents no segment of
    // the file holds.
    bool own_segment = false;
};

// What changes in the file: its first header.size() bytes (the ELF header)
// replaced, `tail` appended.
struct Appended {
    std::vector<uint8_t> header;
    std::vector<uint8_t> tail;
};

// Bytes at a segment's start that the new program header table no longer
// loads: the file's own headers, which are no part of the flash image.
struct LeftOut {
    size_t segment;
    uint64_t bytes;
};

// Every section of `file` (read from `bytes`) at its index, then `added`
// in order, their names in a copy of the old name table followed by the
// new ones; a count past the ELF header's reach goes into section
// header 0, the name table keeps its index. Every program header as it
// was (less `left_out`), then a PT_LOAD for each section of `own_segment`. A file
// without section headers, or whose section names cannot be read, is a
// Fault: there is no table to add to, or its sections would be renamed.
// `contents`: bytes the caller puts after the file, before the tables, for
// new sections of contents the file does not have. With `left_out`, the
// program headers are written anew, those segments starting later.
std::variant<Appended, Fault> append_sections(const File& file, Bytes bytes,
                                              const std::vector<NewSection>& added,
                                              uint64_t contents = 0,
                                              const std::vector<LeftOut>& left_out = {});

}  // namespace velk::elf
