"""One flash layout for FLASH and CHECK, on generated layouts and the three
selectors. What FLASH must write comes from a model of the layout rule
written here, not from the module:

- loadable: every PT_LOAD with file bytes, at p_paddr, min(p_filesz,
  p_memsz) bytes; two that claim the same byte are refused;
- clusters: loadable spans in address order, joined while the gap is at
  most 64 KiB;
- the image starts at a cluster: the one holding the slot or ending at most
  64 KiB below it (--n), else the cluster of the first loadable segment in
  header order; it ends at the end of that cluster or of the record,
  whichever is later, taking in every cluster the padding reaches;
- the checksum covers [start, record), holes 0xFF; every loadable byte is
  in the HEX unchanged, the record's 4 bytes aside.
"""

import random
from dataclasses import dataclass

import pytest
from intelhex import IntelHex

from conftest import crc32_mpeg2_fast, run_cli
from elfwriter import PT_ARM_EXIDX, PT_LOAD, Elf, Segment
from hexcheck import flip_hex_byte, read_hex

JOIN = 0x10000
FLASH = 0x08000000
RAM = 0x20000000


@dataclass
class Expected:
    refused: str | None = None
    start: int = 0
    record: int = 0
    end: int = 0
    memory: dict | None = None
    checksum: int = 0
    crc_elf: bool = False
    lowest: bool = True  # the image is the lowest cluster


def size_of(seg):
    filesz = len(seg.data) if seg.filesz is None else seg.filesz
    memsz = len(seg.data) if seg.memsz is None else seg.memsz
    return min(filesz, memsz)


def phys(seg):
    return seg.vaddr if seg.paddr is None else seg.paddr


