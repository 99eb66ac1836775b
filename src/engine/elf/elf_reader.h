// Reading an ELF file's headers and symbol tables from its bytes: ELF32 and
// ELF64, either byte order. Every offset and count is checked against the
// file's size before anything is read; what cannot be read is a Fault whose
// text says why, for the caller to word into its error line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace velk::elf {

struct Bytes {
    const uint8_t* data;
    size_t size;
};

// What is wrong, worded to follow "cannot read it as an ELF file: ".
struct Fault {
    std::string why;
    // A header table the file is too short for: a file cut short or a
    // header that lies, not something another reader would read.
    bool damaged = false;
};

struct Header {
    bool elf64 = false;
    bool little_endian = true;
    uint16_t type = 0;
    uint16_t machine = 0;
    uint64_t entry = 0;
    uint64_t phoff = 0;
    uint64_t shoff = 0;
    uint16_t phentsize = 0;
    uint16_t shentsize = 0;
    // The real counts and index: under PN_XNUM, a zero e_shnum and
    // SHN_XINDEX they come from section header 0.
    uint64_t phnum = 0;
    uint64_t shnum = 0;
    uint64_t shstrndx = 0;
};

struct ProgramHeader {
    uint32_t type;
    uint32_t flags;
    uint64_t offset;
    uint64_t vaddr;
    uint64_t paddr;
    uint64_t filesz;
    uint64_t memsz;
    uint64_t align;
};

struct SectionHeader {
    uint32_t name;  // offset in the section-name string table
    uint32_t type;
    uint64_t flags;
    uint64_t addr;
    uint64_t offset;
    uint64_t size;
    uint32_t link;
    uint32_t info;
    uint64_t addralign;
    uint64_t entsize;
};

struct File {
    Header header;
    std::vector<ProgramHeader> segments;
    std::vector<SectionHeader> sections;
};

constexpr uint32_t pt_load = 1;
constexpr uint32_t pf_x = 1, pf_w = 2, pf_r = 4;
constexpr uint32_t sht_null = 0;
constexpr uint32_t sht_progbits = 1;
constexpr uint32_t sht_symtab = 2;
constexpr uint32_t sht_strtab = 3;
constexpr uint32_t sht_nobits = 8;
constexpr uint32_t sht_dynsym = 11;
constexpr uint32_t sht_sunw_ldynsym = 0x6FFFFFF3;  // Solaris' local dynamic symbols

// The section types that hold symbols, as every ELF reader takes them.
constexpr bool is_symbol_table(uint32_t type) {
    return type == sht_symtab || type == sht_dynsym || type == sht_sunw_ldynsym;
}
constexpr uint64_t shf_write = 1, shf_alloc = 2, shf_execinstr = 4;

// The ELF header, the program header table and the section header table.
std::variant<File, Fault> read_file(Bytes file);

struct Symbol {
    // NUL-terminated inside its string table (checked), any bytes.
    const char* name;
    uint64_t value;
    uint64_t size;
    uint8_t info;  // binding << 4 | type
    uint8_t other;
    uint16_t shndx;
};

class SymbolVisitor {
public:
    virtual ~SymbolVisitor() = default;
    // Before the symbols of each table: its index among the sections.
    virtual void table(size_t section) { (void)section; }
    virtual void symbol(const Symbol& symbol) = 0;
};

// Every symbol of every symbol table (SHT_SYMTAB, SHT_DYNSYM and
// SHT_SUNW_LDYNSYM), tables in section order, symbols in table order, entry 0 included. Every table is
// checked before the first symbol is visited: a table past the file's end,
// an entry size other than the class's (16 or 24 bytes), a linked section
// that is no string table in the file, or a name outside its string table
// or without its NUL there, is a Fault and nothing is visited; so are
// tables that together hold more bytes than the file (they overlap: read
// each, the work would grow with the square of the file). Returns the
// number of symbol tables.
std::variant<size_t, Fault> visit_symbols(const File& file, Bytes bytes,
                                          SymbolVisitor& visitor);

}  // namespace velk::elf
