// Process-wide state: made once by the start-up sequence, kept until exit.
#pragma once

#include <cstdint>

#include "entry.h"
#include "../../python/handle.h"

// Interned names and text literals, each made once at start-up.
// X(member, text)
#define VELK_CRC_TEXTS(X)                                                       \
    X(module_name, "VELK_CRC")                                                  \
    X(os, "os")                                                                 \
    X(os_path, "os.path")                                                       \
    X(struct_, "struct")                                                        \
    X(sys, "sys")                                                               \
    X(traceback, "traceback")                                                   \
    X(crcmod, "crcmod")                                                         \
    X(elftools_elf_elffile, "elftools.elf.elffile")                             \
    X(elftools_elf_sections, "elftools.elf.sections")                           \
    X(intelhex, "intelhex")                                                     \
    X(ELFFile, "ELFFile")                                                       \
    X(SymbolTableSection, "SymbolTableSection")                                 \
    X(IntelHex, "IntelHex")                                                     \
    X(calc_crc_mpeg2, "calc_crc_mpeg2")                                         \
    X(velk_crc_calc, "velk_crc_calc")                                           \
    X(usage, "usage")                                                           \
    X(runmain, "runmain")                                                       \
    X(dunder_name, "__name__")                                                  \
    X(dunder_main, "__main__")                                                  \
    X(dunder_test, "__test__")                                                  \
    X(name, "name")                                                             \
    X(print, "print")                                                           \
    X(open, "open")                                                             \
    X(enumerate, "enumerate")                                                   \
    X(range, "range")                                                           \
    /* parameters */                                                            \
    X(data, "data")                                                             \
    X(elffilename, "elffilename")                                               \
    X(varename, "varename")                                                     \
    X(crcaddr, "crcaddr")                                                       \
    X(crcblock, "crcblock")                                                     \
    X(str, "str")                                                               \
    /* CRC */                                                                   \
    X(mkCrcFun, "mkCrcFun")                                                     \
    X(initCrc, "initCrc")                                                       \
    X(rev, "rev")                                                               \
    X(xorOut, "xorOut")                                                         \
    /* ELF reading */                                                           \
    X(rb, "rb")                                                                 \
    X(print_exc, "print_exc")                                                   \
    X(header, "header")                                                         \
    X(e_entry, "e_entry")                                                       \
    X(iter_segments, "iter_segments")                                           \
    X(p_type, "p_type")                                                         \
    X(PT_LOAD, "PT_LOAD")                                                       \
    X(p_vaddr, "p_vaddr")                                                       \
    X(p_paddr, "p_paddr")                                                       \
    X(p_filesz, "p_filesz")                                                     \
    X(p_memsz, "p_memsz")                                                       \
    X(iter_sections, "iter_sections")                                           \
    X(iter_symbols, "iter_symbols")                                             \
    X(st_value, "st_value")                                                     \
    X(st_size, "st_size")                                                       \
    X(st_info, "st_info")                                                       \
    X(type, "type")                                                             \
    X(STT_FUNC, "STT_FUNC")                                                     \
    X(p_offset, "p_offset")                                                     \
    X(e_phoff, "e_phoff")                                                       \
    X(e_phentsize, "e_phentsize")                                               \
    X(num_segments, "num_segments")                                             \
    X(ELFParseError, "ELFParseError")                                           \
    X(elftools_exceptions, "elftools.common.exceptions")                        \
    X(sh_offset, "sh_offset")                                                   \
    X(sh_size, "sh_size")                                                       \
    X(sh_entsize, "sh_entsize")                                                 \
    X(stringtable, "stringtable")                                               \
    X(elfclass, "elfclass")                                                     \
    X(little_endian, "little_endian")                                           \
    X(StringTableSection, "StringTableSection")                                 \
    X(Symbol, "Symbol")                                                         \
    /* HEX output */                                                            \
    X(frombytes, "frombytes")                                                   \
    X(pack, "pack")                                                             \
    X(pack_format, "<I")                                                        \
    X(start_addr, "start_addr")                                                 \
    X(EIP, "EIP")                                                               \
    X(path, "path")                                                             \
    X(splitext, "splitext")                                                     \
    X(crc_hex_suffix, "_CRC.hex")                                               \
    X(write_hex_file, "write_hex_file")                                         \
    X(dunder_setitem, "__setitem__")                                            \
    X(write_start_addr, "write_start_addr")                                     \
    X(byte_count, "byte_count")                                                 \
    X(close, "close")                                                           \
    X(hex08, "08X")                                                             \
    X(file, "file")                                                             \
    /* command line */                                                          \
    X(argv, "argv")                                                             \
    X(exit, "exit")                                                             \
    X(startswith, "startswith")                                                 \
    X(dashdash, "--")                                                           \
    X(opt_n, "n")                                                               \
    X(opt_a, "a")                                                               \
    X(opt_s, "s")                                                               \
    X(VELK, "VELK")                                                             \
    X(empty, "")                                                                \
    /* report and refusal lines */                                              \
    X(msg_addr_not_multiple,                                                    \
      "input address is error, address must be Integral multiple of 4: "        \
      "\"%s\".")                                                                \
    X(msg_addr_error, "input address is error \"%s\".")                         \
    X(msg_block, "crc cal block: %d")                                           \
    X(msg_block_error, "input crcblock is error \"%s\".")                       \
    X(msg_no_request, "please Input crc calculate type and parameter")          \
    X(msg_no_entry, "elf error not have \"e_entry\" Address!")                  \
    X(msg_no_vaddr, "elf error not have \"p_vaddr\" Address!")                  \
    X(msg_segment_cut, "elf error \"p_filesz\" runs past the end of the file!") \
    X(msg_pad, "PAD %d byte 0xFF")                                              \
    X(msg_not_found, " is not found!")                                          \
    X(msg_below_load, " is below the load address!")                            \
    X(msg_created, "create new crc hex file \"%s\".")                           \
    X(rep_range, "checksum range:(0x")                                          \
    X(rep_tilde, "~0x")                                                         \
    X(rep_offset, ") checksum offset address:[0x")                              \
    X(rep_checksum, "] checksum: [0x")                                          \
    X(rep_close, "]")                                                           \
    X(usage_line1, "Usage:VELK_CRC  VELK elffile  --n[crcname]  --a[addr]")     \
    X(usage_line2, "--n crc variable name ")                                    \
    X(usage_line3, "--a crc offset address ")                                   \
    X(reason_short, ":parameters  less ")                                       \
    X(reason_mode, ": Must have VELK")                                          \
    X(reason_no_file, "elf file is None")

