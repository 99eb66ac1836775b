// _elf_probe(data): what the native ELF reader reads of an ELF file's
// bytes, so the tests can hold it against pyelftools on any file.
#pragma once

#include "../module/handle.h"

namespace velk {

// _elf_probe(data: bytes-like) -> (entry, elf64, little_endian, segments,
// symbols): segments as (p_type, p_offset, p_vaddr, p_paddr, p_filesz,
// p_memsz, p_flags, p_align), symbols as (table section index, name bytes,
// st_value, st_size, st_info, st_other, st_shndx). A file the reader
// refuses raises ValueError with its reason. METH_O.
PyObject* elf_probe(PyObject* module, PyObject* data) noexcept;

}  // namespace velk
