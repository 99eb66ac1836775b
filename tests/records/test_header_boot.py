"""FLASH --header: the size, crc and hcrc fields of an image header, checked
by firmware that recomputes them at boot the way a bootloader does
(tests/data/firmware/header.c, run in QEMU) and by a bitwise CRC here,
worked out from the catalogue parameters."""

import os
import shutil
import zlib
from dataclasses import dataclass

import pytest
from elftools.elf.elffile import ELFFile

import qemu
from conftest import DATA, run_command, words_reversed
from crcref import CATALOGUE, Crc, crc
from hexcheck import flip_hex_byte, read_hex


ISO_HDLC, MPEG2, XMODEM = (CATALOGUE[name] for name in
                           ("CRC-32/ISO-HDLC", "CRC-32/MPEG-2", "CRC-16/XMODEM"))


@dataclass(frozen=True)
class Firmware:
    elf: str
    algorithm: Crc
    crc_name: str  # what --crc is given
    order: str     # byte order of the fields: --be for "big"

    @property
    def offsets(self):
        """Where header.c's struct app_header keeps each field."""
        return {"size": 8, "crc": 12, "hcrc": 12 + self.algorithm.width // 8}

    @property
    def widths(self):
        return {"size": 4, "crc": self.algorithm.width // 8, "hcrc": self.algorithm.width // 8}


FIRMWARE = {
    "crc32": Firmware("fw_header_crc32.elf", ISO_HDLC, "CRC-32/ISO-HDLC", "little"),
    "mpeg2": Firmware("fw_header_mpeg2.elf", MPEG2, "CRC-32/MPEG-2", "little"),
    "xmodem": Firmware("fw_header_xmodem.elf", XMODEM, "CRC-16/XMODEM", "little"),
    "crc32-be": Firmware("fw_header_crc32_be.elf", ISO_HDLC, "CRC-32/ISO-HDLC", "big"),
    "xmodem-be": Firmware("fw_header_xmodem_be.elf", XMODEM, "CRC-16/XMODEM", "big"),
}

# Fields in the order --header names them: hcrc first must still be worked
# out after size and crc are in place.
COMBINATIONS = [("size",), ("crc",), ("hcrc",), ("size", "crc"), ("size", "hcrc"),
                ("crc", "hcrc"), ("size", "crc", "hcrc"), ("hcrc", "crc", "size")]


def header_option(firmware, fields):
    return "app_header:" + ",".join(f"{f}@{firmware.offsets[f]}" for f in fields)


def run_flash(tmp_path, firmware, fields, crc_name="default"):
    """velk-crc FLASH on a copy of the firmware, --crc naming the firmware's
    algorithm unless crc_name is given (None: no --crc): the copy's path."""
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, firmware.elf), path)
    crc_name = firmware.crc_name if crc_name == "default" else crc_name
    argv = ["FLASH", path, "--header", header_option(firmware, fields),
            *(["--crc", crc_name] if crc_name else []),
            *(["--be"] if firmware.order == "big" else [])]
    done = run_command(*argv)
    assert done.returncode == 0, done.stdout + done.stderr
    return path


def loadable(path):
    """address -> byte of every loadable segment's file bytes, at its
    physical address."""
    memory = {}
    with open(path, "rb") as f:
        for segment in ELFFile(f).iter_segments():
            if segment["p_type"] == "PT_LOAD" and segment["p_filesz"]:
                data = segment.data()[:segment["p_filesz"]]
                memory.update((segment["p_paddr"] + i, b) for i, b in enumerate(data))
    return memory


def header_symbol(path):
    with open(path, "rb") as f:
        symbol = ELFFile(f).get_section_by_name(".symtab").get_symbol_by_name("app_header")[0]
    return symbol["st_value"], symbol["st_size"]


