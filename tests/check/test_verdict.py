"""CHECK's verdict is about the file's bytes: a damaged file is no verdict, a
record is right only when the file's own bytes give what it holds (and with
--elf the build's too), the start address and every byte of the build are
part of the build, and a merged file is checked against what was merged."""

import os
import re
import shutil
import struct

import pytest

import velk_crc
from conftest import DATA, crc32_mpeg2, run_cli
from crcref import CATALOGUE, crc
from elfwriter import Elf, Segment, STT_OBJECT
from hexcheck import flip_hex_byte, hex_record, read_hex

LOAD = 0x08000000
APP = 0x08004000


@pytest.fixture
def written(velk, monkeypatch, tmp_path):
    """fw_boot.elf through FLASH: every file kind, the checksum at 0x08000134."""
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), path)
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value", "--bin", "--srec",
                           "--uf2", "stm32f4")
    assert code == 0, err
    return path


def spoil_text(path, how, to):
    lines = path.read_text().splitlines(keepends=True)
    if how == "bad-checksum":
        record = lines[3].rstrip("\n")
        lines[3] = record[:-2] + f"{(int(record[-2:], 16) + 1) & 0xFF:02X}\n"
    else:  # cut short
        lines = lines[:len(lines) // 2]
    to.write_text("".join(lines))


def spoil_uf2(path, how, to):
    data = bytearray(path.read_bytes())
    if how == "cut-short":
        data = data[:-512]
    else:  # a damaged block's start magic
        data[512] ^= 0x01
    to.write_bytes(bytes(data))


# The file FLASH wrote, how it is damaged, and what the one error line names.
DAMAGED = [
    ("fw_CRC.hex", "bad-checksum", "line 4: the record's checksum does not add up"),
    ("fw_CRC.hex", "cut-short", "no end-of-file (01) record: the file is cut short"),
    ("fw_CRC.srec", "bad-checksum", "line 4: the record's checksum does not add up"),
    ("fw_CRC.uf2", "cut-short", "no block has block number"),
    ("fw_CRC.uf2", "bad-magic", "block 1: a magic number is wrong"),
]


@pytest.mark.parametrize("elf", [False, True], ids=["alone", "with-elf"])
@pytest.mark.parametrize("name, how, line", DAMAGED,
                         ids=[f"{d[0][-4:]}-{d[1]}" for d in DAMAGED])
def test_a_damaged_file_is_no_verdict(velk, monkeypatch, written, name, how, line, elf):
    """Read as what it is, never as a raw binary once a base is known."""
    spoiled = written.with_name("spoiled" + os.path.splitext(name)[1])
    (spoil_uf2 if name.endswith(".uf2") else spoil_text)(written.with_name(name), how, spoiled)
    extra = ["--elf", written] if elf else []
    code, out, err = run_cli(velk, monkeypatch, "CHECK", spoiled, "--a134", *extra)
    assert (code, out) == (2, "") and err.startswith(f"error: {spoiled}: "), err
    assert line in err and err.count("\n") == 1
    with pytest.raises(velk_crc.CannotVerify, match=re.escape(line)):
        velk_crc.check(spoiled, offset=0x134, elf=written if elf else None)


def test_the_name_decides_and_else_the_content(velk, monkeypatch, written):
    """A file without a telling name is read as its content says, damaged or
    not; --base reads it raw, as a .bin name does."""
    text = written.with_name("fw_CRC.hex").read_text()
    image = written.with_name("image")
    image.write_text(text)
    assert run_cli(velk, monkeypatch, "CHECK", image, "--a134", "--elf", written)[0] == 0
    image.write_text(text.replace(":10", ":11", 1))
    code, _, err = run_cli(velk, monkeypatch, "CHECK", image, "--a134", "--elf", written)
    assert code == 2 and "line 3: " in err
    # Raw bytes that start like a record: read raw at --base, or by the name.
    raw = b":S" + written.with_name("fw_CRC.bin").read_bytes()[2:]
    for name, place in (("raw.dat", ["--base", "0x08000000"]), ("raw.bin", [])):
        written.with_name(name).write_bytes(raw)
        code, out, _ = run_cli(velk, monkeypatch, "CHECK", written.with_name(name), "--a134",
                               "--elf", written, *place)
        assert code == 1 and out.startswith("content mismatch at 0x08000000: the file holds "
                                            "0x3A where"), out


@pytest.mark.parametrize("name", ["build.hex", "build"])
def test_the_build_is_an_elf_file_by_its_content(velk, monkeypatch, written, name):
    """FLASH reads the build whatever its name: CHECK --elf takes it so too,
    and refuses a HEX file as what its content says it is."""
    build = written.with_name(name)
    shutil.copy(written, build)
    hex_path = written.with_name("fw_CRC.hex")
    assert run_cli(velk, monkeypatch, "CHECK", hex_path, "--a134", "--elf", build)[0] == 0
    shutil.copy(hex_path, build.with_name("hex.elf"))
    assert run_cli(velk, monkeypatch, "CHECK", hex_path, "--a134", "--elf",
                   build.with_name("hex.elf")) == (
        2, "", f"error: {hex_path}: {build.with_name('hex.elf')}: an Intel HEX file, not the "
        "build's ELF file: --elf takes the linker's output the file was made from\n")


@pytest.mark.parametrize("kind", [".bin", ".hex"])
def test_a_changed_byte_is_what_the_checksum_line_computes(velk, monkeypatch, written, kind):
    """The file's own bytes give another checksum than the stored one: the
    line says so, and never 'ok'."""
    path = written.with_name("fw_CRC" + kind)
    if kind == ".bin":
        data = bytearray(path.read_bytes())
        data[0x10] ^= 0xFF
        path.write_bytes(bytes(data))
    else:
        flip_hex_byte(path, LOAD + 0x10)
    memory = read_hex(written.with_name("fw_CRC.hex")).memory
    file_bytes = bytes(memory[LOAD + i] for i in range(0x134))
    if kind == ".bin":
        file_bytes = bytes(path.read_bytes()[:0x134])
    stored = int.from_bytes(bytes(memory[LOAD + 0x134 + i] for i in range(4)), "little")
    own = crc32_mpeg2(file_bytes)
    assert own != stored
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", "--elf", written)
    content, record = out.splitlines()
    assert code == 1 and content.startswith("content mismatch at 0x08000010: the file holds ")
    assert record == (f"checksum mismatch at 0x08000134: stored [0x{stored:08X}], computed "
                      f"[0x{own:08X}] from the file's bytes, [0x{stored:08X}] from "
                      f"{written}'s (fed bytes)")
    report = velk_crc.check(path, symbol="crc_value", elf=written)
    assert (report.ok, report.stored, report.checksum, report.expected) == (
        False, stored, own, stored)
    assert [(r["value"], r["expected"], r["ok"]) for r in report.records] == [
        (own, stored, False)]


def test_a_file_checksummed_over_other_bytes_is_not_the_build(velk, monkeypatch, written):
    """Changed and checksummed again: the bootloader would take it, but it
    is not this build, and its checksum line says whose value it holds."""
    path = written.with_name("fw_CRC.bin")
    data = bytearray(path.read_bytes())
    data[0x10] ^= 0xFF
    own = crc32_mpeg2(bytes(data[:0x134]))
    build = int.from_bytes(data[0x134:0x138], "little")
    data[0x134:0x138] = own.to_bytes(4, "little")
    path.write_bytes(bytes(data))
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", "--elf", written)
    assert code == 1 and out.splitlines()[1] == (
        f"checksum mismatch at 0x08000134: stored [0x{own:08X}], computed [0x{own:08X}] from "
        f"the file's bytes, [0x{build:08X}] from {written}'s (fed bytes)")
    assert run_cli(velk, monkeypatch, "CHECK", path, "--a134", "--base", "0x08000000")[0] == 0


@pytest.mark.parametrize("case", ["vectors-only", "slot-not-last"])
def test_a_raw_binary_cut_short_is_a_mismatch(velk, monkeypatch, tmp_path, case):
    """Every loadable byte of the build must be in the file, even when each
    record's range is."""
    path = tmp_path / "fw.elf"
    if case == "vectors-only":
        shutil.copy(os.path.join(DATA, "fw_boot.elf"), path)
        records, keep = ["--lpc-vectors"], 0x20
    else:
        Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(range(0x40)) + b"\xff" * 4
                                              + bytes(range(0x40, 0x80)), section=".text")],
            symbols=[("crc", LOAD + 0x40)]).write(path)
        records, keep = ["--ncrc"], 0x44
    assert run_cli(velk, monkeypatch, "FLASH", path, *records, "--bin")[0] == 0
    cut = tmp_path / "cut.bin"
    whole = (tmp_path / "fw_CRC.bin").read_bytes()
    cut.write_bytes(whole[:keep])
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", cut, *records, "--elf", path)
    assert code == 1 and out.startswith(
        f"content mismatch at 0x{LOAD + keep:08X}: the file ends there, where {path} has "
        f"0x{whole[keep]:02X}\n"), out
    assert "the file is" not in out


