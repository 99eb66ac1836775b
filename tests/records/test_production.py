"""What a production line flashes: the erased value of its flash, and
slots that cannot be right refused before a batch fails its boot check."""

import os
import random
import shutil
import struct

import pytest

from conftest import DATA, run_cli
from crcref import CATALOGUE, crc
from elfwriter import Elf, Segment
from hexcheck import read_hex

LOAD = 0x08000000
MPEG2 = CATALOGUE["CRC-32/MPEG-2"]


def copy(tmp_path, name):
    shutil.copy(os.path.join(DATA, name), tmp_path / "fw.elf")
    return tmp_path / "fw.elf"


# --- The erased value ----------------------------------------------------------

@pytest.mark.parametrize("fill", [0x00, 0xFF, 0x5A])
def test_fill_is_in_the_checksum_the_bin_and_the_hex(velk, monkeypatch, tmp_path, fill):
    """Two segments with a hole between them, the slot in the padding past
    the image: every byte that is not the build's is the fill value."""
    code_bytes, data_bytes = random.Random(1).randbytes(0x40), random.Random(2).randbytes(0x10)
    path = Elf(segments=[Segment(LOAD, code_bytes, section=".text"),
                         Segment(LOAD + 0x80, data_bytes, section=".data")]).write(
        tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", path, "--aFC", "--bin",
                             "--fill", f"0x{fill:02X}")
    assert code == 0, err
    image = (code_bytes + bytes([fill]) * 0x40 + data_bytes + bytes([fill]) * 0x6C)
    value = crc(MPEG2, image)
    assert (tmp_path / "fw_CRC.bin").read_bytes() == image + value.to_bytes(4, "little")
    memory = read_hex(tmp_path / "fw_CRC.hex").memory
    assert bytes(memory[LOAD + i] for i in range(0x100)) == image + value.to_bytes(4, "little")
    for elf in ([], ["--elf", path]):
        assert run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex", "--aFC", *elf,
                       "--fill", f"{fill:#04x}")[0] == 0
    if fill != 0xFF:  # the same file read with erased flash as 0xFF
        assert run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex", "--aFC",
                       "--elf", path)[0] == 1


def test_a_fill_that_is_no_byte_is_refused(velk, monkeypatch, tmp_path):
    code, out, err = run_cli(velk, monkeypatch, "FLASH", copy(tmp_path, "fw_boot.elf"),
                             "--ncrc_value", "--fill", "0x100")
    assert (code, out) == (255, "")
    assert err.endswith('--fill takes the byte erased flash reads, 0x00 to 0xFF: "0x100" is '
                        "not one\n")


# --- Slots that cannot be right -------------------------------------------------

# GCC-built firmware, the slot word, why FLASH refuses it, and why CHECK
# --elf does (the same but for a slot of another size).
SLOTS = [
    ("fw_dupsym.elf", "--ncrc_value",
     "the checksum overwrites 4 bytes of image data (old value 0x22222222) at 0x08000068",
     None),
    ("fw_slot_ram.elf", "--ncrc_value", "crc_value lives in RAM at 0x20000004 (.data, "
                                        "copied there at start-up)", None),
    ("fw_boot.elf", "--nvector_table",
     "vector_table at 0x08000000 is not a 4-byte checksum variable: its size is 64 bytes",
     "vector_table is 64 bytes; CRC-32/MPEG-2 stores 4"),
    ("fw_header_mpeg2.elf", "--napp_header", "app_header at 0x08000040 is not a 4-byte "
                                             "checksum variable: its size is 32 bytes",
     "app_header is 32 bytes; CRC-32/MPEG-2 stores 4"),
]


