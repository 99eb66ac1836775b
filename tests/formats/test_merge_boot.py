"""FLASH --merge: a bootloader merged with the checksummed application into
<root>_CRC_merged.hex (and .bin, .srec, .uf2 as asked for).

The bootloader (tests/data/firmware/bootloader.c) fills the first 16 KiB of
flash and starts the application (bootloaded_app.c) at 0x08004000, which
checks its own CRC and that the bootloader pointed VTOR at its vector table.
The merged HEX boots in QEMU; every merged file is read back with the tests'
own readers and compared with srec_cat's merge of the same inputs."""

import os
import shutil
import struct
import subprocess

import pytest
from elftools.elf.elffile import ELFFile

from conftest import DATA, run_command
from elfwriter import Elf, Segment
from hexcheck import hex_record, read_hex, read_srec, srec_record
from qemu import BOOT_OK, boot_status

APP_ELF = os.path.join(DATA, "fw_bootloaded_app.elf")
BOOTLOADER = os.path.join(DATA, "fw_bootloader")  # .elf, .hex, .srec, .bin
BOOTLOADER_BASE = 0x08000000
APP_BASE = 0x08004000
# What bootloader.c leaves in RAM before it jumps.
BOOTLOADER_MARKER, BOOTLOADER_RAN = 0x20010000, 0xB007104D

STM32F4 = 0x57755A57  # the UF2 family ID of STM32F4 parts
OUTPUTS = ["--bin", "--srec", "--uf2", f"0x{STM32F4:08X}"]
UF2_MAGIC_START0, UF2_MAGIC_START1, UF2_MAGIC_END = 0x0A324655, 0x9E5D5157, 0x0AB16F30
UF2_NOT_MAIN_FLASH, UF2_FAMILY_PRESENT = 0x0001, 0x2000


def elf_memory(path):
    """The loadable bytes of an ELF file at their physical addresses."""
    memory = {}
    with open(path, "rb") as f:
        elf = ELFFile(f)
        for segment in elf.iter_segments():
            if segment["p_type"] == "PT_LOAD":
                for i, b in enumerate(segment.data()):
                    assert segment["p_paddr"] + i not in memory
                    memory[segment["p_paddr"] + i] = b
        return memory, elf.header["e_entry"]


def write_uf2(path, memory, family):
    """UF2 blocks of `memory`: 256 bytes of payload at most, a run split at
    every gap and 256-byte boundary, the family ID in each block."""
    chunks = []
    for address in sorted(memory):
        if chunks and chunks[-1][0] + len(chunks[-1][1]) == address and address % 256:
            chunks[-1][1].append(memory[address])
        else:
            chunks.append((address, bytearray([memory[address]])))
    with open(path, "wb") as f:
        for number, (address, payload) in enumerate(chunks):
            f.write(struct.pack("<8I", UF2_MAGIC_START0, UF2_MAGIC_START1, UF2_FAMILY_PRESENT,
                                address, len(payload), number, len(chunks), family)
                    + bytes(payload).ljust(476, b"\0") + struct.pack("<I", UF2_MAGIC_END))


def read_uf2(path):
    """(memory, the family IDs) of a UF2 file, every block's magic numbers,
    flags, payload size and numbering checked."""
    with open(path, "rb") as f:
        data = f.read()
    assert data and len(data) % 512 == 0
    memory, families = {}, set()
    count = len(data) // 512
    for number in range(count):
        block = data[number * 512:(number + 1) * 512]
        start0, start1, flags, address, size, index, total, family = \
            struct.unpack_from("<8I", block)
        assert (start0, start1) == (UF2_MAGIC_START0, UF2_MAGIC_START1), f"block {number}"
        assert struct.unpack_from("<I", block, 508)[0] == UF2_MAGIC_END, f"block {number}"
        assert flags & UF2_FAMILY_PRESENT and not flags & UF2_NOT_MAIN_FLASH, f"block {number}"
        assert (index, total) == (number, count) and 0 < size <= 476, f"block {number}"
        families.add(family)
        for i, b in enumerate(block[32:32 + size]):
            assert address + i not in memory, f"block {number}: address written twice"
            memory[address + i] = b
    return memory, families