def with_start(text, start):
    """The HEX text with its start linear address record replaced (or, with
    None, left out)."""
    lines = [line for line in text.splitlines(keepends=True) if line[7:9] != "05"]
    if start is not None:
        lines.insert(0, hex_record(5, 0, start.to_bytes(4, "big")))
    return "".join(lines)


@pytest.mark.parametrize("start, line", [
    (0x08000101, "start address mismatch: the file's is 0x08000101; {elf}'s entry point is "
                 "0x{entry:08X}"),
    (None, "start address mismatch: the file has none; {elf}'s entry point is 0x{entry:08X}"),
], ids=["another", "none"])
def test_the_start_address_is_part_of_the_build(velk, monkeypatch, written, start, line):
    path = written.with_name("fw_CRC.hex")
    entry = read_hex(path).start_linear
    path.write_text(with_start(path.read_text(), start))
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", "--elf", written)
    first, record = out.splitlines()
    assert code == 1 and first == line.format(elf=written, entry=entry)
    assert record.startswith("checksum ok: ") and "the file is" not in record
    # Without the build there is no entry point to compare with.
    assert run_cli(velk, monkeypatch, "CHECK", path, "--a134")[0] == 0


@pytest.mark.parametrize("file", ["fw_CRC.elf", "fw_CRC.hex"])
def test_a_slot_of_another_width_is_no_verdict(velk, monkeypatch, tmp_path, file):
    """Read across the slot's end, every file would be a mismatch: a stale
    build by the CI's reading. The ELF tells the slot's size."""
    data = bytes(range(0x40)) + b"\xff\xff" + bytes(14)
    path = Elf(entry=LOAD + 1, segments=[Segment(LOAD, data, section=".text")],
               symbols=[("crc_slot", LOAD + 0x40, 2, STT_OBJECT)]).write(tmp_path / "fw.elf")
    iso = ["--crc", "CRC-32/ISO-HDLC"]
    assert run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_slot", *iso, "--force")[0] == 0
    elf = [] if file.endswith(".elf") else ["--elf", path]
    prefix = f"{path}: " if elf else ""
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / file, "--ncrc_slot", *iso,
                             *elf)
    assert (code, out) == (2, "") and err == (
        f"error: {tmp_path / file}: {prefix}crc_slot is 2 bytes; CRC-32/ISO-HDLC stores 4 "
        "(--force checks it anyway)\n")
    assert run_cli(velk, monkeypatch, "CHECK", tmp_path / file, "--ncrc_slot", *iso, *elf,
                   "--force")[0] == 0


