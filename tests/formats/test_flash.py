"""FLASH mode: the whole flash contents of a build, checksummed, in one HEX."""

import os
import shutil

import pytest
from elftools.elf.elffile import ELFFile

import qemu
from conftest import DATA, captured, run_cli
from elfwriter import Elf, Segment
from hexcheck import flip_hex_byte, read_hex

LOAD = 0x08000000


def loadable(path):
    """(paddr, bytes) of every PT_LOAD with file contents, in header order."""
    with open(path, "rb") as f:
        return [(s["p_paddr"], s.data()[:min(s["p_filesz"], s["p_memsz"])])
                for s in ELFFile(f).iter_segments()
                if s["p_type"] == "PT_LOAD" and s["p_filesz"]]


DATA_INIT = bytes(range(0x24))


@pytest.mark.parametrize("second", [0x08000100 - 4, 0x08000000])
def test_overlapping_segments_are_refused(velk, tmp_path, monkeypatch, second):
    path = Elf(segments=[Segment(LOAD, bytes(0x100)),
                         Segment(0x20000000, bytes(8), paddr=second)],
               symbols=[("crc", LOAD)]).write(tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", path, "--a100")
    assert (code, out) == (255, "")
    assert err == (f"error: {path}: loadable segments 0 (0x08000000, 256 bytes) and 1 "
                   f"(0x{second:08X}, 8 bytes) overlap in flash: there is no single image "
                   "to checksum\n")
    assert not (tmp_path / "fw_CRC.hex").exists()


# What a name the linker dropped (or a misspelt one) adds to the refusal.
DROPPED = ("; no symbol or section of the file bears the name: if the source defines it, "
           "the linker dropped it as unused (--gc-sections): keep its section with "
           "KEEP(...) in the linker script (__attribute__((used)) keeps it from the "
           "compiler, not from the linker)")

REFUSALS = [
    ("not-found", ["--ncrc_valeu"], 'no symbol named "crc_valeu" (did you mean crc_value?)'
     + DROPPED),
    # Built with -g: the debugging information names the dropped slot, and the
    # symbol tables and section names do not.
    ("dropped-from-a-debug-build", ["--nspare_crc"], 'no symbol named "spare_crc"' + DROPPED),
    # A part of a symbol's name is no symbol, but the name is there.
    ("part-of-a-name", ["--ncrc_val"], 'no symbol named "crc_val" (did you mean crc_value?)'),
    ("not-multiple-of-4", ["--a802"], "--a802: the offset must be a multiple of 4"),
    ("bad-block", ["--s48"],
     '--s takes a block size in decimal that is a power of two, as in --s1024: "48" is '
     "not one"),
    ("no-selector", ["--x"], 'unknown option "--x" (velk-crc --help lists the options)'),
]


@pytest.mark.parametrize("options, line", [r[1:] for r in REFUSALS],
                         ids=[r[0] for r in REFUSALS])
def test_refusals_say_what_to_do(velk, tmp_path, monkeypatch, options, line):
    shutil.copy(os.path.join(DATA, "fw_debug_gc.elf"), tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", *options)
    assert (code, out, err) == (255, "", f"error: {tmp_path / 'fw.elf'}: {line}\n")
    assert not (tmp_path / "fw_CRC.hex").exists()


def test_missing_file_is_one_line(velk, tmp_path, monkeypatch):
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "none.elf", "--ncrc_value")
    assert (code, out) == (255, "")
    assert err == f"error: {tmp_path / 'none.elf'}: cannot open it: No such file or directory\n"


@pytest.mark.parametrize("name", ["fw_boot.elf", "fw_data.elf", "fw_exidx.elf",
                                  "fw_slot_ram.elf", "fw_clean.elf"])
def test_every_loadable_byte_of_real_firmware(velk, tmp_path, monkeypatch, name):
    """GCC-built firmware: the HEX holds each segment at its physical
    address, with only the checksum record changed."""
    path = tmp_path / name
    shutil.copy(os.path.join(DATA, name), path)
    option = "--s4" if name == "fw_slot_ram.elf" else "--ncrc_value"
    code, out, _ = run_cli(velk, monkeypatch, "FLASH", path, option)
    assert code == 0
    memory = read_hex(str(path)[:-4] + "_CRC.hex").memory
    record = int(out.split("~0x")[1][:8], 16)
    for address, data in loadable(path):
        for i, byte in enumerate(data):
            if not record <= address + i < record + 4:
                assert memory[address + i] == byte, hex(address + i)


def test_flash_hex_boots_and_velk_hex_does_not(velk, tmp_path, monkeypatch):
    """QEMU's own Intel HEX loader on netduinoplus2 (Cortex-M4): the
    firmware's boot-time CRC check and its .data values."""
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), path)
    hex_load = ["-device", f"loader,file={tmp_path / 'fw_CRC.hex'}"]

    assert run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value")[0] == 0
    assert qemu.boot_status(hex_load) == qemu.BOOT_OK

    flip_hex_byte(tmp_path / "fw_CRC.hex", LOAD + 0x120)  # in .data's initial values
    assert qemu.boot_status(hex_load) == qemu.BOOT_CRC_BAD

    captured(velk.velk_crc_calc, str(path), "crc_value", None, None)
    assert qemu.boot_status(hex_load) == qemu.BOOT_CRC_BAD


