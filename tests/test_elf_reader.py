"""The native ELF reader reads what pyelftools reads of a firmware file: the
entry point, the class and byte order, every program header, every symbol of
every symbol table. Where the two part, one refuses a file for a reason this
test sees in the bytes itself: a lying count, an entry size or a name that
pyelftools reads anyway, or a section pyelftools interprets and we never
read."""

import glob
import io
import itertools
import os
import random
import struct
import zlib
from dataclasses import dataclass

import pytest
from elftools.common.exceptions import ELFError
from elftools.elf.elffile import ELFFile
from elftools.elf.sections import SymbolTableSection

from elfwriter import Elf, Segment

core = pytest.importorskip(
    "velk_crc._core", reason="velk_crc._core is not built: the ELF probe comes with it")

HERE = os.path.dirname(os.path.abspath(__file__))
FIRMWARE = sorted(glob.glob(os.path.join(HERE, "data", "*.elf"))) + sorted(
    glob.glob(os.path.join(HERE, "..", "examples", "*.elf")))

SHT_STRTAB, SHT_SYMTAB, SHT_DYNSYM, SHT_NOBITS = 3, 2, 11, 8
PT_DYNAMIC = 2
PN_XNUM = SHN_XINDEX = 0xFFFF


# --- the test's own reading of the bytes -------------------------------------

@dataclass(frozen=True)
class Class:
    name: str
    ehsize: int
    header: str  # e_type .. e_shstrndx, from offset 16
    phdr: str
    phdr_fields: tuple
    shdr: str
    sym: str
    sym_fields: tuple


SHDR_FIELDS = ("sh_name", "sh_type", "sh_flags", "sh_addr", "sh_offset", "sh_size",
               "sh_link", "sh_info", "sh_addralign", "sh_entsize")
HEADER_FIELDS = ("e_type", "e_machine", "e_version", "e_entry", "e_phoff", "e_shoff",
                 "e_flags", "e_ehsize", "e_phentsize", "e_phnum", "e_shentsize",
                 "e_shnum", "e_shstrndx")
ELF32 = Class("ELF32", 52, "HHIIIIIHHHHHH", "IIIIIIII",
              ("p_type", "p_offset", "p_vaddr", "p_paddr", "p_filesz", "p_memsz",
               "p_flags", "p_align"),
              "IIIIIIIIII", "IIIBBH",
              ("st_name", "st_value", "st_size", "st_info", "st_other", "st_shndx"))
ELF64 = Class("ELF64", 64, "HHIQQQIHHHHHH", "IIQQQQQQ",
              ("p_type", "p_flags", "p_offset", "p_vaddr", "p_paddr", "p_filesz",
               "p_memsz", "p_align"),
              "IIQQQQIIQQ", "IBBHQQ",
              ("st_name", "st_info", "st_other", "st_shndx", "st_value", "st_size"))


class Raw:
    """Header, section and symbol fields as the bytes hold them, read and
    written by the test with struct, whatever they claim."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.cls = ELF64 if data[4] == 2 else ELF32
        self.end = "<" if data[5] == 1 else ">"

    def size(self, fmt):
        return struct.calcsize(self.end + fmt)

    def _field(self, fmt, names, base, name):
        at = base + self.size(fmt[:names.index(name)])
        return self.end + fmt[names.index(name)], at

    def get(self, name):
        return struct.unpack_from(*self._field(self.cls.header, HEADER_FIELDS, 16, name)[::-1]
                                  if False else (self._field(self.cls.header, HEADER_FIELDS,
                                                             16, name)[0], self.data,
                                                 self._field(self.cls.header, HEADER_FIELDS,
                                                             16, name)[1]))[0]