def read_objcopy_srec(path, folder):
    """read_srec of objcopy's S-records, whose lines end in CR LF: read from
    a copy in `folder` with LF line ends."""
    copy = folder / (os.path.basename(path) + ".lf")
    with open(path, "rb") as f:
        copy.write_bytes(f.read().replace(b"\r\n", b"\n"))
    return read_srec(copy)


def srec_cat(*words):
    exe = shutil.which("srec_cat")
    if exe is None:
        pytest.skip("srec_cat is not installed (Debian package srecord)")
    subprocess.run([exe, *map(str, words)], check=True, timeout=60)


def bootloader_memory():
    return read_hex(BOOTLOADER + ".hex").memory


def test_bootloader_files_hold_the_same_bytes(tmp_path):
    """The committed bootloader in every form: the same bytes below the
    application, and the same start address where the form carries one."""
    hexed = read_hex(BOOTLOADER + ".hex")
    srec = read_objcopy_srec(BOOTLOADER + ".srec", tmp_path)
    elf, entry = elf_memory(BOOTLOADER + ".elf")
    with open(BOOTLOADER + ".bin", "rb") as f:
        raw = f.read()
    assert hexed.memory == srec.memory == elf == {
        BOOTLOADER_BASE + i: b for i, b in enumerate(raw)}
    assert max(elf) < APP_BASE
    assert hexed.start_linear == srec.entry == entry and entry & 1


@pytest.fixture(scope="module")
def alone(tmp_path_factory):
    """The application's files from a run without --merge: {name: bytes},
    its memory and start address as its HEX holds them."""
    folder = tmp_path_factory.mktemp("alone")
    shutil.copy(APP_ELF, folder / "app.elf")
    result = run_command("FLASH", "app.elf", "--ncrc_value", *OUTPUTS, cwd=folder)
    assert result.returncode == 0, result.stderr
    files = {p.name: p.read_bytes() for p in folder.iterdir() if p.name != "app.elf"}
    assert set(files) == {"app_CRC.hex", "app_CRC.elf", "app_CRC.bin", "app_CRC.srec",
                          "app_CRC.uf2"}
    app = read_hex(folder / "app_CRC.hex")
    assert min(app.memory) == APP_BASE and app.start_linear == elf_memory(APP_ELF)[1]
    return files, app.memory, app.start_linear


def folders(tmp_path):
    """out/ holding app.elf (and what the run writes), in/ the merged files."""
    out, inputs = tmp_path / "out", tmp_path / "in"
    out.mkdir()
    inputs.mkdir()
    shutil.copy(APP_ELF, out / "app.elf")
    return out, inputs