def check_fields(path, firmware, fields):
    """Every field of fw_CRC.hex recomputed here; every other byte as the
    ELF has it; fw_CRC.elf holding what the HEX holds."""
    original = loadable(path)
    memory = read_hex(str(path)[:-4] + "_CRC.hex").memory
    start, length = header_symbol(path)
    # One flash cluster: the image ends with the last loadable byte.
    end = max(original) + 1
    assert end - start < 0x10000
    rounded = (end + 3) & ~3
    assert rounded > end, "header.c's image ends off a word boundary"

    written = {start + firmware.offsets[f] + i for f in fields
               for i in range(firmware.widths[f])}
    for address, byte in original.items():
        if address not in written:
            assert memory[address] == byte, hex(address)
    for address in range(end, rounded):
        assert memory.get(address, 0xFF) == 0xFF, hex(address)

    body = bytes(memory.get(a, 0xFF) for a in range(start + length, rounded))

    def stored(name):
        at = start + firmware.offsets[name]
        return int.from_bytes(bytes(memory[at + i] for i in range(firmware.widths[name])),
                              firmware.order)

    hcrc_at = start + firmware.offsets["hcrc"]
    expected = {"size": len(body), "crc": crc(firmware.algorithm, body),
                "hcrc": crc(firmware.algorithm, bytes(memory[a] for a in range(start, hcrc_at)))}
    assert {f: stored(f) for f in fields} == {f: expected[f] for f in fields}

    for address, byte in loadable(str(path)[:-4] + "_CRC.elf").items():
        assert memory[address] == byte, hex(address)


@pytest.mark.parametrize("fields", COMBINATIONS, ids=["+".join(c) for c in COMBINATIONS])
@pytest.mark.parametrize("name", FIRMWARE)
def test_fields_match_a_bitwise_recomputation(tmp_path, name, fields):
    firmware = FIRMWARE[name]
    assert crc(firmware.algorithm, b"123456789") == firmware.algorithm.check
    check_fields(run_flash(tmp_path, firmware, fields), firmware, fields)


# The default algorithm and crcmod's names for the catalogue's algorithms.
NAMED = [("mpeg2", None), ("mpeg2", "crc-32-mpeg"), ("crc32", "crc-32"), ("xmodem", "xmodem")]


@pytest.mark.parametrize("name, crc_name", NAMED, ids=[str(n[1]) for n in NAMED])
def test_algorithm_names(tmp_path, name, crc_name):
    fields = ("size", "crc", "hcrc")
    check_fields(run_flash(tmp_path, FIRMWARE[name], fields, crc_name), FIRMWARE[name], fields)


BOOTS = [("crc32", ("size", "crc", "hcrc")), ("mpeg2", ("crc",)),
         ("xmodem", ("size", "crc", "hcrc")), ("crc32-be", ("hcrc", "crc", "size")),
         ("xmodem-be", ("crc", "hcrc"))]


@pytest.mark.parametrize("name, fields", BOOTS, ids=[f"{n}-{'+'.join(f)}" for n, f in BOOTS])
def test_firmware_accepts_the_header(tmp_path, name, fields):
    """QEMU's Intel HEX loader on netduinoplus2: the firmware recomputes
    every field it finds filled in."""
    run_flash(tmp_path, FIRMWARE[name], fields)
    assert qemu.boot_status(["-device", f"loader,file={tmp_path / 'fw_CRC.hex'}"]) == qemu.BOOT_OK


def test_firmware_refuses_an_empty_header_and_a_changed_body(tmp_path):
    firmware = FIRMWARE["mpeg2"]
    path = run_flash(tmp_path, firmware, ("size", "crc", "hcrc"))
    assert qemu.boot_status(["-kernel", str(path)]) == qemu.BOOT_HEADER_EMPTY

    # The last loadable byte: the end of .data's initial values.
    flip_hex_byte(tmp_path / "fw_CRC.hex", max(loadable(path)))
    assert qemu.boot_status(["-device", f"loader,file={tmp_path / 'fw_CRC.hex'}"]) == \
        qemu.BOOT_CRC_BAD


