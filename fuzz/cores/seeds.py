"""Writes seed inputs for one core fuzzer into a corpus folder, made from
the test firmware at run time (nothing here is kept in the repository).

    python fuzz/cores/seeds.py <hex_reader|srec_reader|symbol_scan|elf_reader|layout|uf2> <dir>
"""

import os
import random
import struct
import subprocess
import sys
import tempfile

from elftools.elf.elffile import ELFFile
from elftools.elf.sections import SymbolTableSection

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIRMWARE = sorted(
    os.path.join(ROOT, "tests", "data", n)
    for n in os.listdir(os.path.join(ROOT, "tests", "data")) if n.endswith(".elf"))
FIRMWARE.append(os.path.join(ROOT, "examples", "blinky.elf"))
PT_LOAD = 1


def segments(path):
    """(paddr, bytes) of each PT_LOAD with file bytes, as a flash tool loads it."""
    with open(path, "rb") as f:
        elf = ELFFile(f)
        out = []
        for seg in elf.iter_segments():
            if seg["p_type"] == "PT_LOAD":
                n = min(seg["p_filesz"], seg["p_memsz"])
                if n:
                    out.append((seg["p_paddr"], seg.data()[:n]))
        return out, elf["e_entry"]


def objcopy(path, target, *extra):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out")
        subprocess.run(["objcopy", "-O", target, *extra, path, out], check=True)
        with open(out, "rb") as f:
            return f.read()


def hex_seeds():
    from intelhex import IntelHex
    import io
    for path in FIRMWARE:
        name = os.path.basename(path)[:-4]
        ih = IntelHex()
        segs, entry = segments(path)
        for address, data in segs:
            ih.frombytes(data, offset=address)
        ih.start_addr = {"EIP": entry}
        text = io.StringIO()
        ih.write_hex_file(text, write_start_addr=True, byte_count=16)
        yield name + "_intelhex", text.getvalue().encode()
        yield name + "_objcopy", objcopy(path, "ihex")
    # Records the writer never makes but a HEX file may hold: segment
    # addresses, a CS:IP start, lower-case digits, "\r\n" and "\r" endings,
    # blank lines and trailing blanks, text after the end record.
    yield "segment", (ihex(2, 0, b"\x10\x00") + ihex(3, 0, b"\x00\x00\x12\x34")
                      + ihex(0, 0x100, b"\x01\x02\x03\x04") + ihex(1, 0)).encode()
    line = lambda *a: ihex(*a).rstrip("\n")
    yield "crlf_lower", (line(5, 0, bytes(4)).lower() + "\r\n\r\n"
                         + line(4, 0, b"\x08\x00") + "\r"
                         + line(0, 0, bytes(range(16))).lower() + " \t\r\n"
                         + line(1, 0) + "\r\njunk after the end\n").encode()
    yield "overlap", (ihex(0, 0, b"\x01\x02\x03\x04") + ihex(0, 2, b"\x05\x06")
                      + ihex(1, 0)).encode()
    # A run across a 64 KiB page at an address no record boundary of 16
    # lands on, and records overlapping by one byte.
    yield "page_cross", (ihex(4, 0, b"\x08\x00") + ihex(0, 0xFFF4, bytes(range(12)))
                         + ihex(4, 0, b"\x08\x01") + ihex(0, 0, bytes(range(20)))
                         + ihex(1, 0)).encode()
    yield "overlap_one", (ihex(0, 0x10, b"\x01\x02\x03\x04") + ihex(0, 0x13, b"\x05\x06")
                          + ihex(1, 0)).encode()
    yield "page_end", (ihex(4, 0, b"\xff\xff") + ihex(0, 0xFFF8, bytes(range(8)))
                       + ihex(1, 0)).encode()


def ihex(kind, address, data=b""):
    body = bytes([len(data)]) + address.to_bytes(2, "big") + bytes([kind]) + data
    return ":%s%02X\n" % (body.hex().upper(), -sum(body) & 0xFF)


def srec(kind, address, width, data=b""):
    body = bytes([width + len(data) + 1]) + address.to_bytes(width, "big") + data
    return "S%s%s%02X\n" % (kind, body.hex().upper(), ~sum(body) & 0xFF)


