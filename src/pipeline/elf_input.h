// The input of the command line's FLASH and CHECK modes: a file read once,
// and for an ELF file its program headers and loadable spans. Whatever
// cannot be read is a Refusal that says so.
#pragma once

#include <vector>

#include "../layout/file_data.h"
#include "../layout/file_kind.h"
#include "../report/refusal.h"
#include "symbols.h"

namespace velk {

// One program header as pyelftools reads it.
layout::ProgramHeader program_header(PyObject* segment);

// Whether the reader's program header table fits its file (see
// layout::header_table_fits); `why` says how it does not.
bool header_table_fits(PyObject* elf_file, uint64_t file_size, std::string& why);

// A file open for reading, every byte of it, and what it is.
struct InputFile {
    InputFile() = default;
    InputFile(InputFile&&) = default;
    InputFile& operator=(InputFile&&) = default;
    ~InputFile();

    Ref file;
    std::vector<uint8_t> bytes;
    layout::FileKind kind = layout::FileKind::other;
};

// Opens and reads `filename`; refuses a missing or unreadable file, a
// directory, a FIFO, socket or device.
InputFile read_input(PyObject* filename);

struct ElfBuild {
    InputFile input;
    Ref elf_file;  // ELFFile(file)
    bool genuine_reader = false;
    Ref entry;  // e_entry
    std::vector<layout::ProgramHeader> headers;
    layout::Loadable loadable;

    SymbolSource symbols() const {
        return {elf_file.get(), input.file.get(), genuine_reader};
    }
    const uint8_t* bytes() const { return input.bytes.data(); }
};

// The ELF reading of an input that is an ELF file: refuses what pyelftools
// cannot read, an entry point that is missing and a layout that cannot be
// made (contents past the file's end, segments that overlap, none loadable).
ElfBuild read_elf(InputFile input);

// Throws the refusal for the pending Exception a package raised while
// reading `what` ("it as an ELF file"), which is taken.
[[noreturn]] void refuse_package_error(const char* what);

// Throws the refusal "<doing>: <the pending exception>", which is taken.
[[noreturn]] void refuse_exception(const char* doing);

// Runs a reading step; an Exception the packages raise in it becomes a
// refusal naming it.
template <class Step>
auto reading(const char* what, Step&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        refuse_package_error(what);
    }
}

}  // namespace velk