# --- Merged files -----------------------------------------------------------------

@pytest.fixture
def merged(velk, monkeypatch, tmp_path):
    """The bootloaded application merged with the bootloader's HEX."""
    shutil.copy(os.path.join(DATA, "fw_bootloaded_app.elf"), tmp_path / "app.elf")
    shutil.copy(os.path.join(DATA, "fw_bootloader.hex"), tmp_path / "boot.hex")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "app.elf", "--ncrc_value",
                           "--merge", tmp_path / "boot.hex", "--bin")
    assert code == 0, err
    return tmp_path


def test_check_merge_checks_every_merged_byte(velk, monkeypatch, merged):
    app, boot = merged / "app.elf", merged / "boot.hex"
    hex_path = merged / "app_CRC_merged.hex"
    against = ["--ncrc_value", "--elf", app, "--merge", boot]
    code, out, err = run_cli(velk, monkeypatch, "CHECK", hex_path, *against)
    assert (code, err) == (0, "") and out.endswith(f"; the file is {app}, checksummed\n")
    code, _, err = run_cli(velk, monkeypatch, "CHECK", merged / "app_CRC_merged.bin", *against,
                           "--base", "0x08000000")
    assert (code, err) == (0, "")
    # Without --merge the bootloader's bytes and start address are noted, not
    # checked.
    code, _, err = run_cli(velk, monkeypatch, "CHECK", hex_path, "--ncrc_value", "--elf", app)
    assert code == 0 and "not checked (--merge <file> checks what was merged)" in err
    assert "the file's start address 0x08000" in err

    # The bootloader's reset vector changed: QEMU would fault.
    reset = read_hex(boot).memory[LOAD + 4]
    flip_hex_byte(hex_path, LOAD + 4)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, *against)
    assert code == 1 and out.splitlines()[0] == (
        f"content mismatch at 0x08000004: the file holds 0x{reset ^ 0xFF:02X} where {boot} "
        f"has 0x{reset:02X}")