# --- Two checks with their own algorithms, one FLASH run --------------------------

# tests/data/firmware/two_checks.c: a zlib CRC-32 of the body in the header at
# 0x08000040, and the STM32 CRC unit's CRC-32/MPEG-2 of the image, fed words,
# in app_crc, its last word. The unit skips the header's crc word, which
# covers app_crc in turn.
TWO_CHECKS = ["--header", "app_header:size@4,crc@8=crc-32/iso-hdlc", "--napp_crc", "--words",
              "--exclude", "0x08000048-0x0800004C"]


def two_checks(tmp_path, spelling):
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_two_checks.elf"), path)
    words = TWO_CHECKS
    if spelling == "response-file":
        (tmp_path / "records.rsp").write_text(
            "# the image's two checks\n" + " ".join(TWO_CHECKS[:2]) + "\n" +
            " ".join(TWO_CHECKS[2:4]) + "  # the STM32 unit\n" + " ".join(TWO_CHECKS[4:]) + "\n")
        words = [f"@{tmp_path / 'records.rsp'}"]
    done = run_command("FLASH", path, *words)
    assert done.returncode == 0, done.stdout + done.stderr
    return path, done.stdout


@pytest.mark.parametrize("spelling", ["words", "response-file"])
def test_one_run_stores_a_zlib_header_crc_and_the_stm32_units_crc(tmp_path, spelling):
    path, out = two_checks(tmp_path, spelling)
    memory = read_hex(tmp_path / "fw_CRC.hex").memory
    header, slot = 0x08000040, max(loadable(path)) - 3
    end = slot + 4
    image = bytes(memory[a] for a in range(0x08000000, end))

    def word(at):
        return int.from_bytes(image[at - 0x08000000:at - 0x08000000 + 4], "little")

    body = image[header + 16 - 0x08000000:]
    assert (word(header + 4), word(header + 8)) == (len(body), zlib.crc32(body))
    fed = image[:header + 8 - 0x08000000] + image[header + 12 - 0x08000000:slot - 0x08000000]
    assert word(slot) == crc(MPEG2, words_reversed(fed))
    assert ("app_header.crc at 0x08000048: [0x%08X] over (0x08000050~0x%08X) "
            "(CRC-32/ISO-HDLC, fed bytes)" % (zlib.crc32(body), end)) in out
    assert ("checksum range:(0x08000000~0x08000048, 0x0800004C~0x%08X) checksum offset "
            "address:[0x%08X] checksum: [0x%08X] (CRC-32/MPEG-2, fed words)"
            % (slot, slot - 0x08000000, word(slot))) in out
    hex_path = tmp_path / "fw_CRC.hex"
    assert qemu.boot_status(["-device", f"loader,file={hex_path}"]) == qemu.BOOT_OK
    done = run_command("CHECK", hex_path, "--header", "0x08000040+16:size@4,crc@8=crc-32",
                       f"--a{slot - 0x08000000:X}", "--words", "--exclude",
                       "0x08000048-0x0800004C")
    assert done.returncode == 0, done.stdout + done.stderr


# The unit skips the header's crc word, so a byte flipped there fails the
# zlib check alone; one flipped in .data's initial values (8 bytes before
# app_crc) fails the unit's first.
@pytest.mark.parametrize("where, status", [
    ("in-the-skipped-word", qemu.BOOT_HCRC_BAD),
    ("in-the-data", qemu.BOOT_CRC_BAD),
])
def test_the_firmware_finds_a_changed_byte(tmp_path, where, status):
    path, _ = two_checks(tmp_path, "words")
    hex_path = tmp_path / "fw_CRC.hex"
    flip_hex_byte(hex_path, 0x08000049 if where == "in-the-skipped-word"
                  else max(loadable(path)) - 11)
    assert qemu.boot_status(["-device", f"loader,file={hex_path}"]) == status
