"""A small ELF writer for the layouts a toolchain will not produce on demand.

Only what the checksum tool reads is modelled: the ELF header, program
headers with their contents, and symbol tables with a string table.
"""

import struct
from dataclasses import dataclass, field

PT_NULL, PT_LOAD, PT_NOTE, PT_PHDR = 0, 1, 4, 6
PT_ARM_EXIDX = 0x70000001
SHT_PROGBITS, SHT_SYMTAB, SHT_STRTAB, SHT_DYNSYM = 1, 2, 3, 11
SHF_WRITE, SHF_ALLOC, SHF_EXECINSTR = 1, 2, 4
EM_ARM = 40
STT_OBJECT, STT_FUNC = 1, 2


@dataclass
class Segment:
    vaddr: int
    data: bytes = b""
    type: int = PT_LOAD
    paddr: int | None = None
    memsz: int | None = None   # default: len(data)
    filesz: int | None = None  # default: len(data); may claim more than data
    offset: int | None = None  # default: where the writer puts data
    section: str | None = None  # a section header over the contents, by that name
    # (start, end) of data that section covers, where the linker would leave
    # padding around it; default: all of the contents
    section_bytes: tuple | None = None
    # p_flags; default R+X, or R+W for contents loaded elsewhere than they
    # run (.data's initial values)
    flags: int | None = None


@dataclass
class Elf:
    segments: list = field(default_factory=list)
    # (name, value) or (name, value, size, type) in table order
    symbols: list = field(default_factory=list)
    second_symtab: list | None = None            # a .dynsym after .symtab
    entry: int = 0
    bits: int = 32
    endian: str = "<"
    machine: int = EM_ARM
    strtab_link: int | None = None  # override the symbol table's sh_link

    def build(self) -> bytes:
        e = self.endian
        wide = self.bits == 64
        ehsize, phentsize, shentsize = (64, 56, 64) if wide else (52, 32, 40)
        out = bytearray(ehsize + phentsize * len(self.segments))
        placed = []
        for seg in self.segments:
            while len(out) % 4:
                out.append(0)
            placed.append(len(out))
            out += seg.data

        strtab = bytearray(b"\0")

        def name_index(name):
            if name == "":
                return 0
            idx = len(strtab)
            strtab.extend(name.encode() + b"\0")
            return idx

        def symtab_bytes(symbols):
            table = bytearray(b"\0" * (24 if wide else 16))  # the null symbol
            for name, value, *rest in symbols:
                n = name_index(name)
                size, kind = rest if rest else (4, STT_OBJECT)
                info = 0x10 | kind  # global
                if wide:
                    table += struct.pack(e + "IBBHQQ", n, info, 0, 1, value, size)
                else:
                    table += struct.pack(e + "IIIBBH", n, value, size, info, 0, 1)
            return bytes(table)

        tables = [(".symtab", SHT_SYMTAB, symtab_bytes(self.symbols))]
        if self.second_symtab is not None:
            tables.append((".dynsym", SHT_DYNSYM, symtab_bytes(self.second_symtab)))
        shstrtab = bytearray(b"\0")
        # (name_off, type, flags, addr, offset, size, link, entsize)
        sections = []

        def add_section(name, sh_type, body, link=0, entsize=0):
            while len(out) % 4:
                out.append(0)
            name_off = len(shstrtab)
            shstrtab.extend(name.encode() + b"\0")
            sections.append((name_off, sh_type, 0, 0, len(out), len(body), link, entsize))
            out.extend(body)

        for seg, off in zip(self.segments, placed):
            if seg.section is None:
                continue
            name_off = len(shstrtab)
            shstrtab.extend(seg.section.encode() + b"\0")
            # A section ends where the segment's memory does.
            size = len(seg.data) if seg.memsz is None else min(len(seg.data), seg.memsz)
            start, end = seg.section_bytes or (0, size)
            sections.append((name_off, SHT_PROGBITS, SHF_ALLOC | SHF_WRITE | SHF_EXECINSTR,
                             seg.vaddr + start,
                             (off if seg.offset is None else seg.offset) + start,
                             end - start, 0, 0))
        strtab_index = 1 + len(sections) + len(tables)
        link = strtab_index if self.strtab_link is None else self.strtab_link
        for name, sh_type, body in tables:
            add_section(name, sh_type, body, link, 24 if wide else 16)
        add_section(".strtab", SHT_STRTAB, bytes(strtab))
        shstrtab_index = len(sections) + 1
        name_off = len(shstrtab)
        shstrtab.extend(b".shstrtab\0")
        while len(out) % 4:
            out.append(0)
        sections.append((name_off, SHT_STRTAB, 0, 0, len(out), len(shstrtab), 0, 0))
        out.extend(shstrtab)

        while len(out) % 8:
            out.append(0)
        shoff = len(out)
        out += b"\0" * shentsize  # the null section
        for name_off, sh_type, flags, addr, off, size, lk, entsize in sections:
            info = 1 if sh_type in (SHT_SYMTAB, SHT_DYNSYM) else 0
            if wide:
                out += struct.pack(e + "IIQQQQIIQQ", name_off, sh_type, flags, addr, off,
                                   size, lk, info, 8, entsize)
            else:
                out += struct.pack(e + "IIIIIIIIII", name_off, sh_type, flags, addr, off,
                                   size, lk, info, 4, entsize)

        ident = b"\x7fELF" + bytes([2 if wide else 1, 1 if e == "<" else 2, 1])
        ident += b"\0" * (16 - len(ident))
        phoff = ehsize if self.segments else 0
        fmt = e + ("HHIQQQIHHHHHH" if wide else "HHIIIIIHHHHHH")
        header = ident + struct.pack(
            fmt, 2, self.machine, 1, self.entry, phoff, shoff, 0, ehsize,
            phentsize, len(self.segments), shentsize, len(sections) + 1,
            shstrtab_index)
        out[:ehsize] = header

        for i, (seg, off) in enumerate(zip(self.segments, placed)):
            filesz = len(seg.data) if seg.filesz is None else seg.filesz
            memsz = len(seg.data) if seg.memsz is None else seg.memsz
            paddr = seg.vaddr if seg.paddr is None else seg.paddr
            offset = off if seg.offset is None else seg.offset
            flags = seg.flags if seg.flags is not None else 5 if paddr == seg.vaddr else 6
            if wide:
                ph = struct.pack(e + "IIQQQQQQ", seg.type, flags, offset, seg.vaddr,
                                 paddr, filesz, memsz, 4)
            else:
                ph = struct.pack(e + "IIIIIIII", seg.type, offset, seg.vaddr,
                                 paddr, filesz, memsz, flags, 4)
            start = ehsize + i * phentsize
            out[start:start + phentsize] = ph
        return bytes(out)

    def write(self, path) -> str:
        with open(path, "wb") as f:
            f.write(self.build())
        return str(path)