def srec_seeds():
    for path in FIRMWARE:
        name = os.path.basename(path)[:-4]
        yield name + "_objcopy", objcopy(path, "srec")
        yield name + "_s3", objcopy(path, "srec", "--srec-forceS3", "--srec-len=32")
    # A count record, 24-bit addresses, lower-case 's', blank lines.
    yield "s2_count", (srec("0", 0, 2, b"hdr") + srec("2", 0x123456, 3, b"\x01\x02\x03")
                       + "\n" + srec("2", 0x123459, 3, b"\xff") + srec("5", 2, 2)
                       + srec("8", 0x123456, 3)).encode()
    # The highest address a 16-bit record holds, as data and as the entry.
    yield "s1_top", (srec("1", 0xFFF0, 2, bytes(range(16))) + srec("9", 0xFFFF, 2)).encode()
    yield "s2_top", (srec("2", 0xFFFFF8, 3, bytes(range(8))) + srec("8", 0, 3)).encode()
    yield "s1_lower", (srec("1", 0x10, 2, b"abc").lower() + srec("9", 0, 2)).encode()
    yield "overlap", (srec("1", 0x10, 2, b"abcd") + srec("1", 0x12, 2, b"xy")
                      + srec("9", 0, 2)).encode()
    # srec_cat without a start address: the count record ends the file.
    yield "count_ends", (srec("0", 0, 2, b"hdr") + srec("3", 0x08000000, 4, b"\x01\x02")
                         + srec("5", 1, 2) + "\n").encode()
    # A record after the termination record.
    yield "after_end", (srec("1", 0x10, 2, b"ab") + srec("9", 0x11, 2) + "\n"
                        + srec("1", 0x20, 2, b"cd")).encode()


def symbol_tables(path):
    """(elf64, little, table bytes, string table bytes) of each symbol table."""
    with open(path, "rb") as f:
        elf = ELFFile(f)
        for sec in elf.iter_sections():
            if isinstance(sec, SymbolTableSection):
                strings = elf.get_section(sec["sh_link"]).data()
                yield elf.elfclass == 64, elf.little_endian, sec.data(), strings


def as_format(table, elf64, little):
    """An ELF32 little-endian symbol table in another class and byte order."""
    out = b""
    end = "<" if little else ">"
    for at in range(0, len(table) - len(table) % 16, 16):
        name, value, size, info, other, shndx = struct.unpack_from("<IIIBBH", table, at)
        if elf64:
            out += struct.pack(end + "IBBHQQ", name, info, other, shndx, value, size)
        else:
            out += struct.pack(end + "IIIBBH", name, value, size, info, other, shndx)
    return out


def symbol_seed(flags, pick, tables):
    out = bytes([flags, pick])
    for i, (table, strings) in enumerate(tables):
        out += struct.pack("<H", len(table)) + table
        if i + 1 < len(tables):
            out += struct.pack("<H", len(strings))
        out += strings
    return out


