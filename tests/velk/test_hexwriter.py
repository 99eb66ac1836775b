"""The native HEX writer against intelhex's own, byte for byte.

The native path runs when the container is the genuine intelhex class; a
subclass bound as IntelHex takes the package path (frombytes, slice
assignment, write_hex_file). Both must leave identical files, lines and
results for every layout.
"""

import random

import pytest

from conftest import captured, crc32_mpeg2
from elfwriter import Elf, Segment
from hexcheck import hex_record, read_hex

RNG = random.Random(9)
K64 = 0x10000

# id, ELF class, load address, image length, request, symbol offset from load
LAYOUTS = [
    ("one-byte-address-pad", 32, 0, 1, (None, "4", None), None),
    ("below-64k-no-ela", 32, 0x100, 100, (None, "0x68", None), None),
    ("ends-at-64k", 32, 0xFFF0, 12, ("c", None, None), 12),
    ("record-across-64k", 32, 0xFFF0, 0x20, ("c", None, None), 0xE),
    ("image-across-64k", 32, 0xFFF8, 17, (None, "0x14", None), None),
    ("15-bytes-record-inside", 32, 0x08000000, 15, ("c", None, None), 8),
    ("16-bytes-record-adjacent", 32, 0x08000000, 16, ("c", None, None), 16),
    ("17-bytes-block", 32, 0x08000000, 17, (None, None, "16"), None),
    ("64k-plus-3-block", 32, 0x08000000, K64 + 3, (None, None, "4096"), None),
    ("three-pages-plus-odd", 32, 0x0801FFF8, 3 * K64 + 5, ("c", None, None), 0x100),
    ("above-16m-address", 32, 0x01000010, 2 * K64 + 7, (None, "0x30000", None), None),
    ("far-beyond-in-ram", 32, 0x08000000, 0x1003, ("c", None, None), 0x17FFF000),
    ("gap-of-a-page", 32, 0x08000000, 40, ("c", None, None), K64 + 0x40),
    ("near-4g-top", 32, 0xFFFF0000, K64 - 4, ("c", None, None), K64 - 4),
    ("near-4g-block", 32, 0xFFFE0000, K64 + 1, (None, None, "256"), None),
    ("entry-above-32-bits", 64, 0x08000000, 99, ("c", None, None), 96),
    ("elf64-big-pages", 64, 0x1FFFC, 9, (None, "0x10", None), None),
]


def build(tmp_path, bits, load, length, symbol):
    image = RNG.randbytes(length)
    symbols = [("c", load + symbol)] if symbol is not None else []
    entry = 0x1_2345_6789 if bits == 64 else load | 1
    Elf(bits=bits, entry=entry, segments=[Segment(load, image)],
        symbols=symbols).write(tmp_path / "fw.elf")
    return image