def merged_inputs(kind, folder):
    """The files merged for `kind`, in order: (the --merge words, srec_cat's
    words for the same inputs, their memory, the start address of the first
    that has one and that file's name)."""
    memory = bootloader_memory()
    boot_bin = shutil.copy(BOOTLOADER + ".bin", folder / "boot.bin")
    raw_words = [boot_bin, "-binary", "-offset", f"0x{BOOTLOADER_BASE:08X}"]
    if kind == "hex":
        path = shutil.copy(BOOTLOADER + ".hex", folder / "boot.hex")
        return [path], [path, "-intel"], memory, read_hex(path).start_linear, "boot.hex"
    if kind == "srec":
        path = shutil.copy(BOOTLOADER + ".srec", folder / "boot.srec")
        entry = read_objcopy_srec(path, folder.parent).entry
        return [path], [path, "-motorola"], memory, entry, "boot.srec"
    if kind == "elf":
        path = shutil.copy(BOOTLOADER + ".elf", folder / "boot.elf")
        # srec_cat reads no ELF: the HEX objcopy made of it stands in.
        memory, entry = elf_memory(path)
        return [path], [BOOTLOADER + ".hex", "-intel"], memory, entry, "boot.elf"
    if kind == "bin":
        return [f"{boot_bin}@0x{BOOTLOADER_BASE:08X}"], raw_words, memory, None, None
    if kind == "uf2":
        path = folder / "boot.uf2"
        write_uf2(path, memory, STM32F4)
        return [path], raw_words, memory, None, None
    if kind.startswith("srec_cat"):
        # srec_cat's own S-records: a record count (S5) ends them where no
        # start address is given; a start address of 0 is none.
        start = {"srec_cat": None, "srec_cat-start": read_hex(BOOTLOADER + ".hex").start_linear,
                 "srec_cat-start-0": 0}[kind]
        path = folder / "boot.srec"
        srec_cat(*raw_words, *([] if start is None else ["-execution-start-address", start]),
                 "-o", path)
        # srec_cat itself takes the 0 for a start address: its merge of the
        # raw binary stands in.
        words = raw_words if start == 0 else [path, "-motorola"]
        return [path], words, memory, start or None, start and "boot.srec"
    if kind == "srec+hex":
        # Two files with a start address each: the first one's is taken.
        config = {0x08008000 + i: 0xC0 + i for i in range(16)}
        path = folder / "config.srec"
        path.write_text(srec_record("0", 0) + srec_record("3", 0x08008000, bytes(config.values()))
                        + srec_record("7", 0x08008001))
        boot_hex = shutil.copy(BOOTLOADER + ".hex", folder / "boot.hex")
        return ([path, boot_hex], [path, "-motorola", boot_hex, "-intel"], {**memory, **config},
                0x08008001, "config.srec")
    assert kind == "bin+hex"
    # A raw binary without a start address, then a HEX with one: 16 bytes of
    # configuration at 0x08008000 naming the bootloader's reset handler.
    start = read_hex(BOOTLOADER + ".hex").start_linear
    config = {0x08008000 + i: 0xC0 + i for i in range(16)}
    path = folder / "config.hex"
    path.write_text(hex_record(5, 0, start.to_bytes(4, "big")) + hex_record(4, 0, b"\x08\x00")
                    + hex_record(0, 0x8000, bytes(config.values())) + hex_record(1, 0))
    return ([f"{boot_bin}@0x{BOOTLOADER_BASE:08X}", path], [*raw_words, path, "-intel"],
            {**memory, **config}, start, "config.hex")


MERGED = ["app_CRC_merged.hex", "app_CRC_merged.bin", "app_CRC_merged.srec",
          "app_CRC_merged.uf2"]


@pytest.mark.parametrize("kind", ["hex", "srec", "elf", "bin", "uf2", "bin+hex", "srec_cat",
                                  "srec_cat-start", "srec_cat-start-0", "srec+hex"])
