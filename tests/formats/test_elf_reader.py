"""The native ELF reader reads what pyelftools reads of a firmware file (entry
point, class, byte order, program headers, every symbol of every symbol table).
Where they part, one refuses for a reason this test sees in the bytes: a count,
entry size or name pyelftools reads anyway, or a section it alone interprets."""

import glob
import io
import os
import random
import struct
import zlib
from collections import namedtuple
from dataclasses import dataclass
from pathlib import Path

import pytest
from elftools.common.exceptions import ELFError
from elftools.elf.elffile import ELFFile
from elftools.elf.sections import SymbolTableSection

from elfwriter import Elf, Segment

core = pytest.importorskip(
    "velk_crc._core", reason="velk_crc._core is not built: the ELF probe comes with it")

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIRMWARE = sorted(glob.glob(os.path.join(HERE, "data", "*.elf"))) + sorted(
    glob.glob(os.path.join(HERE, "..", "examples", "*.elf")))

PT_DYNAMIC = 2
SHT_SYMTAB, SHT_STRTAB, SHT_NOBITS, SHT_DYNSYM = 2, 3, 8, 11
SHT_SUNW_LDYNSYM = 0x6FFFFFF3
SYMBOL_TABLES = (SHT_SYMTAB, SHT_DYNSYM, SHT_SUNW_LDYNSYM)
SHF_COMPRESSED = 0x800
PN_XNUM = SHN_XINDEX = 0xFFFF
# Section kinds whose constructor in pyelftools reads the contents or checks
# the links (relocations, dynamic, hash and version tables, Solaris symbol
# tables); besides them every kind kept for processors (ARM attributes).
INTERPRETED = {4, 5, 6, 9, 19, 0x6FFFFFF3, 0x6FFFFFF6, 0x6FFFFFFC, 0x6FFFFFFD,
               0x6FFFFFFE, 0x6FFFFFFF}
# pyelftools keeps only the visibility and the top three bits of st_other.
ST_OTHER_KEPT = 0xE7


# --- the test's own reading of the bytes -------------------------------------

@dataclass(frozen=True)
class Class:
    name: str
    header: str  # e_type .. e_shstrndx, from offset 16
    phdr: str
    phdr_fields: tuple
    shdr: str
    sym: str
    sym_fields: tuple
    ehsize = property(lambda self: 16 + struct.calcsize("<" + self.header))
    phsize = property(lambda self: struct.calcsize("<" + self.phdr))
    shsize = property(lambda self: struct.calcsize("<" + self.shdr))
    symsize = property(lambda self: struct.calcsize("<" + self.sym))


HEADER_FIELDS = ("e_type", "e_machine", "e_version", "e_entry", "e_phoff", "e_shoff",
                 "e_flags", "e_ehsize", "e_phentsize", "e_phnum", "e_shentsize",
                 "e_shnum", "e_shstrndx")
SHDR_FIELDS = ("sh_name", "sh_type", "sh_flags", "sh_addr", "sh_offset", "sh_size",
               "sh_link", "sh_info", "sh_addralign", "sh_entsize")
# The order of the probe's segment tuples, and of ELF32's program headers.
PROBE_PHDR = ("p_type", "p_offset", "p_vaddr", "p_paddr", "p_filesz", "p_memsz",
              "p_flags", "p_align")
ELF32 = Class("ELF32", "HHIIIIIHHHHHH", "IIIIIIII", PROBE_PHDR, "IIIIIIIIII", "IIIBBH",
              ("st_name", "st_value", "st_size", "st_info", "st_other", "st_shndx"))
ELF64 = Class("ELF64", "HHIQQQIHHHHHH", "IIQQQQQQ",
              ("p_type", "p_flags", "p_offset", "p_vaddr", "p_paddr", "p_filesz",
               "p_memsz", "p_align"),
              "IIQQQQIIQQ", "IBBHQQ",
              ("st_name", "st_info", "st_other", "st_shndx", "st_value", "st_size"))