def expected_memory(load, image, request, symbol):
    name, address, block = request
    if name is not None:
        offset, data = symbol, image
    elif address is not None:
        offset = int(address, 16)
        data = image + b"\xff" * max(0, offset - len(image))
    else:
        size = int(block)
        offset = -(-len(image) // size) * size
        data = image + b"\xff" * (offset + 4 - len(image) if offset > len(image) else 0)
    memory = {load + i: b for i, b in enumerate(data)}
    for i, b in enumerate(crc32_mpeg2(data[:offset]).to_bytes(4, "little")):
        memory[load + offset + i] = b
    return memory


def run(velk, tmp_path, request):
    hex_path = tmp_path / "fw_CRC.hex"
    if hex_path.exists():
        hex_path.unlink()
    try:
        result, out, _ = captured(velk.velk_crc_calc, str(tmp_path / "fw.elf"), *request)
    except Exception as exc:  # compared between the two paths
        return ("raised", type(exc), str(exc)), None
    return (result, out), hex_path.read_bytes()


@pytest.mark.parametrize("bits, load, length, request_, symbol",
                         [c[1:] for c in LAYOUTS], ids=[c[0] for c in LAYOUTS])
def test_native_file_is_the_packages_file(velk, tmp_path, monkeypatch, bits, load, length,
                                          request_, symbol):
    image = build(tmp_path, bits, load, length, symbol)
    native, native_bytes = run(velk, tmp_path, request_)
    monkeypatch.setattr(velk, "IntelHex", type("Container", (velk.IntelHex,), {}))
    package, package_bytes = run(velk, tmp_path, request_)
    assert native == package
    assert native_bytes == package_bytes
    # And independently of both: every record verifies and holds what the
    # request asks for.
    hexfile = read_hex(tmp_path / "fw_CRC.hex")
    assert hexfile.max_record_bytes <= 16
    assert hexfile.memory == expected_memory(load, image, request_, symbol)
    assert hexfile.start_linear == (0x1_2345_6789 if bits == 64 else load | 1) & 0xFFFFFFFF


def test_extended_address_records_where_the_package_puts_them(velk, tmp_path):
    """Hand-checked text for a small layout across a page boundary."""
    image = bytes(range(20))
    Elf(entry=0x1FFF9, segments=[Segment(0x1FFF8, image)],
        symbols=[("c", 0x1FFF8 + 20)]).write(tmp_path / "fw.elf")
    captured(velk.velk_crc_calc, str(tmp_path / "fw.elf"), "c", None, None)
    crc = crc32_mpeg2(image).to_bytes(4, "little")
    data = image + crc
    expected = (hex_record(5, 0, (0x1FFF9).to_bytes(4, "big")) + hex_record(4, 0, b"\x00\x01")
                + hex_record(0, 0xFFF8, data[:8]) + hex_record(4, 0, b"\x00\x02")
                + hex_record(0, 0, data[8:24]) + ":00000001FF\n")
    assert (tmp_path / "fw_CRC.hex").read_text() == expected


@pytest.mark.parametrize("load, symbol", [(0xFFFFFFF0, 0x20), (0x08000000, 0x1_0000_0000)],
                         ids=["image-past-4g", "record-past-4g"])
def test_past_4g_fails_like_the_package_but_writes_nothing(velk, tmp_path, load, symbol):
    Elf(bits=64, segments=[Segment(load, DIGITS)], symbols=[("c", load + symbol)]).write(
        tmp_path / "fw.elf")
    (tmp_path / "fw_CRC.hex").write_text("earlier\n")
    with pytest.raises(OverflowError, match="^unsigned byte integer is greater than maximum$"):
        velk.velk_crc_calc(str(tmp_path / "fw.elf"), "c", None, None)
    assert (tmp_path / "fw_CRC.hex").read_text() == "earlier\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.elf", "fw_CRC.hex"]


DIGITS = b"123456789"


class Recorder:
    """Wraps one method of the genuine class, counting calls."""

    def __init__(self, monkeypatch, cls, name):
        self.calls = 0
        original = getattr(cls, name)

        def wrapper(*args, **kwargs):
            self.calls += 1
            return original(*args, **kwargs)

        monkeypatch.setattr(cls, name, wrapper)


@pytest.mark.parametrize("change", ["subclass", "replacement", "patched-write",
                                    "patched-frombytes", "patched-setitem"])
