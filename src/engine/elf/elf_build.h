// An ELF file read by the native reader: its headers, its loadable spans
// by the flash layout's rule, and its symbols looked up by name. What
// cannot be read is a Refusal that says so.
#pragma once

#include <string>
#include <vector>

#include "../elfsyms/symbol_scan.h"
#include "../layout/flash_layout.h"
#include "../report/refusal.h"
#include "elf_reader.h"

namespace velk {

struct ElfBuild {
    // The file, read whole, shared with the images made from it: a copy of
    // the build or of its image copies no bytes.
    layout::Buffer file_buffer;
    elf::File file;
    std::vector<layout::ProgramHeader> headers;
    layout::Loadable loadable;

    const std::vector<uint8_t>& file_bytes() const;
    const uint8_t* bytes() const { return file_bytes().data(); }
    elf::Bytes span() const { return {bytes(), file_bytes().size()}; }
};

// The name of section `s` as the file's section-name table holds it; empty
// where the table cannot give one.
std::string section_name(const ElfBuild& elf, const elf::SectionHeader& s);

// The ELF magic at the start of `bytes`.
bool is_elf(const uint8_t* bytes, size_t size);

// The reading of a file that starts with the ELF magic: refuses what the
// reader cannot read and a layout that cannot be made (contents past the
// file's end, segments that overlap, none loadable).
ElfBuild read_elf(std::vector<uint8_t> bytes);
struct SymbolSearch {
    bool found = false;
    elfsyms::Matches matches;  // every symbol that carries the name; the last wins
    size_t tables = 0;         // symbol tables in the file
};

// The last symbol named `name` over every symbol table, in file order.
SymbolSearch find_symbol(const ElfBuild& elf, const std::string& name);

// Whether `name` is part of any symbol's name or any section's name: what
// the linker keeps of a variable it did not drop, unlike the debugging
// information, which names it either way.
bool named_anywhere(const ElfBuild& elf, const std::string& name);

// The symbol names no longer than `longest`, each once, for suggestions
// after a miss.
std::vector<std::string> symbol_names(const ElfBuild& elf, size_t longest);

}  // namespace velk
