// velk_crc_calc: the stages from a checksum request to the written HEX file.
#pragma once

#include <string>

#include "../module/calls.h"
#include "../module/ops.h"

namespace velk {

// The locals of one velk_crc_calc call, shared by its stages.
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

    // Loadable contents that the HEX leaves out, reported on stderr.
    int left_out_segments = 0;
    unsigned long long left_out_bytes = 0;
    std::string left_out_addresses;

    bool name_mode() const { return varename != Py_None; }
    bool address_mode() const { return !name_mode() && crcaddr != Py_None; }
};

// Each stage returns false after printing its refusal line.
bool check_request(CalcLocals& l);
bool assemble_image(CalcLocals& l);
bool locate_checksum(CalcLocals& l);
void write_hex(CalcLocals& l);

// Prints the "PAD" line with `reported` and appends `count` bytes of 0xFF
// to the image (none when count is not positive).
void pad_image(Ref& databuf, PyObject* reported, PyObject* count);

}  // namespace velk