class Raw:
    """Header, section and symbol fields as the bytes hold them, read (or,
    given a value, written) by the test with struct, whatever they claim."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.cls = ELF64 if data[4] == 2 else ELF32
        self.end = "<" if data[5] == 1 else ">"

    def fits(self, offset, length):
        return offset + length <= len(self.data)

    def field(self, fmt, names, base, name, value=None):
        i = names.index(name)
        code, at = self.end + fmt[i], base + struct.calcsize(self.end + fmt[:i])
        if value is None:
            return struct.unpack_from(code, self.data, at)[0]
        struct.pack_into(code, self.data, at, value)

    def header(self, name, value=None):
        return self.field(self.cls.header, HEADER_FIELDS, 16, name, value)

    def section_at(self, index):
        return self.header("e_shoff") + index * self.header("e_shentsize")

    def section(self, index, name, value=None):
        return self.field(self.cls.shdr, SHDR_FIELDS, self.section_at(index), name, value)

    def section_fits(self, index):
        return self.fits(self.section_at(index), self.cls.shsize)

    def segment_at(self, index):
        return self.header("e_phoff") + index * self.header("e_phentsize")

    def segment(self, index, name):
        return self.field(self.cls.phdr, self.cls.phdr_fields, self.segment_at(index), name)

    def symbol_at(self, table, n):
        return self.section(table, "sh_offset") + n * self.cls.symsize

    def symbol(self, table, n, name, value=None):
        return self.field(self.cls.sym, self.cls.sym_fields, self.symbol_at(table, n), name,
                          value)

    def index_of(self, sh_type):
        return next(i for i in range(self.counts()[1])
                    if self.section(i, "sh_type") == sh_type)

    def top(self):
        """The largest address or offset of the class."""
        return (1 << (32 if self.cls is ELF32 else 64)) - 1

    def symtab(self):
        return self.index_of(SHT_SYMTAB)

    def strtab(self):
        return self.section(self.symtab(), "sh_link")

    def counts(self):
        """(program headers, sections, section-name table) as the header and
        section header 0 tell them; None where section 0 is missing."""
        phnum, shnum = self.header("e_phnum"), self.header("e_shnum")
        shstrndx, shoff = self.header("e_shstrndx"), self.header("e_shoff")
        if shoff == 0:
            return (None if phnum == PN_XNUM else phnum), 0, None
        zero = self.header("e_shentsize") >= self.cls.shsize and self.section_fits(0)
        if phnum == PN_XNUM:
            phnum = self.section(0, "sh_info") if zero else None
        if shnum == 0:
            shnum = self.section(0, "sh_size") if zero else None
        if shstrndx == SHN_XINDEX:
            shstrndx = self.section(0, "sh_link") if zero else None
        return phnum, shnum, shstrndx


def documented_refusals(data):
    """Why the reader may refuse a file that pyelftools reads, as the test
    sees it in the bytes; empty when it has no such reason."""
    if len(data) < 6 or data[:4] != b"\x7fELF" or data[4] not in (1, 2) \
            or data[5] not in (1, 2):
        return []
    raw = Raw(data)
    cls, why = raw.cls, []
    if len(data) < cls.ehsize:
        return []
    phnum, shnum, _ = raw.counts()
    if phnum is None:
        # pyelftools takes the count from whatever it finds at offset 0.
        return ["PN_XNUM without a section header 0"]
    phentsize, shentsize = raw.header("e_phentsize"), raw.header("e_shentsize")
    if phnum and phentsize < cls.phsize:
        # pyelftools checks the size only when e_phoff is not 0.
        why.append("program headers smaller than the class's")
    elif phnum and not raw.fits(raw.segment_at(0), phnum * phentsize) \
            and raw.fits(raw.segment_at(phnum - 1), cls.phsize):
        why.append("the last program header's padding runs past the end")
    if not shnum or shentsize < cls.shsize:
        return why
    if not raw.fits(raw.section_at(0), shnum * shentsize):
        if raw.section_fits(shnum - 1):
            why.append("the last section header's padding runs past the end")
        return why
    tables = [i for i in range(shnum) if raw.section(i, "sh_type") in SYMBOL_TABLES]
    if sum(raw.section(i, "sh_size") for i in tables) > len(raw.data):
        why.append("symbol tables over the same bytes")
    for i in tables:
        entsize, size = raw.section(i, "sh_entsize"), raw.section(i, "sh_size")
        offset, link = raw.section(i, "sh_offset"), raw.section(i, "sh_link")
        if entsize != cls.symsize:
            why.append("a symbol table with entries of %d bytes" % entsize)
        elif size % cls.symsize:
            why.append("a symbol table of no whole number of entries")
        elif link >= shnum:
            why.append("a string-table link past the section header table")
        elif raw.section(link, "sh_type") != SHT_STRTAB:
            why.append("a string-table link to a section of another kind")
        else:
            str_offset, str_size = raw.section(link, "sh_offset"), raw.section(link, "sh_size")
            if str_size and not raw.fits(str_offset, str_size):
                why.append("a string table past the end of the file")
            elif size and raw.fits(offset, size):
                strings = raw.data[str_offset:str_offset + str_size]
                for n in range(size // cls.symsize):
                    name = raw.symbol(i, n, "st_name")
                    if name >= str_size:
                        why.append("a name past its string table")
                    elif strings.find(0, name) < 0:
                        why.append("a name without its NUL in its string table")
    return why


# --- pyelftools' reading ----------------------------------------------------

# stage: "header", "segment count", "segment", "section" or "symbols"
Refused = namedtuple("Refused", "stage index error")


def read_with_pyelftools(data):
    """The probe's tuple as pyelftools reads the file, or where it refused.
    Its parsed records are built back into bytes by pyelftools and unpacked
    here, so enum names turn back into the numbers they stand for."""
    stage, index = "header", 0

    def unpacked(fmt, names, built):
        return dict(zip(names, struct.unpack(raw.end + fmt, built)))

    try:
        elf = ELFFile(io.BytesIO(bytes(data)))
        raw = Raw(data)
        stage = "segment count"
        count = elf.num_segments()
        segments, symbols = [], []
        stage = "segment"
        for index in range(count):
            fields = unpacked(raw.cls.phdr, raw.cls.phdr_fields,
                              elf.structs.Elf_Phdr.build(elf.get_segment(index).header))
            segments.append(tuple(fields[f] for f in PROBE_PHDR))
        for index in range(elf.num_sections()):
            stage = "section"
            section = elf.get_section(index)
            if not isinstance(section, SymbolTableSection) or \
                    section["sh_type"] not in ("SHT_SYMTAB", "SHT_DYNSYM"):
                continue
            stage = "symbols"
            for symbol in section.iter_symbols():
                f = unpacked(raw.cls.sym, raw.cls.sym_fields,
                             elf.structs.Elf_Sym.build(symbol.entry))
                symbols.append((index, symbol.name, f["st_value"], f["st_size"],
                                f["st_info"], f["st_other"], f["st_shndx"]))
        return elf["e_entry"], elf.elfclass == 64, elf.little_endian, segments, symbols
    except (ELFError, OverflowError) as error:
        return Refused(stage, index, error)


def interpreted_section(raw, index):
    """Whether pyelftools reads or checks this section's contents or links
    when it makes the section object, where the reader only needs symbols."""
    if not raw.section_fits(index):
        return False
    sh_type = raw.section(index, "sh_type")
    return (sh_type in INTERPRETED or 0x70000000 <= sh_type <= 0x7FFFFFFF
            or bool(raw.section(index, "sh_flags") & SHF_COMPRESSED))


def pyelftools_refusal_reason(data, refused):
    """Why pyelftools may refuse a file the reader reads, as the test sees
    it in the bytes; None when it has no such reason."""
    raw, (stage, index, _) = Raw(data), refused
    if stage == "segment" and raw.segment(index, "p_type") == PT_DYNAMIC:
        return "pyelftools interprets a PT_DYNAMIC segment and the sections it links"
    if stage == "segment count":
        stage, index = "section", 0  # made to read sh_info
    if stage == "section":
        # pyelftools names every section it makes from the section-name
        # table, whose header must be in the file and which it reads as a
        # compressed section when its flags say so; the reader needs no name.
        _, _, shstrndx = raw.counts()
        if (shstrndx is None or not raw.section_fits(shstrndx)
                or interpreted_section(raw, shstrndx)):
            return "pyelftools names sections from a table it cannot read"
        if interpreted_section(raw, index):
            return "pyelftools interprets section %d" % index
    return None


def check_against_pyelftools(data):
    """One file through both readers; returns how it ended."""
    try:
        ours = core._elf_probe(data)
    except ValueError as refusal:
        assert "\n" not in str(refusal)
        if documented_refusals(data):
            return "documented refusal"
        assert isinstance(read_with_pyelftools(data), Refused), \
            f"refused for no documented reason ({refusal}) what pyelftools reads"
        return "both refuse"
    # Each documented reason is one the reader must refuse for.
    assert not documented_refusals(data), "read a file it should refuse"
    theirs = read_with_pyelftools(data)
    if isinstance(theirs, Refused):
        assert pyelftools_refusal_reason(data, theirs), \
            f"pyelftools refused ({theirs}) for no reason the test can see"
        return "pyelftools refuses"
    # pyelftools decodes names as UTF-8 with replacement characters and
    # drops the two unnamed bits of st_other.
    entry, elf64, little, segments, symbols = ours
    assert (entry, elf64, little, segments, [
        (table, name.decode("utf-8", errors="replace"), value, size, info,
         other & ST_OTHER_KEPT, shndx)
        for table, name, value, size, info, other, shndx in symbols]) == theirs
    # A name pyelftools decoded without loss is the same bytes.
    for (_, name, *_), (_, text, *_) in zip(symbols, theirs[4]):
        if "\ufffd" not in text:
            assert text.encode("utf-8") == name
    return "same"


# --- the files ---------------------------------------------------------------

FORMATS = [pytest.param(bits, endian, id="elf%d-%s" % (bits, "le" if endian == "<" else "be"))
           for bits in (32, 64) for endian in ("<", ">")]


def small_elf(bits, endian):
    """Two segments, a .text section, a .symtab of three and a .dynsym of two
    sharing one string table."""
    return Elf(bits=bits, endian=endian, entry=0x08000101,
               segments=[Segment(0x08000000, bytes(range(64)), section=".text"),
                         Segment(0x20000000, b"", memsz=16)],
               symbols=[("crc_value", 0x08000030), ("main", 0x08000001, 20, 2)],
               second_symtab=[("dyn", 0x08000010)]).build()


def extended_numbering(data):
    """The same file with its counts and the section-name table index kept in
    section header 0 (PN_XNUM, e_shnum 0, SHN_XINDEX), as a file with more
    sections or segments than the ELF header can count keeps them."""
    raw = Raw(data)
    raw.section(0, "sh_size", raw.header("e_shnum"))
    raw.section(0, "sh_link", raw.header("e_shstrndx"))
    raw.section(0, "sh_info", raw.header("e_phnum"))
    raw.header("e_phnum", PN_XNUM)
    raw.header("e_shnum", 0)
    raw.header("e_shstrndx", SHN_XINDEX)
    return bytes(raw.data)


def wide_entries(data):
    """The same file with its program and section header tables copied to its
    end at a stride of 8 bytes more than the class's, as the header allows."""
    raw = Raw(data)
    out = bytearray(data)
    for offset, entsize, count in (("e_phoff", "e_phentsize", "e_phnum"),
                                   ("e_shoff", "e_shentsize", "e_shnum")):
        start, size, n = (raw.header(f) for f in (offset, entsize, count))
        out += b"\0" * (-len(out) % 8)
        raw.header(offset, len(out))
        raw.header(entsize, size + 8)
        for i in range(n):
            out += data[start + i * size:start + (i + 1) * size] + b"\xA5" * 8
    out[:raw.cls.ehsize] = raw.data[:raw.cls.ehsize]
    return bytes(out)


