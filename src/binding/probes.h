// What the native cores compute, for the tests: _elf_probe(data), what the
// ELF reader reads of an ELF file's bytes, held against pyelftools on any
// file; _checksum(name, data, words), a checksum held against crcmod,
// zlib and hashlib.
#pragma once

#include "../python/handle.h"

namespace velk::binding {

// _elf_probe(data: bytes-like) -> (entry, elf64, little_endian, segments,
// symbols): segments as (p_type, p_offset, p_vaddr, p_paddr, p_filesz,
// p_memsz, p_flags, p_align), symbols as (table section index, name bytes,
// st_value, st_size, st_info, st_other, st_shndx). A file the reader
// refuses raises ValueError with its reason. METH_O.
PyObject* elf_probe(PyObject* module, PyObject* data) noexcept;

// _checksum(name, data, words, big_endian=False) -> int, or bytes for a
// digest: the checksum of the catalogue algorithm `name` (or a CRC's
// parameters) over `data` (bytes-like), a CRC fed words with `words`, the
// words of a sum big-endian with `big_endian`, SHA-256 from the binding's
// digest, so the tests can hold every row against crcmod, zlib and
// hashlib. An unknown name raises ValueError.
PyObject* checksum_probe(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept;

}  // namespace velk::binding
