// velk_crc_calc: the stages from a checksum request to the written HEX file.
#pragma once

#include <cstdint>
#include <vector>

#include "../elfsyms/symbol_scan.h"
#include "../module/calls.h"
#include "../module/ops.h"

namespace velk {

// One program header as the ELF reader gives it.
struct SegmentInfo {
    bool loadable;  // PT_LOAD
    uint64_t offset, vaddr, paddr, filesz, memsz;

    bool has_contents() const { return loadable && filesz != 0; }
    // The bytes the image takes from it: its file contents, cut to memsz.
    uint64_t size() const { return filesz < memsz ? filesz : memsz; }
};

// What the symbol scan learnt beyond the value, for the diagnostics.
struct SymbolFacts {
    bool known = false;  // false when a caller's reader gave the symbols
    elfsyms::Matches matches;
};

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

    // The reader is pyelftools' own ELFFile: its program headers and
    // symbols may be read beyond what the stages need, for the diagnostics.
    bool genuine_reader = false;
    std::vector<SegmentInfo> segments;  // every program header (genuine reader)
    std::vector<size_t> in_image;       // the segments the image is made of
    SymbolFacts symbol;                 // name mode
    uint64_t slot_value = 0;            // name mode: the symbol's st_value,
    bool slot_known = false;            // when it fits 64 bits
    uint64_t padding = 0;               // 0xFF bytes appended, both stages
    bool flash = false;                 // FLASH mode: the physical flash image
    bool quiet = false;                 // CHECK mode: no PAD lines

    // The traceback entry of a handled open failure.
    Entry entry = Entry::velk_crc_calc;

    bool name_mode() const { return varename != Py_None; }
    bool address_mode() const { return !name_mode() && crcaddr != Py_None; }
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

// Each stage returns false after printing its refusal line.
bool check_request(CalcLocals& l);
bool assemble_image(CalcLocals& l);
bool locate_checksum(CalcLocals& l);
void write_hex(CalcLocals& l);

// Prints the "PAD" line with `reported` and appends `count` bytes of 0xFF
// to the image (none when count is not positive).
void pad_image(CalcLocals& l, PyObject* reported, PyObject* count);

// Address and block mode: fills the image up to the checksum offset with
// 0xFF, printing the PAD line.
void pad_to_offset(CalcLocals& l);

// The value of the last symbol named varename over every symbol table,
// or an empty Ref; fills l.symbol.
Ref find_symbol_value(CalcLocals& l);

// Shared by the command line's FLASH and CHECK modes.
bool open_elf(CalcLocals& l);
// elf_file = ELFFile(file), entryaddr = elf_file.header["e_entry"]; false
// after the missing-entry refusal.
bool read_elf_header(CalcLocals& l);
SegmentInfo read_header(PyObject* segment);
uint64_t file_size(PyObject* file);
// Up to `length` bytes of the open file at `offset`, fewer where it ends;
// the file's position is not moved (pyelftools seeks for itself).
std::vector<uint8_t> read_file_at(PyObject* file, uint64_t offset, uint64_t length);
// calc_crc_mpeg2(databuf[0:crcoffsetaddr])
Ref compute_checksum(CalcLocals& l);
// list(struct.pack("<I", checksum))
Ref checksum_record(PyObject* checksum);
// os.path.splitext(elffilename)[0] + suffix
Ref output_name(PyObject* elffilename, PyObject* suffix);
// The two report lines.
void report(CalcLocals& l, PyObject* filename_new, PyObject* checksum);

// The warnings on standard error that follow the report lines.
void warn_about_layout(CalcLocals& l);

// An integer the ELF reader gave as an address or size.
uint64_t as_u64(PyObject* value);

// Whether `value` is an int from 0 to 2**64 - 1, and which: for reasoning
// about a layout that a caller's objects may have made unusual.
bool fits_u64(PyObject* value, uint64_t& out);

}  // namespace velk
