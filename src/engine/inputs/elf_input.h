// The input of FLASH and CHECK: a file read once, and for an ELF file its
// headers, loadable spans and symbols, read by the native ELF reader.
// Whatever cannot be read is a Refusal that says so.
#pragma once

#include <string>
#include <vector>

#include "../elf/elf_reader.h"
#include "../elfsyms/symbol_scan.h"
#include "../layout/file_data.h"
#include "../layout/file_kind.h"
#include "../report/refusal.h"

namespace velk {

// A file read whole, and what it is: what its name's ending says, else what
// its first bytes say. It is read as that kind or refused; a reader that
// refuses it never makes it another kind.
struct InputFile {
    std::vector<uint8_t> bytes;
    layout::FileKind kind = layout::FileKind::other;
    bool named = false;  // the kind comes from the name
};

// Opens and reads `filename`; refuses a missing or unreadable file, a
// directory, a FIFO, socket or device.
InputFile read_input(const std::string& path);

// A file placed at an address (--base, <file>@0x<address>) is a raw binary
// unless its name says otherwise: its first bytes may look like a text
// record's (a stack pointer of 0x2000_3A20 starts " :").
void placed_as_raw(InputFile& input);

struct ElfBuild {
    InputFile input;
    bool read = false;  // holds an ELF file's reading
    elf::File file;
    std::vector<layout::ProgramHeader> headers;
    layout::Loadable loadable;

    const uint8_t* bytes() const { return input.bytes.data(); }
    elf::Bytes span() const { return {input.bytes.data(), input.bytes.size()}; }
};

// The ELF reading of an input that starts with the ELF magic, whatever its
// name: refuses what the reader
// cannot read and a layout that cannot be made (contents past the file's
// end, segments that overlap, none loadable).
ElfBuild read_elf(InputFile input);

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