@pytest.mark.parametrize("file", ["app_CRC_merged.hex", "app_CRC_merged.bin"])
def test_check_merge_accounts_for_the_bytes_between(velk, monkeypatch, merged, file):
    """Between the bootloader and the application FLASH merged erased flash
    alone: a byte written there is not what was merged."""
    path = merged / file
    if file.endswith(".bin"):
        data = bytearray(path.read_bytes())
        data[0x2000] = 0x5A
        path.write_bytes(bytes(data))
    else:
        lines = path.read_text().splitlines(keepends=True)
        lines[-1:-1] = [hex_record(4, 0, b"\x08\x00"), hex_record(0, 0x2000, b"\x5a")]
        path.write_text("".join(lines))
    app = merged / "app.elf"
    base = ["--base", "0x08000000"] if file.endswith(".bin") else []
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", "--elf", app,
                           "--merge", merged / "boot.hex", *base)
    assert code == 1 and out.splitlines()[0] == (
        f"content mismatch at 0x08002000: the file holds 0x5A where neither {app} nor a "
        "merged file has a byte (erased flash, 0xFF)")


def test_a_merged_bin_starts_at_the_lowest_merged_byte(velk, monkeypatch, merged):
    """With --merge the build and the merged files say where FLASH's merged
    .bin starts: no --base needed."""
    code, out, err = run_cli(velk, monkeypatch, "CHECK", merged / "app_CRC_merged.bin",
                             "--ncrc_value", "--elf", merged / "app.elf", "--merge",
                             merged / "boot.hex")
    assert (code, err) == (0, "") and out.endswith("checksummed\n")


@pytest.mark.parametrize("family, status, said", [
    (None, 0, "note: the file's UF2 blocks carry family 0x57755A57 (stm32f4): not checked "
              "(--uf2 <family> checks it)"),
    ("stm32f4", 0, ""),
    ("0x57755A57", 0, ""),
    ("rp2040", 1, "UF2 family mismatch: the file's blocks carry family 0x57755A57 (stm32f4), "
                  "not family 0xE48BFF56 (rp2040)"),
])
def test_check_knows_whose_chip_a_uf2_is_for(velk, monkeypatch, written, family, status,
                                             said):
    """A bootloader ignores blocks of another chip family."""
    uf2 = ["--uf2", family] if family else []
    code, out, err = run_cli(velk, monkeypatch, "CHECK", written.with_name("fw_CRC.uf2"),
                             "--ncrc_value", "--elf", written, *uf2)
    assert code == status
    if status:
        assert out.splitlines()[0] == said and "the file is" not in out
    else:
        assert err == (said + "\n" if said else "") and out.endswith("checksummed\n")
    code, _, err = run_cli(velk, monkeypatch, "CHECK", written.with_name("fw_CRC.hex"),
                           "--a134", "--uf2", "stm32f4")
    assert code == 2 and "--uf2 checks a UF2 file's chip family; the file is an Intel HEX" in err