@pytest.mark.parametrize("name, slot, why, check_why", SLOTS, ids=[s[0] for s in SLOTS])
def test_slots_that_cannot_be_right(velk, monkeypatch, tmp_path, name, slot, why, check_why):
    path = copy(tmp_path, name)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", path, slot)
    assert (code, out) == (255, "") and err.startswith(f"error: {path}: {why}"), err
    assert err.endswith(" (--force writes it anyway)\n") and err.count("\n") == 1
    assert os.listdir(tmp_path) == ["fw.elf"]

    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, slot, "--force")
    assert code == 0 and f"warning: {why}" in err
    hex_path = tmp_path / "fw_CRC.hex"
    code, out, err = run_cli(velk, monkeypatch, "CHECK", hex_path, slot, "--elf", path)
    assert (code, out) == (2, "") and f"{check_why or why}" in err, err
    assert err.endswith(" (--force checks it anyway)\n") and err.count("\n") == 1, err
    assert run_cli(velk, monkeypatch, "CHECK", hex_path, slot, "--elf", path,
                   "--force")[0] == 0


def test_check_refuses_an_empty_range(velk, monkeypatch, tmp_path):
    """An unprocessed build whose slot opens the image would pass."""
    path = Elf(segments=[Segment(LOAD, b"\xff" * 4 + bytes(12), section=".text")],
               symbols=[("crc", LOAD)]).write(tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc")
    assert (code, out) == (2, "")
    assert err == (f"error: {path}: the checksum range is empty: the record at 0x08000000 "
                   "is the image's first byte, so it covers nothing (--force checks it "
                   "anyway)\n")


# --- CHECK on every file FLASH writes ----------------------------------------------

@pytest.mark.parametrize("where", [["--elf", "fw.elf"], ["--base", "0x08000000"],
                                   ["--base", "0x08000000", "--elf", "fw.elf"]],
                         ids=["elf", "base", "base-and-elf"])
@pytest.mark.parametrize("tampered", [None, 0x40, 0x134], ids=["as-written", "code", "slot"])
def test_check_reads_the_bin(velk, monkeypatch, tmp_path, where, tampered):
    path = copy(tmp_path, "fw_boot.elf")
    assert run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value", "--bin")[0] == 0
    binary = tmp_path / "fw_CRC.bin"
    if tampered is not None:
        data = bytearray(binary.read_bytes())
        data[tampered] ^= 0x01
        binary.write_bytes(bytes(data))
    where = [tmp_path / w if w == "fw.elf" else w for w in where]
    code, out, err = run_cli(velk, monkeypatch, "CHECK", binary, "--a134", *where)
    assert code == (0 if tampered is None else 1), err
    first = out.splitlines()[0]
    if tampered is None:
        assert first.startswith("checksum ok: ")
        assert first.endswith(f"; the file is {path}, checksummed") == ("--elf" in where)
    elif tampered == 0x40 and "--elf" in where:
        assert first == (f"content mismatch at 0x08000040: the file holds "
                         f"0x{data[0x40]:02X} where {path} has 0x{data[0x40] ^ 1:02X}")
    else:
        assert first.startswith("checksum mismatch at 0x08000134")
        # With the build the first line says the rest of the file is it.
        assert first.endswith(f"; the file is {path} but for its checksums") == (
            "--elf" in where)


def test_base_is_for_a_raw_binary(velk, monkeypatch, tmp_path):
    path = copy(tmp_path, "fw_boot.elf")
    run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value")
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex", "--a134",
                             "--base", "0x08000000")
    assert (code, out) == (2, "")
    assert err.endswith(": --base places a raw binary; the file is an Intel HEX file, which "
                        "holds its addresses\n")


# --- UF2 ----------------------------------------------------------------------------

UF2_MAGICS = (0x0A324655, 0x9E5D5157, 0x0AB16F30)


def read_uf2(path):
    """Blocks checked field by field as the format describes them: (family,
    address -> byte)."""
    data = path.read_bytes()
    assert len(data) % 512 == 0 and data
    count = len(data) // 512
    families, memory = set(), {}
    for number in range(count):
        block = data[512 * number:512 * (number + 1)]
        words = [int.from_bytes(block[i:i + 4], "little") for i in range(0, 32, 4)]
        start0, start1, flags, address, size, block_no, blocks, family = words
        assert (start0, start1) == UF2_MAGICS[:2]
        assert int.from_bytes(block[508:], "little") == UF2_MAGICS[2]
        assert (flags, size, block_no, blocks) == (0x2000, 256, number, count)
        assert address % 256 == 0 and block[32 + 256:508] == bytes(476 - 256)
        families.add(family)
        for i in range(256):
            assert address + i not in memory
            memory[address + i] = block[32 + i]
    return families, memory