def test_merged_files_hold_every_byte_of_both(tmp_path, alone, kind):
    app_files, app_memory, app_start = alone
    out, inputs = folders(tmp_path)
    merges, srec_words, merged_memory, start, start_file = merged_inputs(kind, inputs)
    result = run_command("FLASH", "app.elf", "--ncrc_value",
                         *[w for m in merges for w in ("--merge", m)], *OUTPUTS, cwd=out)
    assert result.returncode == 0, result.stderr

    # The application's own files as a run without --merge writes them.
    assert sorted(p.name for p in out.iterdir()) == sorted(["app.elf", *app_files, *MERGED])
    for name, content in app_files.items():
        assert (out / name).read_bytes() == content, name

    assert not set(merged_memory) & set(app_memory)
    expected = {**merged_memory, **app_memory}
    want_start = app_start if start is None else start
    hexed = read_hex(out / "app_CRC_merged.hex")
    assert hexed.memory == expected
    assert hexed.start_linear == want_start
    srec = read_srec(out / "app_CRC_merged.srec")
    assert srec.memory == expected
    assert srec.entry == want_start
    low, high = min(expected), max(expected) + 1
    assert low == BOOTLOADER_BASE
    assert (out / "app_CRC_merged.bin").read_bytes() == bytes(
        expected.get(a, 0xFF) for a in range(low, high))
    uf2, families = read_uf2(out / "app_CRC_merged.uf2")
    assert families == {STM32F4}
    assert {a: uf2.get(a) for a in expected} == expected
    assert all(b == 0xFF for a, b in uf2.items() if a not in expected)

    # The start address: the first merged file's that has one, else the
    # application's; a note names it.
    notes = [line for line in (result.stdout + result.stderr).splitlines()
             if line.startswith("note:")]
    named = [f"0x{want_start:08X}"] + ([start_file] if start_file else [])
    assert any(all(n in line for n in named) for line in notes), notes

    if shutil.which("srec_cat") and shutil.which("srec_cmp"):
        reference = tmp_path / "srec_cat.hex"
        subprocess.run(["srec_cat", *map(str, srec_words), out / "app_CRC.hex", "-intel",
                        "-o", reference, "-intel"], check=True, timeout=60)
        for name, words in (("app_CRC_merged.hex", ["-intel"]),
                            ("app_CRC_merged.srec", ["-motorola"])):
            compared = subprocess.run(["srec_cmp", out / name, *words, reference, "-intel"],
                                      capture_output=True, text=True, timeout=60)
            assert compared.returncode == 0, (name, compared.stderr)


def test_merged_hex_boots_through_the_bootloader(tmp_path):
    out, _ = folders(tmp_path)
    result = run_command("FLASH", "app.elf", "--ncrc_value",
                         "--merge", BOOTLOADER + ".hex", cwd=out)
    assert result.returncode == 0, result.stderr
    load = ["-device", f"loader,file={out / 'app_CRC_merged.hex'}"]
    # BOOT_OK: the CRC is right and VTOR points at the application's vector
    # table, which only the bootloader sets.
    assert boot_status(load) == BOOT_OK
    assert boot_status(load, address=BOOTLOADER_MARKER) == BOOTLOADER_RAN


def refusal(kind, out, inputs):
    """(the --merge word, what the error line must name) for `kind`; may
    replace app.elf in `out`."""
    boot_bin = shutil.copy(BOOTLOADER + ".bin", inputs / "boot.bin")
    if kind == "own-hex":
        # The application's checksummed HEX from a run of its own.
        shutil.copy(APP_ELF, inputs / "own.elf")
        made = run_command("FLASH", "own.elf", "--ncrc_value", cwd=inputs)
        assert made.returncode == 0, made.stderr
        return inputs / "own_CRC.hex", ["own_CRC.hex", f"0x{APP_BASE:08X}"]
    if kind == "bin-on-app":
        return f"{boot_bin}@0x{APP_BASE:08X}", ["boot.bin", f"0x{APP_BASE:08X}"]
    if kind == "bin-across-app-start":
        return f"{boot_bin}@0x{APP_BASE - 16:08X}", ["boot.bin", f"0x{APP_BASE:08X}"]
    if kind == "byte-in-checksum-gap":
        # An application with a gap inside its checksum, from 0x08004010 to
        # 0x08004100, and one merged byte in the gap.
        Elf(entry=APP_BASE + 1, symbols=[("crc_value", APP_BASE + 0x10C)], segments=[
            Segment(APP_BASE, bytes(range(16)), section=".text"),
            Segment(APP_BASE + 0x100, bytes(range(100, 112)) + b"\xff" * 4,
                    section=".rodata")]).write(out / "app.elf")
        path = inputs / "byte.hex"
        path.write_text(hex_record(4, 0, b"\x08\x00") + hex_record(0, 0x4080, b"\x5A")
                        + hex_record(1, 0))
        return path, ["byte.hex", f"0x{APP_BASE + 0x80:08X}"]
    if kind == "byte-on-app-outside-checksum":
        # An application with a segment far above its checksummed image,
        # written to the HEX outside the checksum, and one merged byte on it.
        Elf(entry=APP_BASE + 1, symbols=[("crc_value", APP_BASE + 12)], segments=[
            Segment(APP_BASE, bytes(range(12)) + b"\xff" * 4, section=".text"),
            Segment(0x08100000, bytes(range(16)), section=".far")]).write(out / "app.elf")
        path = inputs / "byte.hex"
        path.write_text(hex_record(4, 0, b"\x08\x10") + hex_record(0, 8, b"\x5A")
                        + hex_record(1, 0))
        return path, ["byte.hex", "0x08100008"]
    if kind == "bad-hex-checksum":
        with open(BOOTLOADER + ".hex") as f:
            lines = f.read().splitlines()
        lines[2] = lines[2][:-2] + f"{(int(lines[2][-2:], 16) + 1) & 0xFF:02X}"
        (inputs / "bad.hex").write_text("\n".join(lines) + "\n")
        return inputs / "bad.hex", ["bad.hex", "line 3"]
    if kind == "srec-after-termination":
        # srec_cat would read the record after S7 into its image.
        with open(BOOTLOADER + ".srec", newline="") as f:
            text = f.read()
        lines = text.count("\n")
        (inputs / "boot.srec").write_text(text + srec_record("3", 0x08003F00, b"\x5a"),
                                          newline="")
        return inputs / "boot.srec", ["boot.srec", f"line {lines + 1}: a record after the "
                                      "termination record (S7)"]
    assert kind == "missing"
    return inputs / "missing.hex", ["missing.hex"]