def test_check_merge_takes_the_merged_start_address(velk, monkeypatch, merged):
    app, boot = merged / "app.elf", merged / "boot.hex"
    hex_path = merged / "app_CRC_merged.hex"
    boot_start = read_hex(boot).start_linear
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, "--ncrc_value", "--elf", app,
                           "--merge", boot, "--entry", app)
    assert code == 1 and out.startswith(
        f"start address mismatch: the file's is 0x{boot_start:08X}; the merged files' start "
        f"address is 0x{read_hex(merged / 'app_CRC.hex').start_linear:08X}\n")
    code, _, err = run_cli(velk, monkeypatch, "CHECK", hex_path, "--ncrc_value", "--merge", boot)
    assert code == 2 and "--merge checks the merged files' bytes beside the build's" in err


def test_the_api_checks_a_merged_file_as_the_command_line_does(merged):
    app, boot = merged / "app.elf", merged / "boot.hex"
    report = velk_crc.check(merged / "app_CRC_merged.hex", symbol="crc_value", elf=app,
                            merge=boot)
    assert report.ok and report.notes == [] and report.merged["files"] == [str(boot)]
    report = velk_crc.check(merged / "app_CRC_merged.hex", symbol="crc_value", elf=app,
                            merge=[boot], entry=0x08000201)
    assert not report.ok and report.start_address == {
        "expected": 0x08000201, "found": read_hex(boot).start_linear, "ok": False}
    velk_crc.flash(app, symbol="crc_value", merge=[boot], entry=0x08000201)
    assert read_hex(merged / "app_CRC_merged.hex").start_linear == 0x08000201


@pytest.mark.parametrize("entry, expect", [
    (None, "boot"), ("app.elf", "app"), ("boot.hex", "boot"), ("0x08000201", 0x08000201)])
def test_entry_chooses_the_merged_start_address(velk, monkeypatch, merged, entry, expect):
    app, boot = merged / "app.elf", merged / "boot.hex"
    extra = ["--entry", merged / entry if entry and not entry.startswith("0x") else entry]
    code, _, err = run_cli(velk, monkeypatch, "FLASH", app, "--ncrc_value", "--merge",
                           f"{boot}", *(extra if entry else []))
    assert code == 0, err
    want = {"boot": read_hex(boot).start_linear,
            "app": read_hex(merged / "app_CRC.hex").start_linear}.get(expect, expect)
    assert read_hex(merged / "app_CRC_merged.hex").start_linear == want
    [note] = [line for line in err.splitlines() if "the merged files' start address" in line]
    assert note.startswith(f"note: the merged files' start address is 0x{want:08X}, ")
    # Chosen, the application's start address is no default for want of another.
    assert note.endswith("as --entry gives it" if entry else
                         " (--entry <file>|0x<address> chooses another)")
    assert "no merged file has one" not in note


@pytest.mark.parametrize("words, why", [
    (["--entry", "0x08000201"], "--entry chooses the merged files' start address: it needs "
                                "--merge"),
    (["--merge", "{boot}", "--entry", "{other}"],
     "neither a merged file, the application nor a 0x address"),
    (["--merge", "{boot}", "--entry", "0x1_0000_0000"], "not a 32-bit address"),
])
def test_entry_refusals(velk, monkeypatch, merged, words, why):
    (merged / "other.hex").write_text(hex_record(1, 0))
    words = [w.format(boot=merged / "boot.hex", other=merged / "other.hex") for w in words]
    code, out, err = run_cli(velk, monkeypatch, "FLASH", merged / "app.elf", "--ncrc_value",
                             *words)
    assert (code, out) == (255, "") and why in err and err.count("\n") == 1, err


def test_a_bootloader_grown_into_the_application_is_named_with_its_overflow(
        velk, monkeypatch, tmp_path):
    path = Elf(entry=APP + 1, segments=[Segment(APP, bytes(range(0x40)) + b"\xff" * 4,
                                                section=".text")],
               symbols=[("crc", APP + 0x40)]).write(tmp_path / "app.elf")
    (tmp_path / "boot.bin").write_bytes(bytes(0x4010))
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc", "--merge",
                           f"{tmp_path / 'boot.bin'}@0X08000000")
    assert code == 255 and err == (
        f"error: {path}: {tmp_path / 'boot.bin'} writes 16 bytes where the application "
        "writes, from 0x08004000 to 0x0800400F: it reaches into the application\n")