BASES = [pytest.param(Path(path).read_bytes, id=os.path.basename(path)) for path in FIRMWARE]
BASES += [pytest.param(lambda b=fmt.values[0], e=fmt.values[1], v=variant: v(small_elf(b, e)),
                       id=fmt.id + suffix)
          for suffix, variant in (("", bytes), ("-extended", extended_numbering),
                                  ("-wide", wide_entries))
          for fmt in FORMATS]


@pytest.mark.parametrize("make", BASES)
def test_reads_what_pyelftools_reads(make):
    assert len(FIRMWARE) >= 2
    assert check_against_pyelftools(make()) == "same"


# --- mutations ---------------------------------------------------------------

def fields(raw, fmt, base):
    for code in fmt:
        yield base, struct.calcsize(raw.end + code)
        base += struct.calcsize(raw.end + code)


def mutable_fields(data):
    """(offset, width) of each field worth a lie: the ELF header's, every
    program header's, those of section 0, the symbol tables and the
    sections they link, every symbol's, and each byte of the string tables."""
    raw = Raw(data)
    phnum, shnum, _ = raw.counts()
    out = list(fields(raw, raw.cls.header, 16))
    for i in range(phnum):
        out += fields(raw, raw.cls.phdr, raw.segment_at(i))
    tables = [i for i in range(shnum) if raw.section(i, "sh_type") in SYMBOL_TABLES]
    linked = {raw.section(i, "sh_link") for i in tables}
    for i in {0, *tables, *linked}:
        out += fields(raw, raw.cls.shdr, raw.section_at(i))
    for i in tables:
        for n in range(raw.section(i, "sh_size") // raw.cls.symsize):
            out += fields(raw, raw.cls.sym, raw.symbol_at(i, n))
    for i in linked:
        start = raw.section(i, "sh_offset")
        out += [(at, 1) for at in range(start, start + raw.section(i, "sh_size"))]
    return out


def mutants(data, seed, count):
    """`count` copies of the file, each with one to three fields changed to a
    random byte or a value at an edge, and now and then cut short."""
    rng = random.Random(seed)
    places = mutable_fields(data)
    order = "little" if data[5] == 1 else "big"
    for _ in range(count):
        out = bytearray(data)
        for _ in range(rng.choice((1, 1, 2, 3))):
            at, width = rng.choice(places)
            old = int.from_bytes(out[at:at + width], order)
            edges = (0, 1, 2, 16, 20, 0x7F, 0xFF, 0xFFFF, 0xFFFFFFFF, 2 ** 64 - 1,
                     len(data), len(data) - 1, old + 1, old - 1, old * 2, old + 16)
            if rng.random() < 0.5:
                out[at + rng.randrange(width)] = rng.randrange(256)
            else:
                value = rng.choice(edges) % (1 << (8 * width))
                out[at:at + width] = value.to_bytes(width, order)
        if rng.random() < 0.1:
            out = out[:rng.randrange(len(out))]
        yield bytes(out)


MUTANTS_PER_FILE = 25


@pytest.mark.parametrize("make", BASES)
def test_mutants_read_alike_or_refused_for_a_known_reason(make):
    data = make()
    seed, ends = zlib.crc32(data), {}
    for n, mutant in enumerate(mutants(data, seed, MUTANTS_PER_FILE)):
        try:
            end = check_against_pyelftools(mutant)
        except AssertionError as failure:
            raise AssertionError(f"mutant {n} of seed {seed:#x}: {failure}") from None
        ends[end] = ends.get(end, 0) + 1
    # Lies in the headers are mostly read alike or refused by both; the
    # comparison must not have turned into refusals only.
    assert ends.get("same", 0) + ends.get("both refuse", 0) >= MUTANTS_PER_FILE // 2, ends


# --- truncated and lying headers ---------------------------------------------

def lying(which=None, **values):
    """A lie: ELF header fields, or with `which` a section's, set to numbers
    or to what a function makes of the file."""
    def lie(raw):
        for name, value in values.items():
            value = value(raw) if callable(value) else value
            raw.header(name, value) if which is None else raw.section(which(raw), name, value)
        return raw.data
    return lie


def both(*lies):
    return lambda raw: [lie(raw) for lie in lies][-1]


def cut(n):
    return lambda raw: raw.data[:n(raw)]


def name_past_table(raw):
    raw.symbol(raw.symtab(), 1, "st_name", raw.section(raw.strtab(), "sh_size") + 5)
    return raw.data


def string_table_at_the_end(raw):
    """The string table moved to the file's last bytes."""
    table = raw.strtab()
    offset, size = raw.section(table, "sh_offset"), raw.section(table, "sh_size")
    raw.section(table, "sh_offset", len(raw.data))
    raw.data += raw.data[offset:offset + size]
    return raw.data


def table_text(what, count, entry, offset):
    return "the %s table (%d %s of %d bytes at offset 0x%X) does not fit the file" % (
        what, count, "entry" if count == 1 else "entries", entry, offset)


def symtab_text(r, rest, *values):
    return "the symbol table in section %d " % r.symtab() + rest % values


NO_PHNUM = ("the program header count is PN_XNUM (0xFFFF) but there is no section header 0 "
            "to hold the real count")
PROGRAM_HEADERS, SECTION_HEADERS = "program header", "section header"

# (id, the lie, the reason the reader gives): the lies are made to the file
# in place, so a reason reads the lied values where it needs them.
LIES = [
    ("not-elf", lambda r: b"\x7fELG" + r.data[4:],
     lambda r: "it does not start with the ELF magic"),
    ("class-3", lambda r: r.data[:4] + b"\x03" + r.data[5:],
     lambda r: "its class byte is 3, neither 1 (ELF32) nor 2 (ELF64)"),
    ("byte-order-0", lambda r: r.data[:5] + b"\x00" + r.data[6:],
     lambda r: "its byte-order byte is 0, neither 1 (little-endian) nor 2 (big-endian)"),
    ("cut-inside-the-identification", cut(lambda r: 5),
     lambda r: "the file is 5 bytes, shorter than an ELF header"),
    ("cut-inside-the-elf-header", cut(lambda r: r.cls.ehsize - 12),
     lambda r: "the file is %d bytes, shorter than the %d-byte %s header"
     % (r.cls.ehsize - 12, r.cls.ehsize, r.cls.name)),
    ("cut-inside-the-program-header-table", cut(lambda r: r.segment_at(1) + 3),
     lambda r: table_text(PROGRAM_HEADERS, 2, r.cls.phsize, r.cls.ehsize)),
    ("cut-inside-the-section-header-table", cut(lambda r: r.section_at(2) + 5),
     lambda r: table_text(SECTION_HEADERS, r.header("e_shnum"), r.cls.shsize, r.header("e_shoff"))),
    # Offsets whose table would wrap past the top of a 64-bit number.
    ("huge-e_phoff", lying(e_phoff=lambda r: r.top() - 15),
     lambda r: table_text(PROGRAM_HEADERS, 2, r.cls.phsize, r.top() - 15)),
    ("huge-e_shoff", lying(e_shoff=lambda r: r.top() - 7),
     lambda r: table_text(SECTION_HEADERS, r.header("e_shnum"), r.cls.shsize, r.top() - 7)),
    ("pn_xnum-without-section-headers", lying(e_phnum=PN_XNUM, e_shoff=0), lambda r: NO_PHNUM),
    ("pn_xnum-with-section-0-past-the-end",
     lying(e_phnum=PN_XNUM, e_shoff=lambda r: len(r.data) - 8), lambda r: NO_PHNUM),
    ("pn_xnum-count-past-the-end",
     both(lying(lambda r: 0, sh_info=0xFFFFFFFF), lying(e_phnum=PN_XNUM)),
     lambda r: table_text(PROGRAM_HEADERS, 0xFFFFFFFF, r.cls.phsize, r.cls.ehsize)),
    ("section-count-in-section-0-past-the-end",
     both(lying(lambda r: 0, sh_size=0xFFFFFFFF), lying(e_shnum=0)),
     lambda r: table_text(SECTION_HEADERS, 0xFFFFFFFF, r.cls.shsize, r.header("e_shoff"))),
    ("section-0-past-the-end", lying(e_shnum=0, e_shoff=lambda r: len(r.data) - 8),
     lambda r: "section header 0 (%d bytes at offset 0x%X) does not fit the file"
     % (r.cls.shsize, len(r.data) - 8)),
    ("small-program-headers", lying(e_phentsize=16),
     lambda r: "the program header table has entries of 16 bytes, fewer than %d" % r.cls.phsize),
    ("small-section-headers", lying(e_shentsize=20),
     lambda r: "the section header table has entries of 20 bytes, fewer than %d" % r.cls.shsize),
    ("symtab-entsize-20", lying(Raw.symtab, sh_entsize=20),
     lambda r: symtab_text(r, "has entries of 20 bytes, not %d", r.cls.symsize)),
    ("symtab-size-no-whole-entries",
     lying(Raw.symtab, sh_size=lambda r: r.section(r.symtab(), "sh_size") + 8),
     lambda r: symtab_text(r, "is %d bytes, not a whole number of %d-byte entries",
                           r.section(r.symtab(), "sh_size"), r.cls.symsize)),
    ("symtab-past-the-end", lying(Raw.symtab, sh_offset=lambda r: len(r.data) - 8),
     lambda r: symtab_text(r, "(0x%X bytes at offset 0x%X) does not fit the file",
                           r.section(r.symtab(), "sh_size"), len(r.data) - 8)),
    ("link-to-no-section", lying(Raw.symtab, sh_link=lambda r: r.header("e_shnum") + 3),
     lambda r: symtab_text(r, "links to section %d, which does not exist",
                           r.header("e_shnum") + 3)),
    ("link-to-a-program-section", lying(Raw.symtab, sh_link=1),
     lambda r: symtab_text(r, "links to section 1, which is no string table")),
    ("link-to-a-nobits-section", lying(Raw.strtab, sh_type=SHT_NOBITS),
     lambda r: symtab_text(r, "links to section %d, which has no contents in the file",
                           r.strtab())),
    ("string-table-past-the-end", lying(Raw.strtab, sh_offset=lambda r: len(r.data) - 2),
     lambda r: "the string table in section %d (0x%X bytes at offset 0x%X) does not fit the "
     "file" % (r.strtab(), r.section(r.strtab(), "sh_size"), len(r.data) - 2)),
    ("name-offset-past-its-string-table", name_past_table,
     lambda r: "symbol 1 of the table in section %d has its name at 0x%X, past its string "
     "table of 0x%X bytes" % (r.symtab(), r.section(r.strtab(), "sh_size") + 5,
                              r.section(r.strtab(), "sh_size"))),
    # The last name in the shared string table is the .dynsym's "dyn".
    ("name-without-its-nul",
     lying(Raw.strtab, sh_size=lambda r: r.section(r.strtab(), "sh_size") - 1),
     lambda r: "symbol 1 of the table in section %d has a name with no NUL in its string table"
     % r.index_of(SHT_DYNSYM)),
]
# (id, the lie, how many program headers and symbols both readers then find):
# what a header may say without lying.
TOLERATED = [
    # e_shoff 0: no section header table, whatever the other fields say.
    ("no-section-header-table", lying(e_shoff=0, e_shentsize=0xFFFF), (2, 0)),
    ("no-section-header-table-nor-names", lying(e_shoff=0, e_shstrndx=SHN_XINDEX), (2, 0)),
    # No program headers: their offset and size do not matter.
    ("no-program-headers", lying(e_phnum=0, e_phoff=Raw.top, e_phentsize=0), (0, 5)),
    ("empty-symbol-table-past-the-end", lying(Raw.symtab, sh_size=0, sh_offset=Raw.top), (2, 2)),
    ("string-table-ending-at-the-last-byte", string_table_at_the_end, (2, 5)),
    ("names-table-index-in-section-0",
     both(lying(lambda r: 0, sh_link=lambda r: r.header("e_shstrndx")),
          lying(e_shstrndx=SHN_XINDEX)), (2, 5)),
]


@pytest.mark.parametrize("bits, endian", FORMATS)
@pytest.mark.parametrize("lie, expected",
                         [pytest.param(*case[1:], id=case[0]) for case in LIES + TOLERATED])
def test_refuses_lying_headers_with_their_reason_and_reads_the_tolerated(bits, endian, lie,
                                                                        expected):
    raw = Raw(small_elf(bits, endian))
    data = bytes(lie(raw))
    if callable(expected):
        with pytest.raises(ValueError) as refusal:
            core._elf_probe(data)
        assert str(refusal.value) == expected(raw)
    else:
        assert check_against_pyelftools(data) == "same"
        _, _, _, segments, symbols = core._elf_probe(data)
        assert (len(segments), len(symbols)) == expected


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, str], ids=lambda k: k.__name__)
def test_takes_any_bytes_like_object_and_nothing_else(kind):
    data = small_elf(32, "<")
    if kind is str:
        with pytest.raises(TypeError):
            core._elf_probe("\x7fELF")
    else:
        assert core._elf_probe(kind(data)) == core._elf_probe(data)