@pytest.mark.parametrize("family, family_id", [("rp2040", 0xE48BFF56), ("RP2350", 0xE48BFF59),
                                               ("stm32f4", 0x57755A57), ("0x12345678", 0x12345678)])
def test_uf2_holds_every_page_of_the_hex(velk, monkeypatch, tmp_path, family, family_id):
    path = copy(tmp_path, "fw_data.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value", "--uf2", family,
                           "--fill", "0x00")
    assert code == 0, err
    hexed = read_hex(tmp_path / "fw_CRC.hex").memory
    families, memory = read_uf2(tmp_path / "fw_CRC.uf2")
    assert families == {family_id}
    # Every page that holds a byte of the HEX, the rest of the page the fill.
    assert {a // 256 for a in memory} == {a // 256 for a in hexed}
    assert memory == {a: hexed.get(a, 0x00) for a in memory}
    assert run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.uf2", "--ncrc_value",
                   "--elf", path, "--fill", "0x00")[0] == 0


def test_an_image_ending_on_a_page_gives_no_block_past_it(velk, monkeypatch, tmp_path):
    path = Elf(segments=[Segment(LOAD, random.Random(8).randbytes(0x1FC) + b"\xff" * 4,
                                 section=".text")]).write(tmp_path / "fw.elf")
    assert run_cli(velk, monkeypatch, "FLASH", path, "--a1FC", "--uf2", "stm32f4")[0] == 0
    _, memory = read_uf2(tmp_path / "fw_CRC.uf2")
    assert sorted({a & ~0xFF for a in memory}) == [LOAD, LOAD + 0x100]


def test_check_names_a_damaged_uf2_block(velk, monkeypatch, tmp_path):
    path = copy(tmp_path, "fw_boot.elf")
    assert run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value", "--uf2", "stm32f4")[0] == 0
    uf2 = tmp_path / "fw_CRC.uf2"
    data = bytearray(uf2.read_bytes())
    data[512 + 508] ^= 0xFF  # block 1's end magic
    uf2.write_bytes(bytes(data))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", uf2, "--a134")
    assert (code, out) == (2, "")
    assert err == (f"error: {uf2}: cannot read it as UF2: block 1: a magic number is wrong: "
                   "the block is damaged\n")


# A UF2 file of our own: 0x3FC bytes and their CRC-32/MPEG-2 at LOAD, in
# blocks of the payload sizes given.
UF2_IMAGE = random.Random(7).randbytes(0x3FC)
UF2_IMAGE += crc(MPEG2, UF2_IMAGE).to_bytes(4, "little")
UF2_FAMILY = 0x57755A57


def uf2_blocks(sizes, flags=0x2000):
    """The blocks, each [flags, address, payload, blockNo, numBlocks]."""
    blocks, at = [], 0
    for number, size in enumerate(sizes):
        blocks.append([flags, LOAD + at, UF2_IMAGE[at:at + size], number, len(sizes)])
        at += size
    assert at == len(UF2_IMAGE)
    return blocks


def uf2_bytes(blocks):
    return b"".join(
        struct.pack("<8I", *UF2_MAGICS[:2], flags, address, len(payload), number, count,
                    UF2_FAMILY) + payload.ljust(476, b"\0") + struct.pack("<I", UF2_MAGICS[2])
        for flags, address, payload, number, count in blocks)


def spoilt_uf2(how):
    if how == "extension-tags":
        return uf2_blocks([256] * 4, flags=0x2000 | 0x8000)
    if how in ("476-bytes", "file-container"):
        blocks = uf2_blocks([256, 476, 292])
        if how == "file-container":
            blocks[1][0] |= 0x1000
        return blocks
    if how == "off-page":  # a whole page's payload, but 0x80 into a page, first in the file
        blocks = uf2_blocks([128, 256, 256, 384])
        return [blocks[1], blocks[0], *blocks[2:]]
    blocks = uf2_blocks([256] * 4)
    if how == "last-missing":
        del blocks[-1]
    elif how == "number-is-count":
        blocks[-1][3] = 4
    return blocks