def test_package_path_runs_when_the_container_is_not_genuine(velk, tmp_path, monkeypatch,
                                                             change):
    from intelhex import IntelHex

    Elf(entry=1, segments=[Segment(0x08000000, DIGITS)],
        symbols=[("c", 0x08000000 + 9)]).write(tmp_path / "fw.elf")
    seen = []
    if change == "subclass":
        class Sub(IntelHex):
            def write_hex_file(self, *args, **kwargs):
                seen.append("write")
                return super().write_hex_file(*args, **kwargs)
        monkeypatch.setattr(velk, "IntelHex", Sub)
    elif change == "replacement":
        class Replacement:
            def __init__(self):
                self.inner = IntelHex()

            def frombytes(self, data, offset):
                seen.append("frombytes")
                self.inner.frombytes(data, offset)

            def __setitem__(self, where, values):
                self.inner[where] = values

            def write_hex_file(self, name, **kwargs):
                seen.append("write")
                self.inner.start_addr = self.start_addr
                self.inner.write_hex_file(name, **kwargs)
        monkeypatch.setattr(velk, "IntelHex", Replacement)
    else:
        name = {"patched-write": "write_hex_file", "patched-frombytes": "frombytes",
                "patched-setitem": "__setitem__"}[change]
        recorder = Recorder(monkeypatch, IntelHex, name)
    assert captured(velk.velk_crc_calc, str(tmp_path / "fw.elf"), "c", None, None)[0] is None
    if change.startswith("patched"):
        assert recorder.calls == 1
    else:
        assert "write" in seen
    hexfile = read_hex(tmp_path / "fw_CRC.hex")
    assert hexfile.bytes_at(0x08000000, 13) == DIGITS + crc32_mpeg2(DIGITS).to_bytes(4, "little")


def test_native_path_leaves_the_container_empty(velk, tmp_path, monkeypatch):
    """The genuine container is made (IntelHex() is called) and gets its
    start address, but is not filled byte by byte."""
    from intelhex import IntelHex

    made = []
    original_init = IntelHex.__init__

    def init(self, *args, **kwargs):
        original_init(self, *args, **kwargs)
        made.append(self)

    monkeypatch.setattr(IntelHex, "__init__", init)
    Elf(entry=7, segments=[Segment(0x08000000, DIGITS)],
        symbols=[("c", 0x08000000 + 9)]).write(tmp_path / "fw.elf")
    captured(velk.velk_crc_calc, str(tmp_path / "fw.elf"), "c", None, None)
    assert len(made) == 1
    assert made[0]._buf == {} and made[0].start_addr == {"EIP": 7}


@pytest.mark.parametrize("replaced", ["struct", "calc_crc_mpeg2"])
def test_rebound_globals_still_reach_the_native_file(velk, tmp_path, monkeypatch, replaced):
    """The checksum and the record come from the globals looked up at use."""
    import struct

    if replaced == "struct":
        class FakeStruct:
            @staticmethod
            def pack(fmt, value):
                assert fmt == "<I"
                return b"\x01\x02\x03\x04"
        monkeypatch.setattr(velk, "struct", FakeStruct)
        record = b"\x01\x02\x03\x04"
    else:
        monkeypatch.setattr(velk, "calc_crc_mpeg2", lambda data: 0xA1B2C3D4)
        record = struct.pack("<I", 0xA1B2C3D4)
    Elf(segments=[Segment(0x08000000, DIGITS)], symbols=[("c", 0x08000000 + 9)]).write(
        tmp_path / "fw.elf")
    captured(velk.velk_crc_calc, str(tmp_path / "fw.elf"), "c", None, None)
    assert read_hex(tmp_path / "fw_CRC.hex").bytes_at(0x08000009, 4) == record


@pytest.mark.parametrize("packed, error", [
    (b"\x01\x02\x03", ValueError),       # the container refuses a short record
    (b"\x01\x02\x03\x04\x05", ValueError),
], ids=["three-bytes", "five-bytes"])
def test_odd_record_from_struct_is_the_containers_to_refuse(velk, tmp_path, monkeypatch,
                                                            packed, error):
    class FakeStruct:
        @staticmethod
        def pack(fmt, value):
            return packed

    monkeypatch.setattr(velk, "struct", FakeStruct)
    Elf(segments=[Segment(0x08000000, DIGITS)], symbols=[("c", 0x08000000 + 9)]).write(
        tmp_path / "fw.elf")
    with pytest.raises(error, match="^Length of bytes sequence does not match address range$"):
        velk.velk_crc_calc(str(tmp_path / "fw.elf"), "c", None, None)