def symbol_seeds():
    for path in FIRMWARE:
        name = os.path.basename(path)[:-4]
        for elf64, little, table, strings in symbol_tables(path):
            assert not elf64 and little
            count = len(table) // 16
            for pick in (1, count // 2, count - 1):
                for e64 in (False, True):
                    for le in (False, True):
                        flags = (1 if e64 else 0) | (2 if le else 0)
                        t = as_format(table, e64, le)
                        yield ("%s_%d_%d%d" % (name, pick, e64, le),
                               symbol_seed(flags, pick, [(t, strings)]))
            # Two tables in a row, the first with matches already: one
            # earlier match (count byte 0), values not differing, its value,
            # size and info.
            earlier = bytes([0, 0]) + (0x08000134).to_bytes(8, "little") + b"\x04\x00\x11"
            two = symbol_seed(2 | 32 | 64, count - 1, [(table, strings), (table, strings)])
            yield name + "_two", two[:2] + earlier + two[2:]


def program_headers(path):
    with open(path, "rb") as f:
        elf = ELFFile(f)
        size = os.fstat(f.fileno()).st_size
        hs = [(s["p_type"] == "PT_LOAD", s["p_paddr"], s["p_vaddr"], s["p_offset"],
               s["p_filesz"], s["p_memsz"]) for s in elf.iter_segments()]
        symbols = {}
        for sec in elf.iter_sections():
            if isinstance(sec, SymbolTableSection):
                for sym in sec.iter_symbols():
                    symbols[sym.name] = sym["st_value"]
        return hs, size, symbols


def number(value):
    """Tag 3: eight bytes, little-endian."""
    return bytes([3]) + value.to_bytes(8, "little")


def layout_seed(hs, size, request):
    out = bytes([len(hs)]) + min(size, 0xFFFF).to_bytes(2, "little")
    for load, paddr, vaddr, offset, filesz, memsz in hs:
        out += bytes([1 if load else 0])
        for v in (paddr, vaddr, offset, filesz, memsz):
            out += number(v)
    return out + request + bytes(range(1, 40))


def layout_seeds():
    for path in FIRMWARE:
        name = os.path.basename(path)[:-4]
        hs, size, symbols = program_headers(path)
        slot = symbols.get("crc_value", symbols.get("crc", 0x08000100))
        # name mode through locate_slot (how 3: name, bit 0 of how / 3 set)
        yield name + "_name", layout_seed(hs, size, bytes([3, 0]) + number(slot))
        yield name + "_address", layout_seed(hs, size, bytes([1]) + number(0x70))
        yield name + "_block", layout_seed(hs, size, bytes([2, 10]))


def near(delta):
    """Tag 4: the previous span's end (paddr) or the paddr (vaddr) plus delta."""
    return bytes([4]) + delta.to_bytes(3, "little")


def layout_seeds_by_hand():
    """Gaps of exactly 64 KiB (one cluster) and of one byte more (two clusters)."""
    def header(paddr, offset, size):
        return bytes([1]) + paddr + near(0) + number(offset) + number(size) + number(size)
    hs = (header(number(0x08000000), 0, 0x100) + header(near(0x10000), 0x100, 0x40)
          + header(near(0x10001), 0x140, 0x20))
    head = bytes([3]) + (0x200).to_bytes(2, "little")
    yield "gaps_address", head + hs + bytes([1, 0]) + near(0x10100) + bytes(range(1, 40))
    yield "gaps_block", head + hs + bytes([2, 12]) + bytes(range(1, 40))
    yield "gaps_name", head + hs + bytes([0, 1]) + near(0x10000) + bytes(range(1, 40))


def all_layout_seeds():
    yield from layout_seeds()
    yield from layout_seeds_by_hand()


def extended_numbering(data):
    """The same file with its counts and the section-name table index kept in
    section header 0 (PN_XNUM, e_shnum 0, SHN_XINDEX), as a file with more
    sections or segments than the ELF header can count keeps them."""
    wide, end = data[4] == 2, "<" if data[5] == 1 else ">"
    word = "Q" if wide else "I"
    out = bytearray(data)
    phnum_at = 56 if wide else 44
    phnum, _, shnum, shstrndx = struct.unpack_from(end + "HHHH", out, phnum_at)
    (shoff,) = struct.unpack_from(end + word, out, 40 if wide else 32)
    struct.pack_into(end + word, out, shoff + (32 if wide else 20), shnum)  # sh_size
    struct.pack_into(end + "II", out, shoff + (40 if wide else 24), shstrndx, phnum)
    struct.pack_into(end + "H", out, phnum_at, 0xFFFF)
    struct.pack_into(end + "HH", out, phnum_at + 4, 0, 0xFFFF)
    return bytes(out)


def elf_seeds():
    for path in FIRMWARE:
        with open(path, "rb") as f:
            yield os.path.basename(path)[:-4], f.read()
    # Small files of each class and byte order, made by the tests' ELF writer.
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from elfwriter import Elf, Segment
    for bits in (32, 64):
        for endian, order in (("<", "le"), (">", "be")):
            elf = Elf(bits=bits, endian=endian, entry=0x08000101,
                      segments=[Segment(0x08000000, bytes(range(64)), section=".text"),
                                Segment(0x20000000, b"", memsz=16)],
                      symbols=[("crc_value", 0x08000030), ("main", 0x08000001, 20, 2)],
                      second_symtab=[("dyn", 0x08000010)])
            data = elf.build()
            yield "small%d_%s" % (bits, order), data
            yield "extended%d_%s" % (bits, order), extended_numbering(data)


def uf2_block(address, number, total, payload, flags=0x2000, family=0xE48BFF56):
    """One 512-byte UF2 block: eight little-endian words, 476 data bytes, end magic."""
    head = struct.pack("<8I", 0x0A324655, 0x9E5D5157, flags, address, len(payload),
                       number, total, family)
    return head + payload + bytes(476 - len(payload)) + struct.pack("<I", 0x0AB16F30)


def uf2_of(segs, payload=256, fill=0xFF, family=0xE48BFF56):
    """Blocks of `payload` bytes at multiples of it for every such page a segment
    touches, `fill` where no segment has a byte."""
    held = {}
    for address, data in segs:
        for i, b in enumerate(data):
            held[address + i] = b
    pages = sorted({a - a % payload for a in held})
    return b"".join(
        uf2_block(p, n, len(pages), bytes(held.get(p + i, fill) for i in range(payload)),
                  family=family)
        for n, p in enumerate(pages))


def uf2_seeds():
    """The first byte picks the harness's mode: 1 a file as it is, 2 a file
    shaped by the next two bytes' bits, 0 a memory map."""
    for path in FIRMWARE:
        name = os.path.basename(path)[:-4]
        segs, _ = segments(path)
        yield name, b"\x01" + uf2_of(segs)
        yield name + "_476", b"\x01" + uf2_of(segs, payload=476, fill=0, family=0xADA52840)
    segs = [(0x10000000, bytes(range(256)) * 2)]
    whole = uf2_of(segs)
    # A comment block not for the flash, blocks out of order, a family-less file.
    comment = uf2_block(0, 2, 3, b"source code", flags=0x1)
    first, second = whole[:512], whole[512:]
    renumber = lambda blk, total: blk[:24] + struct.pack("<I", total) + blk[28:]
    yield "comment", b"\x01" + renumber(first, 3) + comment + renumber(second, 3)
    yield "reversed", b"\x01" + second + first
    yield "no_family", b"\x01" + uf2_block(0x2000, 0, 1, bytes(range(100)), flags=0)
    yield "top", b"\x01" + uf2_block(0xFFFFFF00, 0, 1, bytes(256))
    # Family names and numbers, as text.
    for name in (b"rp2350", b"RP2350_ARM_S", b"Stm32F4", b"0xE48BFF56", b"0x1", b"0x123456789"):
        yield "family_" + name.decode(), b"\x01" + name
    yield "shaped", b"\x02\x00\x06" + whole
    # Shaped: block numbers drawn at random (repeats and gaps), one family;
    # a family ID of 0 beside a block without the family flag.
    four = uf2_of([(0x10000000, bytes(range(256)) * 4)])
    yield "shaped_numbers", b"\x02\x10\x06" + four
    no_flag = four[512:520] + struct.pack("<I", 0) + four[524:1024]
    yield "shaped_family_zero", b"\x02\x00\x08" + four[:512] + no_flag + four[1024:]
    # Memory maps: base choice, a piece count, then per piece its bits, gap,
    # size and bytes; then the record, fill and family.
    yield "map_small", (b"\x00\x00\x01\x02" + b"\x00" + b"\x10\x00" + b"\x20\x00"
                        + bytes(range(33)) + b"\x08" + b"\x40\x00" + b"\x10\x00"
                        + b"\x01\x00\xff" + b"\x56\xff\x8b\xe4")
    yield "map_top", (b"\x00\x00\x04\x01" + b"\x04" + b"\x00\x00" + b"\xff\x00"
                      + bytes(256) + b"\x00\x00" + b"\x59\xff\x8b\xe4")


def records_seeds():
    """A few operations and records over an image of counting bytes."""
    rng = random.Random(3)
    for n in range(4):
        ops = bytes([8]) + b"".join(
            bytes([rng.randrange(2)]) + rng.randrange(512).to_bytes(2, "little") +
            rng.randrange(512).to_bytes(2, "little") for _ in range(8))
        records = bytes([0xFF, 3]) + b"".join(
            rng.randrange(512).to_bytes(2, "little") + bytes([2]) +
            rng.randrange(512).to_bytes(2, "little") + rng.randrange(512).to_bytes(2, "little") +
            rng.randrange(512).to_bytes(2, "little") + bytes([rng.randrange(64)])
            for _ in range(3))
        yield "records%d" % n, ops + records + bytes(range(256)) * 2


SEEDS = {"hex_reader": hex_seeds, "srec_reader": srec_seeds,
         "symbol_scan": symbol_seeds, "elf_reader": elf_seeds, "layout": all_layout_seeds,
         "uf2": uf2_seeds, "records": records_seeds}


def main():
    kind, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    count = 0
    for name, data in SEEDS[kind]():
        with open(os.path.join(folder, "seed_" + name), "wb") as f:
            f.write(data)
        count += 1
    print("%d seeds for %s in %s" % (count, kind, folder))


if __name__ == "__main__":
    main()