SKIPPED = ("not a 256-byte page at a page's start: UF2 bootloaders that write whole pages "
           "(the SAMD ones) skip it")


UF2_READS = [
    ("pages", 0, ""),
    ("extension-tags", 0, ""),
    ("476-bytes", 0, f"warning: block 1: 476 bytes at 0x08000100, {SKIPPED}"),
    ("off-page", 0, f"warning: block 0: 256 bytes at 0x08000080, {SKIPPED}"),
    ("file-container", 2, "block 1: part of a file container, not flash contents"),
    ("last-missing", 2, "no block has block number 3: the file is cut short"),
    ("number-is-count", 2, "block 3: block number 4 is not below the block count"),
]


@pytest.mark.parametrize("how, status, said", UF2_READS, ids=[r[0] for r in UF2_READS])
def test_check_reads_uf2_blocks_as_bootloaders_take_them(velk, monkeypatch, tmp_path, how,
                                                        status, said):
    path = tmp_path / "fw.uf2"
    path.write_bytes(uf2_bytes(spoilt_uf2(how)))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--a3FC", "--uf2", "stm32f4")
    if status == 0:
        value = int.from_bytes(UF2_IMAGE[-4:], "little")
        assert (code, out) == (0, f"checksum ok: [0x{value:08X}] at 0x{LOAD + 0x3FC:08X} "
                                  "(fed bytes)\n")
        assert err == (said + "\n" if said else "")
    else:
        assert (code, out, err) == (
            status, "", f"error: {path}: cannot read it as UF2: {said}\n")


def test_a_merged_uf2_with_blocks_bootloaders_skip_is_warned(velk, monkeypatch, tmp_path):
    shutil.copy(os.path.join(DATA, "fw_bootloaded_app.elf"), tmp_path / "app.elf")
    boot = tmp_path / "boot.uf2"
    boot.write_bytes(uf2_bytes(spoilt_uf2("476-bytes")))
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "app.elf", "--ncrc_value",
                           "--merge", boot)
    assert code == 0, err
    assert f"warning: {boot}: block 1: 476 bytes at 0x08000100, {SKIPPED}\n" in err
    merged = read_hex(tmp_path / "app_CRC_merged.hex").memory
    assert bytes(merged[LOAD + i] for i in range(len(UF2_IMAGE))) == UF2_IMAGE


def test_an_unknown_uf2_family_is_refused_with_the_nearest(velk, monkeypatch, tmp_path):
    path = copy(tmp_path, "fw_boot.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value", "--uf2", "rp2")
    assert (code, out) == (255, "")
    assert err.endswith("--uf2 rp2: no such chip family; give another family by its ID as "
                        "0x<hex>\n")
    assert os.listdir(tmp_path) == ["fw.elf"]


@pytest.mark.parametrize("given, family_id", [
    ("0x1", 0x1), ("0X57755a57", 0x57755A57), ("0x0000ABCD", 0xABCD),
    ("0x123456789", None), ("0x00000000F", None), ("0x", None), ("0xG", None),
    ("0x_1", None), ("0x-1", None), ("57755A57", None),
], ids=["one-digit", "upper-prefix-lower-digits", "leading-zeros", "nine-digits",
        "nine-with-zeros", "prefix-alone", "not-hex", "underscore", "sign", "no-prefix"])
def test_a_family_id_is_0x_and_one_to_eight_hex_digits(velk, monkeypatch, tmp_path, given,
                                                      family_id):
    path = copy(tmp_path, "fw_boot.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value", "--uf2", given)
    if family_id is None:
        assert (code, err) == (255, f"error: {path}: --uf2 {given}: no such chip family; "
                                    "give another family by its ID as 0x<hex>\n")
        return
    assert code == 0, err
    assert read_uf2(tmp_path / "fw_CRC.uf2")[0] == {family_id}


