"""The native symbol scan finds what pyelftools' loop finds, or lets the loop
answer."""

import glob
import os
import struct

import pytest
from elftools.elf.elffile import ELFFile
from elftools.elf.sections import SymbolTableSection

from conftest import DATA, captured
from elfwriter import Elf, Segment

ROOT = os.path.dirname(DATA)
FIRMWARE = sorted(glob.glob(os.path.join(DATA, "*.elf"))) + [
    os.path.join(ROOT, "..", "examples", "blinky.elf")]
LOAD = 0x08000000
# The loop as pyelftools ships it, out of reach of the counting patch below.
ITER_SYMBOLS = SymbolTableSection.iter_symbols


def loop_value(path, name):
    """The scan as pyelftools' loop does it: the last match wins."""
    found = None
    with open(path, "rb") as f:
        for section in ELFFile(f).iter_sections():
            if isinstance(section, SymbolTableSection):
                for symbol in ITER_SYMBOLS(section):
                    if symbol.name == name:
                        found = symbol["st_value"]
    return found


@pytest.fixture
def loop_calls(monkeypatch):
    """Counts the symbol tables that went through pyelftools' loop."""
    calls = []

    def iter_symbols(self):
        calls.append(self.name)
        return ITER_SYMBOLS(self)

    monkeypatch.setattr(SymbolTableSection, "iter_symbols", iter_symbols)
    return calls


def offset_reported(velk, path, name):
    result, out, _ = captured(velk.velk_crc_calc, str(path), name, None, None)
    return result, out.splitlines()[-1]


def names_in(path):
    with open(path, "rb") as f:
        return sorted({s.name for sec in ELFFile(f).iter_sections()
                       if isinstance(sec, SymbolTableSection) for s in ITER_SYMBOLS(sec)
                       if s.name})


@pytest.mark.parametrize("path", FIRMWARE, ids=os.path.basename)
def test_every_symbol_of_the_real_firmware(velk, tmp_path, loop_calls, path):
    """Each name found natively gives the loop's value; the loop never ran."""
    copy = tmp_path / "fw.elf"
    with open(path, "rb") as f:
        copy.write_bytes(f.read())
    load = segment_load(copy)
    for name in names_in(copy)[:60] + ["no_such_symbol"]:
        value = loop_value(copy, name)
        result, line = offset_reported(velk, copy, name)
        if value is None:
            assert (result, line) == (-1, f"{name} is not found!")
        elif value < load:
            assert (result, line) == (-1, f"{name} is below the load address!")
        else:
            assert result is None and f"offset address:[0x{value - load:08X}]" in line
    assert loop_calls == []


def segment_load(path):
    with open(path, "rb") as f:
        for seg in ELFFile(f).iter_segments():
            if seg["p_type"] == "PT_LOAD" and seg["p_filesz"]:
                return seg["p_vaddr"]


SYNTHETIC = [
    # id, ELF keyword arguments, name, the value the loop finds
    ("elf32-little", dict(), "crc", LOAD + 0x20),
    ("elf32-big", dict(endian=">"), "crc", LOAD + 0x20),
    ("elf64-little", dict(bits=64), "crc", LOAD + 0x20),
    ("elf64-big", dict(bits=64, endian=">"), "crc", LOAD + 0x20),
    ("last-of-duplicates", dict(symbols=[("crc", LOAD + 4), ("x", LOAD), ("crc", LOAD + 8)]),
     "crc", LOAD + 8),
    ("second-table-wins", dict(second_symtab=[("crc", LOAD + 12)]), "crc", LOAD + 12),
    ("prefix-is-not-a-match", dict(symbols=[("crc_value", LOAD + 4)]), "crc", None),
    ("empty-name", dict(), "", None),
]


@pytest.mark.parametrize("kwargs, name, value", [s[1:] for s in SYNTHETIC],
                         ids=[s[0] for s in SYNTHETIC])
def test_synthetic_tables(velk, tmp_path, loop_calls, kwargs, name, value):
    kwargs = {"symbols": [("crc", LOAD + 0x20)], **kwargs}
    path = Elf(segments=[Segment(LOAD, bytes(64))], **kwargs).write(tmp_path / "fw.elf")
    assert loop_value(path, name) == (value if name else 0)
    result, line = offset_reported(velk, path, name)
    if value is None:
        assert (result, line) == (-1, f"{name} is not found!")
    else:
        assert f"offset address:[0x{value - LOAD:08X}]" in line
    assert loop_calls == []