@pytest.mark.parametrize("kind", ["own-hex", "bin-on-app", "bin-across-app-start",
                                  "byte-in-checksum-gap", "byte-on-app-outside-checksum",
                                  "bad-hex-checksum", "srec-after-termination", "missing"])
def test_refused_merge_writes_nothing(tmp_path, kind):
    out, inputs = folders(tmp_path)
    merge, named = refusal(kind, out, inputs)
    before = sorted(p.name for p in out.iterdir())
    result = run_command("FLASH", "app.elf", "--ncrc_value", "--merge", merge, "--bin",
                         cwd=out)
    assert result.returncode == 255, result.stdout + result.stderr
    errors = [line for line in result.stderr.splitlines() if line.startswith("error:")]
    assert len(errors) == 1, result.stderr
    for fragment in named:
        assert fragment in errors[0]
    assert sorted(p.name for p in out.iterdir()) == before


def test_a_merged_file_may_start_right_after_a_slot(tmp_path):
    """The application's last bytes are its checksum: a merged byte just past
    them is outside everything the record covers."""
    out, inputs = folders(tmp_path)
    Elf(entry=APP_BASE + 1, symbols=[("crc_value", APP_BASE + 12)], segments=[
        Segment(APP_BASE, bytes(range(12)) + b"\xff" * 4, section=".text")]).write(
        out / "app.elf")
    path = inputs / "after.hex"
    path.write_text(hex_record(4, 0, b"\x08\x00") + hex_record(0, 0x4010, b"\x5A")
                    + hex_record(1, 0))
    result = run_command("FLASH", "app.elf", "--ncrc_value", "--merge", path, cwd=out)
    assert result.returncode == 0, result.stderr
    merged = read_hex(out / "app_CRC_merged.hex").memory
    assert (min(merged), max(merged), merged[APP_BASE + 16]) == (APP_BASE, APP_BASE + 16, 0x5A)


def test_the_merged_bin_fills_its_gaps_with_the_fill_value(tmp_path):
    out, _ = folders(tmp_path)
    result = run_command("FLASH", "app.elf", "--ncrc_value", "--merge", BOOTLOADER + ".hex",
                         "--bin", "--fill", "0x00", cwd=out)
    assert result.returncode == 0, result.stderr
    merged = read_hex(out / "app_CRC_merged.hex").memory
    low, high = min(merged), max(merged) + 1
    assert len(merged) < high - low  # the gap between the bootloader and the application
    assert (out / "app_CRC_merged.bin").read_bytes() == bytes(
        merged.get(a, 0x00) for a in range(low, high))
