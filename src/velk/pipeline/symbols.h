// Looking a variable up in an ELF file's symbol tables through pyelftools'
// reader, as VELK mode's name mode does (natively where the reader and its
// tables are the genuine ones).
#pragma once

#include <string>
#include <vector>

#include "../../engine/elfsyms/symbol_scan.h"
#include "../../python/handle.h"

namespace velk {

// An ELF file open for reading and its reader.
struct SymbolSource {
    PyObject* elf_file;   // the ELFFile (or a caller's reader)
    PyObject* file;       // the open file under it
    bool genuine_reader;  // elf_file is pyelftools' own ELFFile
};

struct SymbolLookup {
    Ref value;                 // st_value of the last symbol named so, or empty
    elfsyms::Matches matches;  // size and type of what was found
    bool known = false;        // matches describe every symbol that carried the name
    size_t tables = 0;         // symbol tables in the file
};

// The value of the last symbol named `name` over every symbol table (for
// symbol in section.iter_symbols(): if symbol.name == name: ...).
SymbolLookup find_symbol(const SymbolSource& source, PyObject* name);

// The symbol names of every table no longer than `longest`, for
// suggestions after a miss.
std::vector<std::string> symbol_names(const SymbolSource& source, size_t longest);

}  // namespace velk