def symbol_tables_elf(types, entries=64):
    """A little-endian ELF32 file with no segments: one string table holding
    the empty name, `entries` zero symbols, and one section header per type
    in `types`, every one over those same symbols."""
    strings_at, symbols_at = 52, 56
    shoff = symbols_at + 16 * entries
    header = (b"\x7fELF\x01\x01\x01" + bytes(9)
              + struct.pack("<HHIIIIIHHHHHH", 2, 40, 1, 0, 0, shoff, 0, 52, 32, 0, 40,
                            2 + len(types), 0))
    sections = bytes(40) + struct.pack("<10I", 0, SHT_STRTAB, 0, 0, strings_at, 1, 0, 0, 1, 0)
    for sh_type in types:
        sections += struct.pack("<10I", 0, sh_type, 0, 0, symbols_at, 16 * entries, 1, 0,
                                4, 16)
    return header + b"\0" * 4 + bytes(16 * entries) + sections


@pytest.mark.parametrize("sh_type", [SHT_SYMTAB, SHT_DYNSYM, SHT_SUNW_LDYNSYM],
                         ids=["symtab", "dynsym", "sunw-ldynsym"])
def test_every_kind_of_symbol_table_is_read(sh_type):
    data = symbol_tables_elf([sh_type])
    symbols = core._elf_probe(data)[4]
    with io.BytesIO(data) as stream:
        theirs = [s for section in ELFFile(stream).iter_sections()
                  if isinstance(section, SymbolTableSection) for s in section.iter_symbols()]
    assert len(symbols) == len(theirs) == 64
    assert {table for table, *_ in symbols} == {2}


def test_symbol_tables_over_the_same_bytes_are_refused_at_once():
    # Three tables over one 1 KiB run of symbols: the second already claims
    # more entries than the file has room for, which only overlapping tables
    # can. Each read in turn, a crafted file would cost the square of its size.
    data = symbol_tables_elf([SHT_SYMTAB] * 3)
    with pytest.raises(ValueError) as refusal:
        core._elf_probe(data)
    assert str(refusal.value) == (
        "the symbol tables overlap: they hold 128 entries of 16 bytes, more than the "
        "%d-byte file has room for" % len(data))