def test_the_application_uf2_warns_of_merged_bytes_in_its_last_page(velk, monkeypatch,
                                                                    tmp_path):
    """Its last page is padded with fill over what the merged file puts
    right after the image."""
    path = Elf(entry=APP + 1, segments=[Segment(APP, bytes(range(0x40)) + b"\xff" * 4,
                                                section=".text")],
               symbols=[("crc", APP + 0x40)]).write(tmp_path / "app.elf")
    (tmp_path / "cal.hex").write_text(hex_record(4, 0, b"\x08\x00")
                                      + hex_record(0, 0x4080, b"\x5a" * 16) + hex_record(1, 0))
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc", "--merge",
                           tmp_path / "cal.hex", "--uf2", "stm32f4")
    assert code == 0 and (
        f"warning: the UF2's block at 0x08004000 pads its page with 0xFF over what "
        f"{tmp_path / 'cal.hex'} writes from 0x08004080: flashing {tmp_path / 'app_CRC.uf2'} "
        "alone would overwrite it (flash the merged UF2 instead)") in err, err


# --- Records that would overwrite the build's data ------------------------------------

def test_lpc_vectors_refuse_to_overwrite_a_vector(velk, monkeypatch, tmp_path):
    """On an ARM7 LPC2000 the word at 0x1C is the FIQ vector."""
    vectors = struct.pack("<8I", 0x20001000, LOAD + 0x41, 0, 0, 0, 0, 0, 0x12345678)
    path = Elf(entry=LOAD + 0x41, segments=[Segment(LOAD, vectors + bytes(32),
                                                    section=".text")]).write(tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", path, "--lpc-vectors")
    assert (code, out) == (255, "") and err == (
        f"error: {path}: the LPC vector checksum at 0x0800001C would overwrite data: the "
        "build holds the bytes 78 56 34 12 there, not a placeholder (0xFF, 0x00 or the fill "
        "value) (--force writes it anyway)\n")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--lpc-vectors", "--force")
    assert code == 0 and "warning: the LPC vector checksum at 0x0800001C would" in err
    hex_path = tmp_path / "fw_CRC.hex"
    code, _, err = run_cli(velk, monkeypatch, "CHECK", hex_path, "--lpc-vectors", "--elf", path)
    assert code == 2 and err.endswith("(--force checks it anyway)\n")
    words = [int.from_bytes(bytes(read_hex(hex_path).memory[LOAD + i + k] for k in range(4)),
                            "little") for i in range(0, 32, 4)]
    assert sum(words) & 0xFFFFFFFF == 0


@pytest.mark.parametrize("fields, size, why", [
    ("size@0,crc@8", 16, "hdr.size at 0x08000040 would overwrite data: the build holds the "
                         "bytes 48 44 52 21 there"),
    ("size@4,crc@8", 16, "hdr.crc at 0x08000048 would overwrite data: the build holds the "
                         "bytes 01 00 02 00 there"),
    ("size@12", 0x30, "hdr (0x08000040, 48 bytes) runs past the end of its segment at "
                      "0x08000060"),
], ids=["over-the-magic", "over-the-version", "past-its-segment"])
def test_header_fields_refuse_to_overwrite_data(velk, monkeypatch, tmp_path, fields, size,
                                                why):
    header = b"HDR!" + b"\xff" * 4 + struct.pack("<HH", 1, 2) + b"\xff" * 4
    text = bytes(range(0x40)) + header + bytes(range(16))
    path = Elf(entry=LOAD + 1, segments=[
        Segment(LOAD, text, section=".text"),
        Segment(0x20000000, b"\x5a" * 16, paddr=LOAD + 0x60, section=".data")],
        symbols=[("hdr", LOAD + 0x40, size, STT_OBJECT)]).write(tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", path, "--header", f"hdr:{fields}")
    assert (code, out) == (255, "") and err.startswith(f"error: {path}: {why}"), err
    assert os.listdir(tmp_path) == ["fw.elf"]


# --- JSON and wording ----------------------------------------------------------------

def test_json_checksum_is_a_checksum_never_a_length(velk, monkeypatch, tmp_path):
    header = b"\xff" * 16
    body = bytes(range(0x30))
    path = Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(16) + header + body,
                                                 section=".text")],
               symbols=[("hdr", LOAD + 0x10, 16, STT_OBJECT)]).write(tmp_path / "fw.elf")
    report = velk_crc.flash(path, header="hdr:size@0,crc@4")
    value = crc(CATALOGUE["CRC-32/MPEG-2"], body)
    assert (report.record, report.checksum) == (LOAD + 0x14, value)
    checked = velk_crc.check(tmp_path / "fw_CRC.hex", header="hdr:size@0,crc@4", elf=path)
    assert checked.ok and (checked.record, checked.checksum, checked.stored) == (
        LOAD + 0x14, value, value)


