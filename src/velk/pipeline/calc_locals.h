// The locals of one velk_crc_calc call, shared by its stages.
#pragma once

#include <cstdint>
#include <vector>

#include "../../engine/layout/flash_layout.h"
#include "../module/ops.h"
#include "symbols.h"

namespace velk {

struct CalcLocals {
    CalcLocals(PyObject* elffilename_, PyObject* varename_, PyObject* crcaddr_,
               PyObject* crcblock_)
        : elffilename(elffilename_),
          varename(varename_),
          crcaddr(crcaddr_),
          crcblock_arg(crcblock_),
          crcblock(Ref::share(crcblock_)) {}

    // The arguments, borrowed from the call.
    PyObject* elffilename;
    PyObject* varename;
    PyObject* crcaddr;
    PyObject* crcblock_arg;  // the block size as passed, for its error line
    Ref crcblock;            // block mode: the converted block size

    Ref crcoffsetaddr;  // the checksum's offset from loadaddr
    Ref ihex;           // the HEX container
    Ref file;           // the open ELF file
    Ref elf_file;       // the ELF reader over it
    Ref entryaddr;      // ELF header e_entry
    Ref loadaddr;       // p_vaddr of the image segment
    Ref seg_size;       // min(p_filesz, p_memsz) of the image segment
    Ref databuf;        // the memory image, padding included

    // What the stages learn beyond the call's own locals, for the warnings.
    // The reader is pyelftools' own ELFFile: its program headers and
    // symbols may be read beyond what the stages need.
    bool genuine_reader = false;
    std::vector<layout::ProgramHeader> headers;  // every program header (genuine reader)
    size_t image_segment = 0;                    // the header the image is read from
    SymbolLookup symbol;                         // name mode
    uint64_t padding = 0;                        // 0xFF bytes appended, both stages

    bool name_mode() const { return varename != Py_None; }
    SymbolSource symbols() const { return {elf_file.get(), file.get(), genuine_reader}; }
};

// A refusal or a failure still closes the ELF file, rather than leaving it
// to the collector; any pending exception is kept as it is.
class ElfFileCloser {
public:
    explicit ElfFileCloser(CalcLocals& l) : l_(l) {}
    ElfFileCloser(const ElfFileCloser&) = delete;
    ElfFileCloser& operator=(const ElfFileCloser&) = delete;
    ~ElfFileCloser();

private:
    CalcLocals& l_;
};

// Prints the "PAD" line with `reported` and appends `count` bytes of 0xFF
// to the image (none when count is not positive).
void pad_image(CalcLocals& l, PyObject* reported, PyObject* count);

}  // namespace velk