def model(segments, symbols, option):
    """What FLASH --force <option> must do with this build."""
    spans = [(i, phys(s), s.data[:size_of(s)]) for i, s in enumerate(segments)
             if s.type == PT_LOAD and size_of(s) > 0]
    by_address = sorted(spans, key=lambda s: s[1])
    for (i, a, da), (j, b, _) in zip(by_address, by_address[1:]):
        if b < a + len(da):
            return Expected(refused=f"segments {min(i, j)} (")
    clusters = []  # [start, end, {segment indexes}]
    for i, address, data in by_address:
        if clusters and address - clusters[-1][1] <= JOIN:
            clusters[-1][1] = address + len(data)
            clusters[-1][2].add(i)
        else:
            clusters.append([address, address + len(data), {i}])
    first = min(i for i, _, _ in spans)
    anchor = next(c for c in clusters if first in c[2])

    letter, value = option[2], option[3:]
    if letter == "n":
        slot = dict(symbols)[value]
        for i, s in enumerate(segments):
            if s.type == PT_LOAD and 0 <= slot - s.vaddr < size_of(s):
                slot = slot - s.vaddr + phys(s)
                break
        near = [c for c in clusters if c[0] <= slot and slot - c[1] <= JOIN]
        cluster = near[-1] if near else anchor
        record = slot
    else:
        cluster = anchor
        length = cluster[1] - cluster[0]
        if letter == "a":
            record = cluster[0] + int(value, 16)
        else:
            block = int(value)
            record = cluster[0] + -(-length // block) * block
    start, data_end = cluster[0], cluster[1]
    end = max(data_end, record + 4)
    for c in clusters:
        if start < c[0] < end:
            data_end = max(data_end, c[1])
            if letter == "s":  # rounded again past what the padding took in
                record = start + -(-(data_end - start) // block) * block
            end = max(data_end, record + 4)

    memory = {}
    for _, address, data in spans:
        memory.update(zip(range(address, address + len(data)), data))
    for address in range(start, end):
        memory.setdefault(address, 0xFF)
    checksum = crc32_mpeg2_fast(bytes(memory[a] for a in range(start, record)))
    memory.update(zip(range(record, record + 4), checksum.to_bytes(4, "little")))
    crc_elf = any(a <= record and record + 4 <= a + len(d) for _, a, d in spans)
    return Expected(None, start, record, end, memory, checksum, crc_elf,
                    lowest=start == clusters[0][0])


def seg(address, size, fill, *, paddr=None, **kw):
    data = bytes((fill + i * 7) & 0xFF for i in range(size))
    return Segment(address, data, paddr=paddr, section=f".s{address:x}{fill:02x}", **kw)


def words(address, size):
    """A 4-byte placeholder slot inside a segment: 0xFFFFFFFF."""
    return Segment(address, b"\xff" * size, section=f".slot{address:x}")


NAMED = [
    ("data-after-text",
     [seg(FLASH, 0x110, 1), seg(RAM + 4, 0x24, 2, paddr=FLASH + 0x110),
      words(FLASH + 0x134, 4)],
     [("crc", FLASH + 0x134)], ["--ncrc", "--a134", "--s256"]),
    ("vectors-listed-after-text",
     [seg(FLASH + 0x200, 0x100, 3), seg(FLASH, 0x200, 4), words(FLASH + 0x300, 4)],
     [("crc", FLASH + 0x300)], ["--ncrc", "--a100", "--s1024"]),
    ("far-qspi-region",
     [seg(FLASH, 0x80, 5), seg(0x90000000, 0x40, 6), seg(RAM, 0x24, 7, paddr=FLASH + 0x80)],
     [("crc", FLASH + 0xA4)], ["--ncrc", "--aA4", "--s64"]),
    ("gap-of-exactly-64k-joins",
     [seg(FLASH, 0x100, 8), seg(FLASH + 0x100 + JOIN, 0x20, 9)],
     [], ["--a10120", "--s256"]),
    ("gap-of-64k-and-1-does-not",
     [seg(FLASH, 0x100, 10), seg(FLASH + 0x101 + JOIN, 0x20, 11)],
     [], ["--a100", "--s256"]),
    ("padding-reaches-a-far-segment",
     [seg(FLASH, 0x100, 12), seg(FLASH + 0x20000, 0x40, 13)],
     [], ["--a30000", "--a20020", "--s262144"]),
    ("block-rounds-past-a-segment-it-reaches",
     [seg(FLASH, 0x100, 25), seg(FLASH + 0x3FFF0, 0x40, 26)],
     [], ["--s262144"]),
    ("block-end-is-a-far-segments-start",
     [seg(FLASH, 0x100, 27), seg(FLASH + 0x40000, 0x40, 28)],
     [], ["--s262144"]),
    ("block-record-ends-where-a-far-segment-starts",
     [seg(FLASH, 0x100, 29), seg(FLASH + 0x40004, 0x40, 30)],
     [], ["--s262144"]),
    ("ram-first-slot-in-flash",
     [seg(RAM, 0x40, 14), seg(0x60000000, 0x200, 15), words(0x60000200, 4)],
     [("crc", 0x60000200)], ["--ncrc"]),
    ("slot-is-a-data-variable",
     [seg(FLASH, 0x40, 16), seg(RAM, 0x24, 17, paddr=FLASH + 0x40)],
     [("ramslot", RAM + 0x20)], ["--nramslot"]),
    ("filesz-above-memsz",
     [seg(FLASH, 0x100, 18, memsz=0xF0), seg(FLASH + 0xF0, 0x10, 19)],
     [("crc", FLASH + 0xFC)], ["--ncrc", "--aFC"]),
    ("exidx-header-first",
     [Segment(FLASH + 0x200, bytes(16), type=PT_ARM_EXIDX), seg(FLASH, 0x200, 21),
      seg(FLASH + 0x200, 16, 22)],
     [("crc", FLASH + 0x20C)], ["--ncrc", "--a210"]),
    ("overlap-refused",
     [seg(FLASH, 0x100, 23), seg(RAM, 8, 24, paddr=FLASH + 0xFC)],
     [], ["--a100"]),
]


def generated(seed):
    """A random build: a few flash segments (some listed out of order, some
    a gap of about 64 KiB apart, some far), .data images, and a slot."""
    rnd = random.Random(seed)
    segments, address = [], FLASH + rnd.choice([0, 0x40000])
    for n in range(rnd.randint(1, 4)):
        size = rnd.randrange(4, 0x180, 4)
        if n and rnd.random() < 0.3:
            segments.append(seg(RAM + 0x100 * n, size, n, paddr=address))
        else:
            segments.append(seg(address, size, n + 0x30))
        address += size + rnd.choice([0, 0, 4, 0x40, JOIN - 4, JOIN, JOIN + 4, 0x300000])
    if rnd.random() < 0.3:
        segments.append(seg(rnd.choice([FLASH - 0x1000, 0x90000000]), 0x20, 0x55))
    slot_holder = rnd.choice([s for s in segments])
    slot = slot_holder.vaddr + rnd.randrange(0, len(slot_holder.data) - 3, 4)
    rnd.shuffle(segments)
    options = ["--ncrc", f"--a{rnd.randrange(4, 0x300, 4):X}", f"--s{rnd.choice([4, 64, 4096])}"]
    return segments, [("crc", slot)], options, rnd.choice([(32, "<"), (64, "<"), (32, ">")])


CASES = [(name, segs, syms, opt, (32, "<")) for name, segs, syms, opts in NAMED for opt in opts]
CASES += [(f"seed{seed}", *generated(seed)[:2], opt, generated(seed)[3])
          for seed in range(24) for opt in generated(seed)[2]]


@pytest.mark.parametrize("segments, symbols, option, shape", [c[1:] for c in CASES],
                         ids=[f"{c[0]}{c[3]}" for c in CASES])
def test_flash_and_check_agree(velk, monkeypatch, tmp_path, segments, symbols, option,
                               shape):
    bits, endian = shape
    path = Elf(entry=FLASH + 1, segments=segments, symbols=symbols, bits=bits,
               endian=endian).write(tmp_path / "fw.elf")
    want = model(segments, symbols, option)
    status, out, err = run_cli(velk, monkeypatch, "FLASH", path, option, "--force")
    if want.refused:
        assert status == 255 and out == ""
        assert err.startswith("error: ") and want.refused in err and err.count("\n") == 1
        assert list(tmp_path.iterdir()) == [tmp_path / "fw.elf"]
        return
    assert status == 0, err
    assert f"checksum range:(0x{want.start:08X}~0x{want.record:08X})" in out
    assert f"checksum: [0x{want.checksum:08X}] (fed bytes)" in out
    hex_path = tmp_path / "fw_CRC.hex"
    assert read_hex(hex_path).memory == want.memory
    # Record for record what intelhex writes for the same memory.
    ihex = IntelHex(want.memory)
    ihex.start_addr = {"EIP": FLASH + 1}
    ihex.write_hex_file(str(tmp_path / "package.hex"), write_start_addr=True, byte_count=16)
    assert hex_path.read_bytes() == (tmp_path / "package.hex").read_bytes()
    assert (tmp_path / "fw_CRC.elf").exists() == want.crc_elf

    # CHECK refuses an empty range as FLASH does, unless forced too.
    empty = ["--force"] * (want.record == want.start)
    if want.crc_elf:
        # The ELF tells the slot's size and section: FLASH was forced, CHECK is.
        assert run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.elf", option,
                       "--force")[0] == 0
    # FLASH was forced past the slot checks; CHECK against the build is too.
    assert run_cli(velk, monkeypatch, "CHECK", hex_path, option, "--elf", path,
                   "--force")[0] == 0
    offset = f"--a{want.record - want.start:X}"
    if want.lowest:
        assert run_cli(velk, monkeypatch, "CHECK", hex_path, offset, *empty)[0] == 0
    if want.record > want.start:
        flip_hex_byte(hex_path, random.Random(option).randrange(want.start, want.record))
        check = ["CHECK", hex_path, offset] if want.lowest else [
            "CHECK", hex_path, option, "--elf", path, "--force"]
        assert run_cli(velk, monkeypatch, *check)[0] == 1