def test_a_byte_in_a_hole_of_the_build_is_named_as_erased_flash(velk, monkeypatch, tmp_path):
    path = Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(range(16)), section=".text"),
                                         Segment(LOAD + 0x20, b"\xff" * 4, section=".crc")],
               symbols=[("crc", LOAD + 0x20)]).write(tmp_path / "fw.elf")
    assert run_cli(velk, monkeypatch, "FLASH", path, "--ncrc")[0] == 0
    flip_hex_byte(tmp_path / "fw_CRC.hex", LOAD + 0x18)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex", "--ncrc",
                           "--elf", path)
    assert code == 1 and out.startswith(
        f"content mismatch at 0x08000018: the file holds 0x00 where {path} has nothing "
        "(erased flash, 0xFF)\n")


def test_a_uf2_hint_only_where_the_range_was_guessed(velk, monkeypatch, tmp_path):
    """An image that starts 0x80 into a page: a mismatch over a range the
    user placed with '@' is a real one, not the page's fill."""
    path = Elf(segments=[Segment(LOAD + 0x80, bytes(range(0x7C)) + b"\xff" * 4,
                                 section=".text")],
               symbols=[("crc", LOAD + 0xFC, 4, 1)]).write(tmp_path / "fw.elf")
    assert run_cli(velk, monkeypatch, "FLASH", path, "--ncrc", "--uf2", "stm32f4")[0] == 0
    uf2 = tmp_path / "fw_CRC.uf2"
    data = bytearray(uf2.read_bytes())
    data[32 + 0x90] ^= 0xFF  # a payload byte inside the range
    uf2.write_bytes(bytes(data))
    code, _, err = run_cli(velk, monkeypatch, "CHECK", uf2, "--aFC@0x08000080")
    assert code == 1 and "hint: a UF2 file starts on a 256-byte page" not in err


def test_velk_crc_alone_shows_its_own_usage(tmp_path):
    from conftest import run_command
    result = run_command()
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("usage:\n  velk-crc FLASH <firmware.elf> RECORDS")
    assert "velk-crc CHECK <file> RECORDS [--elf <firmware.elf>] [--base 0x<address>]" in \
        result.stderr


# --- A record no word names ---------------------------------------------------

@pytest.fixture
def two_slots(tmp_path):
    """A build with three placeholders: a calibration sum at 0x60 over
    0x40..0x60, a 2-byte slot at 0x80 and the application's CRC last."""
    data = bytearray(random_bytes(0x400))
    data[0x60:0x64] = b"\xff" * 4
    data[0x80:0x82] = b"\x00" * 2
    data[0x3FC:] = b"\xff" * 4
    symbols = [("app_crc", LOAD + 0x3FC, 4, STT_OBJECT), ("calib", LOAD + 0x40, 0x20, STT_OBJECT),
               ("calib_crc", LOAD + 0x60, 4, STT_OBJECT), ("crc16", LOAD + 0x80, 2, STT_OBJECT)]
    path = tmp_path / "fw.elf"
    path.write_bytes(Elf(segments=[Segment(LOAD, bytes(data), section=".text")],
                         symbols=symbols).build())
    return path


def random_bytes(size):
    import random
    return random.Random(33).randbytes(size)


UNNAMED = [
    # FLASH's words, CHECK's, and the objects the line names with their words.
    (["--ncalib_crc@calib", "--napp_crc"], ["--ncalib_crc@calib"],
     "app_crc (0x080003FC, 4 bytes), a placeholder the build reserved, which holds a value "
     "here: a record FLASH stored that no word names; add --napp_crc to check it"),
    (["--ncalib_crc@calib", "--ncrc16=crc-16/xmodem", "--napp_crc"], ["--napp_crc"],
     "calib_crc (0x08000060, 4 bytes) and crc16 (0x08000080, 2 bytes), placeholders the build "
     "reserved, which hold values here: records FLASH stored that no word names; add "
     "--ncalib_crc --ncrc16=<algorithm> to check them"),
]