def test_the_api_merges_as_the_command_line_does(velk, monkeypatch, tmp_path):
    """merge= and --merge=<file> name the same file: the same merged HEX."""
    import velk_crc
    shutil.copy(os.path.join(DATA, "fw_bootloaded_app.elf"), tmp_path / "app.elf")
    boot = os.path.join(DATA, "fw_bootloader.hex")
    assert run_cli(velk, monkeypatch, "FLASH", tmp_path / "app.elf", "--ncrc_value",
                   f"--merge={boot}")[0] == 0
    by_command = (tmp_path / "app_CRC_merged.hex").read_bytes()
    report = velk_crc.flash(tmp_path / "app.elf", symbol="crc_value", merge=[boot])
    assert str(tmp_path / "app_CRC_merged.hex") in report.files
    assert (tmp_path / "app_CRC_merged.hex").read_bytes() == by_command
    merged = read_hex(tmp_path / "app_CRC_merged.hex").memory
    assert merged[LOAD] == read_hex(boot).memory[LOAD]


def test_a_bin_beside_far_data_and_one_that_looks_like_text(velk, monkeypatch, tmp_path):
    """FLASH's .bin holds the image alone, whatever its first bytes: CHECK
    with the build reads it raw and leaves the far segment to a note."""
    image = b" :S1" + random.Random(4).randbytes(0x7C)
    path = Elf(segments=[Segment(LOAD, image, section=".text"),
                         Segment(0x90000000, bytes(16), section=".far")]).write(
        tmp_path / "fw.elf")
    assert run_cli(velk, monkeypatch, "FLASH", path, "--a80", "--bin")[0] == 0
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.bin", "--a80",
                             "--elf", path)
    assert code == 0 and out.endswith(f"; the file is {path}, checksummed\n"), err
    assert "16 loadable bytes of" in err and "outside the raw binary" in err
    assert run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.bin", "--a80", "--base",
                   "0x08000000")[0] == 0