def patch(data, offset, fmt, value):
    data[offset:offset + struct.calcsize(fmt)] = struct.pack(fmt, value)


def section_header(data, index):
    """(offset of the header, its fields) for a little-endian ELF32."""
    shoff, = struct.unpack_from("<I", data, 32)
    at = shoff + 40 * index
    return at, struct.unpack_from("<10I", data, at)


def irregular(kind, data):
    """Makes the .symtab (section 1) of a little-endian ELF32 irregular."""
    at, fields = section_header(data, 1)
    strtab_at, strtab = section_header(data, 2)
    if kind == "entry-size":
        # 32-byte entries: pyelftools reads each at n * 32, we do not guess.
        patch(data, at + 36, "<I", 32)
        patch(data, at + 20, "<I", 64)
    elif kind == "name-offset-out-of-range":
        patch(data, fields[4] + 16, "<I", 0x7000)
    elif kind == "name-not-ascii":
        name_at = strtab[4] + 1
        data[name_at] = 0xC3
        data[name_at + 1] = 0xA9
    elif kind == "table-past-the-file":
        patch(data, at + 20, "<I", fields[5] + 16 * 1000)
    elif kind == "string-table-past-the-file":
        patch(data, strtab_at + 20, "<I", 0x100000)
    elif kind == "name-runs-past-its-table":
        patch(data, strtab_at + 20, "<I", 3)  # cuts "crc\0" short
    return bytes(data)


IRREGULAR = ["entry-size", "name-offset-out-of-range", "name-not-ascii",
             "table-past-the-file", "string-table-past-the-file", "name-runs-past-its-table"]


@pytest.mark.parametrize("kind", IRREGULAR)
def test_irregular_tables_go_through_the_loop(velk, tmp_path, monkeypatch, kind):
    base = Elf(segments=[Segment(LOAD, bytes(64))],
               symbols=[("crc", LOAD + 0x20), ("other", LOAD + 4)]).build()
    path = tmp_path / "fw.elf"
    path.write_bytes(irregular(kind, bytearray(base)))

    def outcome():
        try:
            return offset_reported(velk, path, "crc")
        except Exception as exc:
            return type(exc), str(exc)

    calls = []
    monkeypatch.setattr(SymbolTableSection, "iter_symbols",
                        lambda self: calls.append(self.name) or ITER_SYMBOLS(self))
    native = outcome()
    # Through the loop; a name it does not find is looked for again among
    # all the names, for the hint.
    assert calls == [".symtab"] or (calls == [".symtab"] * 2 and "is not found" in str(native))
    # The same as with a reader that is not the genuine class: loop only.
    monkeypatch.setattr(velk, "ELFFile", type("Reader", (ELFFile,), {}))
    assert outcome() == native


def test_non_ascii_request_uses_the_loop(velk, tmp_path, loop_calls):
    path = Elf(segments=[Segment(LOAD, bytes(64))],
               symbols=[("crc", LOAD + 0x20), ("prüfsumme", LOAD + 0x10)]).write(
        tmp_path / "fw.elf")
    result, line = offset_reported(velk, path, "prüfsumme")
    assert result is None and "offset address:[0x00000010]" in line
    assert loop_calls == [".symtab"]


@pytest.mark.parametrize("change", ["reader-subclass", "symtab-class-rebound"])
def test_foreign_classes_use_the_loop(velk, tmp_path, monkeypatch, loop_calls, change):
    if change == "reader-subclass":
        monkeypatch.setattr(velk, "ELFFile", type("Reader", (ELFFile,), {}))
    else:
        # Still picks out the symbol tables, but is not the class start-up bound.
        class Symtabs(type):
            def __instancecheck__(cls, obj):
                return isinstance(obj, SymbolTableSection)
        monkeypatch.setattr(velk, "SymbolTableSection", Symtabs("Symtabs", (), {}))
    path = Elf(segments=[Segment(LOAD, bytes(64))], symbols=[("crc", LOAD + 0x20)]).write(
        tmp_path / "fw.elf")
    result, line = offset_reported(velk, path, "crc")
    assert "offset address:[0x00000020]" in line
    assert loop_calls == [".symtab"]