@pytest.mark.parametrize("made, checked, said", UNNAMED, ids=["one", "two-of-two-widths"])
@pytest.mark.parametrize("kind", ["hex", "elf", "merged.hex"])
def test_a_record_no_word_names_is_no_content_mismatch(velk, monkeypatch, two_slots, made,
                                                       checked, said, kind):
    (two_slots.parent / "boot.bin").write_bytes(bytes(range(64)))
    merge = ["--merge", two_slots.parent / "boot.bin@0x07FF0000"]
    code, _, err = run_cli(velk, monkeypatch, "FLASH", two_slots, *made, *merge)
    assert code == 0, err
    name = {"hex": "fw_CRC.hex", "elf": "fw_CRC.elf", "merged.hex": "fw_CRC_merged.hex"}[kind]
    path = two_slots.with_name(name)
    words = [*checked, "--elf", two_slots, *(merge if kind == "merged.hex" else [])]
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, *words)
    assert (code, out) == (2, "")
    assert err == f"error: {path}: the file differs from {two_slots} only in {said}\n"
    # The words it names make it a verdict.
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, *made, *words[len(checked):])
    assert code == 0, out + err
    # A byte changed outside the placeholders is a content mismatch again.
    if kind == "hex":
        flip_hex_byte(path, LOAD + 0x100)
        code, out, _ = run_cli(velk, monkeypatch, "CHECK", path, *words)
        assert code == 1 and out.startswith("content mismatch at 0x08000"), out


def test_the_api_names_the_record_no_argument_names(two_slots):
    report = velk_crc.flash(two_slots, symbol=["calib_crc@calib", "app_crc"])
    with pytest.raises(velk_crc.CannotVerify,
                       match=r"only in app_crc \(0x080003FC, 4 bytes\), a placeholder .* add "
                             r'symbol="app_crc" to check it$'):
        velk_crc.check(report.files[0], elf=two_slots, symbol=["calib_crc@calib"])


def test_a_placeholder_over_data_is_a_content_mismatch(velk, monkeypatch, two_slots):
    """calib (32 bytes of data in the build) is no placeholder: a file that
    differs there differs from the build."""
    assert run_cli(velk, monkeypatch, "FLASH", two_slots, "--napp_crc")[0] == 0
    path = two_slots.with_name("fw_CRC.hex")
    flip_hex_byte(path, LOAD + 0x44)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", path, "--elf", two_slots, "--napp_crc")
    assert code == 1 and out.startswith("content mismatch at 0x08000044"), out


@pytest.mark.parametrize("merged", [False, True], ids=["application", "merged"])
def test_a_signed_file_checked_without_its_record_word(velk, monkeypatch, tmp_path, merged):
    """The CI step of a signed build, its CRC's word left out: the record
    FLASH stored is named, no content mismatch."""
    elf = tmp_path / "app.elf"
    shutil.copy(os.path.join(DATA, "fw_mcuboot_app_reserved.elf"), elf)
    shutil.copy(os.path.join(DATA, "fw_mcuboot_loader.hex"), tmp_path / "loader.hex")
    merge = ["--merge", tmp_path / "loader.hex"]
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc_value", "--mcuboot",
                           "header=0x200", *merge)
    assert code == 0, err
    path = tmp_path / ("app_CRC_merged.hex" if merged else "app_CRC.hex")
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--elf", elf, "--mcuboot",
                             *(merge if merged else []))
    assert (code, out) == (2, ""), out
    assert err == (f"error: {path}: the file differs from {elf} only in crc_value (0x080042C4, "
                   "4 bytes), a placeholder the build reserved, which holds a value here: a "
                   "record FLASH stored that no word names; add --ncrc_value to check it\n")
    with pytest.raises(velk_crc.CannotVerify, match=r'add symbol="crc_value" to check it$'):
        velk_crc.check(path, elf=elf, mcuboot=True,
                       merge=[tmp_path / "loader.hex"] if merged else None)