def at_end_of_file(elf):
    """The build with its segment's contents moved to the file's last bytes:
    the segment ends exactly where the file does."""
    data = bytearray(elf.build())
    data += elf.segments[0].data
    data[52 + 4:52 + 8] = (len(data) - len(elf.segments[0].data)).to_bytes(4, "little")
    return bytes(data)


@pytest.mark.parametrize("mode", ["VELK", "FLASH"])
def test_segment_ending_at_the_end_of_the_file(velk, tmp_path, monkeypatch, mode):
    image = bytes(range(0x40)) + b"\xff" * 4
    elf = Elf(entry=LOAD + 1, segments=[Segment(LOAD, image)], symbols=[("crc", LOAD + 0x40)])
    (tmp_path / "fw.elf").write_bytes(at_end_of_file(elf))
    code, out, err = run_cli(velk, monkeypatch, mode, tmp_path / "fw.elf", "--ncrc")
    assert code == 0, out + err
    memory = read_hex(tmp_path / "fw_CRC.hex").memory
    assert bytes(memory[LOAD + i] for i in range(0x40)) == image[:0x40]


def test_aliased_flash_gets_its_crc_elf(velk, tmp_path, monkeypatch):
    """Flash linked to run at 0 (the boot alias) and loaded at 0x08000000: the
    record is found in the file through the physical address."""
    image = bytes(range(256)) + b"\xff" * 4
    path = Elf(entry=1, segments=[Segment(0, image, paddr=LOAD, section=".text", flags=5)],
               symbols=[("crc", 0x100)]).write(tmp_path / "fw.elf")
    code, out, _ = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc")
    assert code == 0
    assert f"checksum range:(0x{LOAD:08X}~0x{LOAD + 0x100:08X})" in out
    before, after = (tmp_path / "fw.elf").read_bytes(), (tmp_path / "fw_CRC.elf").read_bytes()
    changed = [i for i, (a, b) in enumerate(zip(before, after)) if a != b]
    start = before.index(image)
    assert changed == list(range(start + 0x100, start + 0x104))
    assert run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.elf", "--ncrc")[0] == 0


def test_slot_in_ram_is_refused_unless_forced(velk, tmp_path, monkeypatch):
    """crc_value in .data: the firmware reads the copy in RAM, never the
    initial value in flash that would get the checksum."""
    shutil.copy(os.path.join(DATA, "fw_slot_ram.elf"), tmp_path / "fw.elf")
    with open(tmp_path / "fw.elf", "rb") as f:
        elf = ELFFile(f)
        value = next(s for sec in elf.iter_sections() if sec.name == ".symtab"
                     for s in sec.iter_symbols() if s.name == "crc_value")["st_value"]
        data = next(s for s in elf.iter_segments()
                    if s["p_type"] == "PT_LOAD" and s["p_vaddr"] <= value < s["p_vaddr"] + s["p_memsz"])
        stored = value - data["p_vaddr"] + data["p_paddr"]
    why = (f"crc_value lives in RAM at 0x{value:08X} (.data, copied there at start-up): "
           f"only its initial value at 0x{stored:08X} is in flash, and the firmware reading "
           "crc_value reads the copy; give it a flash section of its own, kept by the linker "
           "script")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value")
    assert (code, out) == (255, "")
    assert err == f"error: {tmp_path / 'fw.elf'}: {why} (--force writes it anyway)\n"
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value",
                             "--force")
    assert code == 0
    assert err.splitlines(keepends=True)[0] == f"warning: {why}\n"
    assert f"~0x{stored:08X})" in out
