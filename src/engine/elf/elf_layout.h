// Where the fields of ELF's records sit, one table per class: what the
// reader decodes and the section-table writer encodes, byte order aside.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::elf {

// Where a field sits in its record and how wide it is.
struct Field {
    uint8_t at;
    uint8_t width;
};

// The records of one class: the only thing ELF32 and ELF64 differ in here.
struct Layout {
    const char* name;
    size_t header_size;
    Field entry, phoff, shoff, phentsize, phnum, shentsize, shnum, shstrndx;
    size_t phdr_size;
    Field p_type, p_flags, p_offset, p_vaddr, p_paddr, p_filesz, p_memsz, p_align;
    size_t shdr_size;
    Field sh_name, sh_type, sh_flags, sh_addr, sh_offset, sh_size, sh_link, sh_info,
        sh_addralign, sh_entsize;
    size_t sym_size;
    Field st_name, st_value, st_size, st_info, st_other, st_shndx;
};

// One row per record: the ELF header, a program header, a section header,
// a symbol, each with its size first.
// clang-format off
inline constexpr Layout elf32{
    "ELF32",
    52, {24, 4}, {28, 4}, {32, 4}, {42, 2}, {44, 2}, {46, 2}, {48, 2}, {50, 2},
    32, {0, 4}, {24, 4}, {4, 4}, {8, 4}, {12, 4}, {16, 4}, {20, 4}, {28, 4},
    40, {0, 4}, {4, 4}, {8, 4}, {12, 4}, {16, 4}, {20, 4}, {24, 4}, {28, 4}, {32, 4}, {36, 4},
    16, {0, 4}, {4, 4}, {8, 4}, {12, 1}, {13, 1}, {14, 2},
};

inline constexpr Layout elf64{
    "ELF64",
    64, {24, 8}, {32, 8}, {40, 8}, {54, 2}, {56, 2}, {58, 2}, {60, 2}, {62, 2},
    56, {0, 4}, {4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}, {40, 8}, {48, 8},
    64, {0, 4}, {4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}, {40, 4}, {44, 4}, {48, 8}, {56, 8},
    24, {0, 4}, {8, 8}, {16, 8}, {4, 1}, {5, 1}, {6, 2},
};
// clang-format on

inline constexpr const Layout& layout_of(bool is_elf64) {
    return is_elf64 ? elf64 : elf32;
}

// Section counts and indexes from SHN_LORESERVE up do not fit the ELF
// header: it says SHN_XINDEX (or a count of 0) and section header 0 holds
// the real value.
inline constexpr uint64_t shn_loreserve = 0xFF00;
inline constexpr uint64_t shn_xindex = 0xFFFF;
// Likewise a program header count of PN_XNUM or more.
inline constexpr uint64_t pn_xnum = 0xFFFF;

}  // namespace velk::elf