@pytest.mark.parametrize("option, why", [
    (["--fill", "10"], '--fill takes the byte erased flash reads, 0x00 to 0xFF: "10" is not '
                       'one (the value takes 0x: --fill 0x10)'),
    # Bare digits are told the spelling meant, never read: the hex reading
    # where it is a byte (a dump's FF), else the decimal one.
    (["--fill", "FF"], '"FF" is not one (the value takes 0x: --fill 0xFF)'),
    (["--fill", "ff"], '"ff" is not one (the value takes 0x: --fill 0xFF)'),
    (["--fill", "80"], '"80" is not one (the value takes 0x: --fill 0x80)'),
    (["--fill", "255"], '"255" is not one (the value takes 0x: --fill 0xFF)'),
    (["--fill", "0"], '"0" is not one (the value takes 0x: --fill 0x00)'),
    (["--fill", "256"], '"256" is not one\n'),
    (["--fill", "0x1_2"], '"0x1_2" is not one'),
    (["--fill", "0x0000000000000000FF"], '"0x0000000000000000FF" is not one'),
    (["--merge", "boot.bin@0x100000000"], "past 4 GiB, which Intel HEX cannot address"),
    (["--merge", "boot.bin@0xFFFFFFF8"], "past 4 GiB, which Intel HEX cannot address"),
    (["--merge", "boot.bin@0x0800_0000"], '"0x0800_0000" is not an address'),
    (["--merge", "boot.bin@0x07FFFFF0", "--merge", "boot.bin@0x07FFFFF0"],
     "boot.bin is given to --merge twice"),
    (["--merge", "boot.uf2", "--uf2", "rp2040"],
     "a UF2 file for chip family 0x57755A57, not the 0xE48BFF56 of --uf2"),
])
def test_merged_and_numeric_refusals(velk, monkeypatch, tmp_path, option, why):
    path = copy(tmp_path, "fw_boot.elf")
    (tmp_path / "boot.bin").write_bytes(bytes(16))
    assert run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value", "--uf2", "stm32f4")[0] == 0
    os.rename(tmp_path / "fw_CRC.uf2", tmp_path / "boot.uf2")
    for name in os.listdir(tmp_path):
        if name.startswith("fw_CRC"):
            os.remove(tmp_path / name)
    before = sorted(os.listdir(tmp_path))
    option = [str(tmp_path / o) if o.startswith("boot.") else o for o in option]
    code, out, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value", *option)
    assert (code, out) == (255, "") and why in err and err.count("\n") == 1, err
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("where", ["--base", "--fill", "@", "--merge"])
def test_an_address_of_sixteen_hex_digits_is_read(velk, monkeypatch, tmp_path, where):
    """Every 0x number takes a whole 64-bit address: 16 hex digits."""
    path = copy(tmp_path, "fw_boot.elf")
    slot = LOAD + 0x134
    if where == "--base":
        assert run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value", "--bin")[0] == 0
        code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.bin", "--a134",
                                 "--base", "0x0000000008000000")
        assert (code, out[:15]) == (0, "checksum ok: [0"), err
        return
    if where == "--fill":
        # A hole in the image, filled with the value given.
        path = Elf(segments=[Segment(LOAD, bytes(range(0x40)), section=".text"),
                             Segment(LOAD + 0x80, bytes(0x10), section=".data")]).write(path)
        words, slot = ["--aFC", "--fill", "0x000000000000005A"], LOAD + 0xFC
    elif where == "@":
        words = ["--ncrc_value@0x0000000008000000"]
    else:
        (tmp_path / "boot.bin").write_bytes(bytes(range(16)))
        words = ["--ncrc_value", "--merge", f"{tmp_path / 'boot.bin'}@0x0000000007FFFFF0"]
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, *words)
    assert code == 0, err
    memory = read_hex(tmp_path / "fw_CRC.hex").memory
    image = bytes(memory[a] for a in range(LOAD, slot))
    assert int.from_bytes(bytes(memory[a] for a in range(slot, slot + 4)), "little") == crc(
        MPEG2, image)
    if where == "--fill":
        assert image[0x40:0x80] == b"\x5a" * 0x40
    if where == "--merge":
        merged = read_hex(tmp_path / "fw_CRC_merged.hex").memory
        assert bytes(merged[0x07FFFFF0 + i] for i in range(16)) == bytes(range(16))


def test_a_merged_elf_without_an_entry_point_leaves_the_start_to_the_next(velk, monkeypatch,
                                                                          tmp_path):
    """e_entry 0 is no entry point: the application's start address stays."""
    shutil.copy(os.path.join(DATA, "fw_bootloaded_app.elf"), tmp_path / "app.elf")
    Elf(entry=0, segments=[Segment(0x08008000, bytes(range(16)), section=".cal")]).write(
        tmp_path / "cal.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "app.elf", "--ncrc_value",
                           "--merge", tmp_path / "cal.elf")
    assert code == 0, err
    own = read_hex(tmp_path / "app_CRC.hex").start_linear
    assert read_hex(tmp_path / "app_CRC_merged.hex").start_linear == own != 0
    assert "no merged file has one" in err


def test_a_uf2_below_its_image_hints_at_the_build(velk, monkeypatch, tmp_path):
    """The image starts 0x80 into a page: the UF2 starts at the page, and a
    range from there reads the page's fill."""
    path = Elf(segments=[Segment(LOAD + 0x80, random.Random(6).randbytes(0x7C) + b"\xff" * 4,
                                 section=".text")],
               symbols=[("crc", LOAD + 0xFC, 4, 1)]).write(tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc", "--uf2", "stm32f4")
    assert code == 0 and "the UF2's first block covers 0x08000000 to 0x0800007F" in err
    uf2 = tmp_path / "fw_CRC.uf2"
    code, _, err = run_cli(velk, monkeypatch, "CHECK", uf2, "--aFC")
    assert code == 1 and "hint: a UF2 file starts on a 256-byte page" in err
    assert run_cli(velk, monkeypatch, "CHECK", uf2, "--ncrc", "--elf", path)[0] == 0