namespace velk {

struct Texts {
#define VELK_CRC_TEXT_MEMBER(member, text) PyObject* member;
    VELK_CRC_TEXTS(VELK_CRC_TEXT_MEMBER)
#undef VELK_CRC_TEXT_MEMBER
};

// Integer and slice constants used by the functions.
struct Constants {
    PyObject* zero;
    PyObject* one;
    PyObject* two;
    PyObject* three;
    PyObject* four;
    PyObject* ten;
    PyObject* sixteen;
    PyObject* byte_ff;
    PyObject* crc_init;  // 0xFFFFFFFF
    PyObject* crc_poly;  // 0x104C11DB7: 0x04C11DB7 with its x^32 term
    PyObject* minus_one;
    PyObject* slice_2_3;  // [2:3]: the option letter
    PyObject* slice_3_;   // [3:]: the option value
    // Keyword-name tuples of the calls that pass keywords.
    PyObject* crc_keywords;   // ("initCrc", "rev", "xorOut")
    PyObject* hex_keywords;   // ("write_start_addr", "byte_count")
    PyObject* file_keyword;   // ("file",)
    PyObject* calc_keywords;  // ("elffilename", "varename", "crcaddr", "crcblock")
};

struct State {
    PyObject* module = nullptr;  // the module the start-up ran on
    bool have_interp_id = false;
    int64_t interp_id = 0;
    PyObject* globals = nullptr;   // the module's dict (borrowed from module)
    PyObject* builtins = nullptr;  // the builtins module
    bool constants_made = false;
    Texts t{};
    Constants c{};
    // Fetched once: rebinding these in builtins later does not reach us.
    PyObject* print = nullptr;
    PyObject* open = nullptr;
    PyObject* enumerate = nullptr;
    PyObject* range = nullptr;
    PyObject* code_cache[static_cast<int>(Entry::count)] = {};
    // The package classes as start-up bound them, and the methods the HEX
    // container had then: a native step stands in for a package call only
    // while these are still the objects in use.
    struct Genuine {
        PyObject* ELFFile = nullptr;
        PyObject* SymbolTableSection = nullptr;
        PyObject* StringTableSection = nullptr;
        PyObject* Symbol = nullptr;
        PyObject* IntelHex = nullptr;
        PyObject* frombytes = nullptr;
        PyObject* setitem = nullptr;
        PyObject* write_hex_file = nullptr;
    } genuine;
};

extern State state;

// Interned names and constants; a no-op once they exist.
void make_constants();

// A module global at time of use: module dict, then builtins, else NameError.
Ref global(PyObject* name);

// print(text) through the builtin fetched at start-up.
void print(PyObject* text);

// print(text, file=sys.stderr), the runtime's sys.stderr at use; nothing
// when there is none.
void print_stderr(PyObject* text);

// Start-up steps on the module's dict (state.globals): a builtin fetched
// once (new reference; NameError when missing), an absolute import, a
// global bound, and `import a.b` binding the top-level package (`import a`
// the module itself) under `bound_as`.
PyObject* fetch_builtin(PyObject* name);
Ref import(PyObject* name, PyObject* fromlist);
void bind(PyObject* name, PyObject* value);
void import_module(PyObject* dotted, PyObject* bound_as);

// Whether the module global `name` is still `genuine`; looks it up at use
// like any other global, but a missing one is simply not genuine.
bool global_is(PyObject* name, PyObject* genuine);

}  // namespace velk
