"""Records: the algorithm by name, several checksums with their own ranges,
an image header's fields and the LPC vector sum, written by FLASH and
verified by CHECK. Every value is recomputed here from the HEX's bytes with
the catalogue's parameters (crcref), never with the tool's own code."""

import hashlib
import itertools
import json
import os
import random
import re
import shutil

import pytest

from conftest import DATA, run_cli
from crcref import CATALOGUE, Crc, crc
from elfwriter import STT_FUNC, STT_OBJECT, Elf, Segment
from hexcheck import flip_hex_byte, read_hex
from sumref import NOT_CRCS

LOAD = 0x08000000


def flash(velk, monkeypatch, elf, *options):
    code, out, err = run_cli(velk, monkeypatch, "FLASH", elf, *options)
    assert code == 0, err
    return read_hex(str(elf)[:-4] + "_CRC.hex"), out, err


def covered(image, start, end):
    return bytes(image.memory.get(a, 0xFF) for a in range(start, end))


def stored(image, slot, width, order):
    return int.from_bytes(image.bytes_at(slot, width), order)


# --- The algorithm by name ----------------------------------------------------

# One of each family: width, reflected or not.
FAMILIES = ["CRC-8/SMBUS", "CRC-8/MAXIM-DOW", "CRC-16/ARC", "CRC-16/XMODEM",
            "CRC-24/OPENPGP", "CRC-32/ISO-HDLC", "CRC-32/BZIP2", "CRC-64/WE", "crc-64-jones"]


@pytest.fixture
def plain_elf(tmp_path):
    """One segment of random bytes; the slot goes after them with --a."""
    data = random.Random(7).randbytes(0x1F8)
    path = tmp_path / "fw.elf"
    path.write_bytes(Elf(segments=[Segment(LOAD, data, section=".text")]).build())
    return path


@pytest.mark.parametrize("order", ["little", "big"])
@pytest.mark.parametrize("name", FAMILIES)
def test_each_family_stores_the_catalogue_crc(velk, monkeypatch, plain_elf, name, order):
    algorithm, width = CATALOGUE[name], CATALOGUE[name].width // 8
    be = ["--be"] if order == "big" else []
    # A 3-byte slot's address is a multiple of 3: one byte of fill before it.
    offset = 0x1F9 if width == 3 else 0x1F8
    image, out, _ = flash(velk, monkeypatch, plain_elf, f"--a{offset:X}", "--crc",
                          name.lower(), *be)
    value = crc(algorithm, covered(image, LOAD, LOAD + offset))
    assert stored(image, LOAD + offset, width, order) == value
    assert f"[0x{value:0{2 * width}X}]" in out
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", plain_elf.with_name("fw_CRC.hex"),
                           f"--a{offset:X}", "--crc", name, *be)
    assert code == 0 and out.startswith("checksum ok"), out


@pytest.mark.parametrize("spelt", ["crc 32", "CRC_32", "Crc-32"])
def test_a_name_is_read_with_spaces_and_underscores_as_dashes(velk, monkeypatch, plain_elf,
                                                             spelt):
    image, _, _ = flash(velk, monkeypatch, plain_elf, "--a1F8", "--crc", spelt)
    value = crc(CATALOGUE["CRC-32/ISO-HDLC"], covered(image, LOAD, LOAD + 0x1F8))
    assert stored(image, LOAD + 0x1F8, 4, "little") == value


@pytest.mark.parametrize("name", ["CRC-64/WE", "crc-64-jones"])
def test_an_8_byte_crc_needs_a_word_not_a_double_word(velk, monkeypatch, plain_elf, name):
    """A CRC-64 at an offset that is a multiple of 4 but not of 8."""
    image, _, _ = flash(velk, monkeypatch, plain_elf, "--a1FC", "--crc", name)
    assert (LOAD + 0x1FC) % 8 == 4
    value = crc(CATALOGUE[name], covered(image, LOAD, LOAD + 0x1FC))
    assert stored(image, LOAD + 0x1FC, 8, "little") == value


@pytest.mark.parametrize("name", ["CRC-24/BLE", "CRC-24/OPENPGP", "CRC-21/CAN-FD"])
@pytest.mark.parametrize("offset", [0x1F8, 0x1F9, 0x1FA], ids=["0x1F8", "0x1F9", "0x1FA"])
def test_a_3_byte_crc_goes_at_any_address(velk, monkeypatch, plain_elf, name, offset):
    """No load instruction reads 3 bytes: firmware reads them a byte at a
    time, so no address is wrong for them."""
    image, _, _ = flash(velk, monkeypatch, plain_elf, f"--a{offset:X}", "--crc", name)
    value = crc(CATALOGUE[name], covered(image, LOAD, LOAD + offset))
    assert stored(image, LOAD + offset, 3, "little") == value
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", plain_elf.with_name("fw_CRC.hex"),
                           f"--a{offset:X}", "--crc", name)
    assert code == 0 and out.startswith("checksum ok"), out
    import velk_crc
    assert velk_crc.check(plain_elf.with_name("fw_CRC.hex"), offset=offset, crc=name).ok


@pytest.mark.parametrize("name, offset, align", [
    ("CRC-16/XMODEM", 0x1F9, 2), ("CRC-32/ISO-HDLC", 0x1F6, 4), ("CRC-64/XZ", 0x1F6, 4)])
def test_force_lets_an_unaligned_offset_pass_with_a_warning(velk, monkeypatch, plain_elf, name,
                                                            offset, align):
    word = f"--a{offset:X}"
    code, _, err = run_cli(velk, monkeypatch, "FLASH", plain_elf, word, "--crc", name)
    assert code == 255 and f"the offset must be a multiple of {align}" in err, err
    image, _, err = flash(velk, monkeypatch, plain_elf, word, "--crc", name, "--force")
    width = CATALOGUE[name].width // 8
    assert (f"warning: {word}: the slot at 0x{LOAD + offset:08X} is not a multiple of {align}, "
            f"where a {width}-byte value belongs\n") in err, err
    value = crc(CATALOGUE[name], covered(image, LOAD, LOAD + offset))
    assert stored(image, LOAD + offset, width, "little") == value


@pytest.mark.parametrize("made, checked", [
    ("fletcher-32", "adler-32"), ("sum-32/words/neg", "CRC-32/MPEG-2"),
    ("CRC-16/XMODEM", "fletcher-16"),
], ids=["fletcher-as-adler", "sum-as-default", "crc-as-fletcher"])
def test_check_names_the_algorithm_a_file_was_made_with(velk, monkeypatch, plain_elf, made,
                                                        checked):
    flash(velk, monkeypatch, plain_elf, "--a1F8", "--crc", made)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", plain_elf.with_name("fw_CRC.hex"),
                             "--a1F8", "--crc", checked)
    assert code == 1 and out.startswith("checksum mismatch"), out
    assert f"is what {made} gives for the same bytes, stored little-endian: --crc {made}\n" \
        in err


@pytest.mark.parametrize("name", ["CRC-16/XMODEM", "CRC-32/ISO-HDLC", "CRC-64/XZ"])
@pytest.mark.parametrize("made, checked, hint", [
    ([], ["--be"], "stored little-endian: leave out --be"),
    (["--be"], [], "stored big-endian: add --be"),
], ids=["little-checked-big", "big-checked-little"])
def test_check_names_a_checksum_stored_in_the_other_order(velk, monkeypatch, plain_elf, name,
                                                          made, checked, hint):
    image, _, _ = flash(velk, monkeypatch, plain_elf, "--a1F8", "--crc", name, *made)
    width = CATALOGUE[name].width // 8
    value = crc(CATALOGUE[name], covered(image, LOAD, LOAD + 0x1F8))
    assert stored(image, LOAD + 0x1F8, width, "big" if made else "little") == value
    code, _, err = run_cli(velk, monkeypatch, "CHECK", plain_elf.with_name("fw_CRC.hex"),
                           "--a1F8", "--crc", name, *checked)
    assert code == 1
    assert f"hint: the value at 0x080001F8 is this checksum {hint}\n" in err, err


@pytest.mark.parametrize("order", ["little", "big"])
def test_sha256_is_stored_in_the_digests_order(velk, monkeypatch, plain_elf, order):
    """32 bytes as hashlib gives them, whatever --be says; --json's number is
    null and its bytes the digest."""
    be = ["--be"] if order == "big" else []
    image, out, _ = flash(velk, monkeypatch, plain_elf, "--a1F8", "--crc", "sha-256", *be)
    digest = hashlib.sha256(covered(image, LOAD, LOAD + 0x1F8)).digest()
    assert image.bytes_at(LOAD + 0x1F8, 32) == digest
    assert f"[0x{digest.hex().upper()}] (sha-256, fed bytes)" in out
    code, out, _ = run_cli(velk, monkeypatch, "FLASH", plain_elf, "--a1F8", "--crc", "sha-256",
                           "--json", *be)
    record = json.loads(out)["records"][0]
    assert (record["value"], record["bytes"], record["width"]) == (None, digest.hex(), 32)
    hex_file = plain_elf.with_name("fw_CRC.hex")
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_file, "--a1F8", "--crc", "sha-256",
                           *be)
    assert code == 0 and out.startswith("checksum ok"), out
    flip_hex_byte(hex_file, LOAD + 0x1F7)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_file, "--a1F8", "--crc", "sha-256")
    assert code == 1 and out.startswith("checksum mismatch"), out


# A mistyped name gets the nearest names first, never the whole list.
@pytest.mark.parametrize("option, typed, told", [
    ("--crc", "crc-32/iso-hdl", ' (did you mean CRC-32/ISO-HDLC or '),
    ("--crc", "CRC-16/XMODEN", ' (did you mean CRC-16/XMODEM, '),
    ("--crc", "fletcher-64", ' (did you mean fletcher-16 or fletcher-32?); '),
    ("--crc", "sum32/words/neg", ' (did you mean sum-32/words/neg, '),
    ("--crc", "qqqqqqqq", '"qqqqqqqq"; velk-crc --list-crc lists the names'),
    ("--uf2", "rp204", "--uf2 rp204: no such chip family (did you mean rp2040?); "),
    ("--uf2", "STM32F44", "no such chip family (did you mean stm32f4, "),
    ("--uf2", "qqqqqqqq", "--uf2 qqqqqqqq: no such chip family; give another family by its "
                          "ID as 0x<hex>"),
], ids=["iso-hdlc", "xmodem", "fletcher", "sum", "crc-nothing-near", "rp2040", "stm32f4",
        "uf2-nothing-near"])
def test_a_mistyped_name_gets_the_nearest_ones(velk, monkeypatch, tmp_path, option, typed,
                                               told):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value",
                             option, typed)
    assert (code, out) == (255, "")
    assert told in err
    assert err.count(", ") < 3 and "CRC-3/GSM" not in err and "esp32" not in err


# --- A CRC by its parameters ----------------------------------------------------

KERMIT = "width=16 poly=0x1021 init=0x0000 refin=true refout=true xorout=0x0000"


@pytest.mark.parametrize("words", [
    ["--crc", KERMIT],
    ["--crc", KERMIT.replace(" ", ",")],
    ["--crc", *KERMIT.split()],
    [f"--crc={KERMIT.replace(' ', ',')},check=0x2189"],
    ["--crc", *KERMIT.split(), "check=0x2189", "residue=0x0000", 'name="CRC-16/KERMIT"'],
], ids=["spaces", "commas", "words", "glued-with-check", "catalogue-line"])
def test_parameters_of_an_entry_are_that_entry(velk, monkeypatch, plain_elf, words):
    image, out, _ = flash(velk, monkeypatch, plain_elf, "--a1F8", *words)
    value = crc(CATALOGUE["CRC-16/KERMIT"], covered(image, LOAD, LOAD + 0x1F8))
    assert stored(image, LOAD + 0x1F8, 2, "little") == value
    assert f"[0x{value:04X}] (CRC-16/KERMIT, fed bytes)" in out


# The STM32H7's CRC unit as some bootloaders set it up: in no entry.
H7 = Crc(32, 0x04C11DB7, 0, False, False, 0x55555555, None)
H7_WORDS = "width=32 poly=0x04c11db7 init=0x00000000 refin=false refout=false xorout=0x55555555"


@pytest.mark.parametrize("order", ["little", "big"])
def test_parameters_of_no_entry_are_named_by_them(velk, monkeypatch, plain_elf, order):
    be = ["--be"] if order == "big" else []
    image, out, _ = flash(velk, monkeypatch, plain_elf, "--a1F8", "--crc",
                          H7_WORDS.replace(" ", ","), *be)
    value = crc(H7, covered(image, LOAD, LOAD + 0x1F8))
    assert stored(image, LOAD + 0x1F8, 4, order) == value
    assert f"({H7_WORDS}, fed bytes" in out
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", plain_elf.with_name("fw_CRC.hex"),
                           "--a1F8", "--crc", *H7_WORDS.split(), *be)
    assert code == 0 and out.startswith("checksum ok"), out


# --- Sums, Fletcher and Adler in a slot ------------------------------------------

@pytest.mark.parametrize("order", ["little", "big"])
@pytest.mark.parametrize("name, width", [
    ("sum-8/neg", 1), ("sum-16/words", 2), ("sum-32/words/neg", 4), ("sum-32/not", 4),
    ("fletcher-16", 2), ("fletcher-32", 4), ("adler-32", 4),
])
def test_sums_fletcher_and_adler_are_stored_and_checked(velk, monkeypatch, plain_elf, name,
                                                        width, order):
    be = ["--be"] if order == "big" else []
    image, out, _ = flash(velk, monkeypatch, plain_elf, "--a1F8", "--crc", name, *be)
    value = NOT_CRCS[name](covered(image, LOAD, LOAD + 0x1F8), order)
    assert stored(image, LOAD + 0x1F8, width, order) == value
    assert f"[0x{value:0{2 * width}X}] ({name}, fed bytes" in out
    hex_file = plain_elf.with_name("fw_CRC.hex")
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_file, "--a1F8", "--crc", name, *be)
    assert code == 0 and out.startswith("checksum ok"), out
    flip_hex_byte(hex_file, LOAD + 0x10)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_file, "--a1F8", "--crc", name, *be)
    assert code == 1 and out.startswith("checksum mismatch"), out


REFUSED = [
    # The slot variable is 4 bytes; a CRC-16 does not fill it.
    (["--ncrc_value", "--crc", "CRC-16/XMODEM"],
     "crc_value at 0x08000134 is not a 2-byte checksum variable: its size is 4 bytes "
     "(--force writes it anyway)"),
    (["--ncrc_value", "--crc", "crc-33"],
     'no checksum algorithm named "crc-33" (did you mean CRC-32/ISO-HDLC, CRC-7/MMC or '
     'CRC-8/SMBUS?); velk-crc --list-crc lists the names'),
    (["--ncrc_value", "--crc", KERMIT.replace(" ", ",") + ",check=0x2188"],
     f'"{KERMIT.replace(" ", ",")},check=0x2188": check=0x2188, but these parameters '
     '(CRC-16/KERMIT\'s) give 0x2189 for "123456789": is a parameter mistyped?'),
    (["--ncrc_value", "--crc", "width=16 poly=0x1023 init=0 refin=false refout=false "
      "xorout=0 check=0x31c3"],
     '"width=16 poly=0x1023 init=0 refin=false refout=false xorout=0 check=0x31c3": '
     f'check=0x31c3, but these parameters give '
     f'{crc(Crc(16, 0x1023, 0, False, False, 0, None), b"123456789"):#x} for "123456789": '
     'is a parameter mistyped?'),
    (["--ncrc_value", "--crc", "width=16,poly=0x11021,init=0,refin=false,refout=false,xorout=0"],
     '"width=16,poly=0x11021,init=0,refin=false,refout=false,xorout=0": poly=0x11021 does '
     'not fit 16 bits (the catalogue writes poly without its top bit)'),
    # The notation's own refusals: each parameter once, inside the width,
    # and a polynomial with its lowest bit set.
    (["--ncrc_value", "--crc", "width=16,poly=0x1020,init=0,refin=false,refout=false,xorout=0"],
     '"width=16,poly=0x1020,init=0,refin=false,refout=false,xorout=0": poly=0x1020: a CRC\'s '
     "polynomial has its lowest bit set"),
    (["--ncrc_value", "--crc",
      "width=16,poly=0x1021,poly=0x1021,init=0,refin=false,refout=false,xorout=0"],
     '"width=16,poly=0x1021,poly=0x1021,init=0,refin=false,refout=false,xorout=0": the poly '
     "field is given twice"),
    (["--ncrc_value", "--crc",
      "width=16,poly=0x1021,init=0x10000,refin=false,refout=false,xorout=0"],
     '"width=16,poly=0x1021,init=0x10000,refin=false,refout=false,xorout=0": init=0x10000 '
     "does not fit 16 bits"),
    (["--ncrc_value=width=8,poly=0x07,init=0,refin=false,refout=false,xorout=0x100"],
     '--ncrc_value=width=8,poly=0x07,init=0,refin=false,refout=false,xorout=0x100: '
     '"width=8,poly=0x07,init=0,refin=false,refout=false,xorout=0x100": xorout=0x100 does not '
     "fit 8 bits"),
    (["--ncrc_value", "--crc", "width=16,poly=0x1021"],
     '"width=16,poly=0x1021": the init field is missing: a CRC needs width, poly, init, '
     'refin, refout and xorout'),
    (["--ncrc_value", "--crc", "crc-82/darc"],
     '"crc-82/darc": CRC-82/DARC is 82 bits wide; velk-crc computes CRCs of up to 64 bits'),
    (["--ncrc_value", "--crc", "CRC-32/ISO-HDLC", "--words"],
     "--words feeds words the way an STM32 CRC unit computes CRC-32/MPEG-2: it does not "
     "combine with --crc CRC-32/ISO-HDLC"),
    (["--a136", "--crc", "crc-32"], "--a136: the offset must be a multiple of 4"),
    (["--ncrc_value", "--a134"], "the slots of crc_value (0x08000134, 4 bytes) and --a134 "
                                 "(0x08000134, 4 bytes) overlap"),
    (["--ncrc_value@crc_value"], "--ncrc_value@crc_value: the range from 0x08000134 to its "
                                 "slot is empty"),
    (["--ncrc_value@0x08000200"], "--ncrc_value@0x08000200: the range would start at "
                                  "0x08000200, after its slot at 0x08000134"),
    (["--ncrc_value@0x07000000"], "--ncrc_value@0x07000000: 0x07000000 lies outside the "
                                  "slot's image (0x08000000 to 0x08000138)"),
    # An algorithm of its own is refused by the word that names it.
    (["--ncrc_value=crc-33"], '--ncrc_value=crc-33: no checksum algorithm named "crc-33" '
                              "(did you mean CRC-32/ISO-HDLC, CRC-7/MMC or CRC-8/SMBUS?); "
                              "velk-crc --list-crc lists the names"),
    (["--ncrc_value=CRC-16/XMODEM"], "crc_value at 0x08000134 is not a 2-byte checksum "
                                     "variable: its size is 4 bytes (--force writes it anyway)"),
    # No CRC takes the words: --words would go unused.
    (["--lpc-vectors", "--words"],
     "--words feeds words the way an STM32 CRC unit computes CRC-32/MPEG-2: no checksum "
     "record here computes it"),
    (["--ncrc_value=crc-32", "--words"],
     "--words feeds words the way an STM32 CRC unit computes CRC-32/MPEG-2: no checksum "
     "record here computes it"),
    (["--ncrc_value", "--exclude", "0x09000000-0x09000010"],
     "--exclude 0x09000000-0x09000010 (0x09000000 to 0x09000010) covers no byte of any "
     "checksum's range"),
    (["--ncrc_value", "--exclude", "0x08000000-0x08000200"],
     "--exclude 0x08000000-0x08000200 leaves nothing of the range of crc_value"),
    (["--ncrc_value", "--exclude", "0x08000010-0x08000010"],
     "--exclude 0x08000010-0x08000010: 0x08000010 is not after 0x08000010: the byte at <to> "
     "is the first one kept"),
    (["--ncrc_value", "--exclude", "0x08000010"],
     "--exclude 0x08000010: give the bytes as <from>-<to> in 0x hex, <to> the first byte "
     "kept, as in 0x08000100-0x08000200; or a symbol"),
    (["--ncrc_value", "--exclude", "boot_status"],
     "--exclude boot_status (0x20000000 to 0x20000004) covers no byte of any checksum's range"),
]


@pytest.mark.parametrize("options, why", REFUSED, ids=[" ".join(o) for o, _ in REFUSED])
def test_refusals_write_nothing(velk, monkeypatch, tmp_path, options, why):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", *options)
    assert (code, out, err) == (255, "", f"error: {tmp_path / 'fw.elf'}: {why}\n")
    assert sorted(os.listdir(tmp_path)) == ["fw.elf"]


# A record placed over code is refused in one line naming the bytes it would
# replace, whatever its algorithm's width: a number up to 8 bytes, a
# digest's 32 as bytes.
@pytest.mark.parametrize("name, width", [("CRC-16/XMODEM", 2), ("CRC-64/XZ", 8),
                                         ("sha-256", 32)])
def test_a_record_over_code_names_the_bytes_it_replaces(velk, monkeypatch, plain_elf, name,
                                                        width):
    old = random.Random(7).randbytes(0x1F8)[0x40:0x40 + width]
    shown = (f"old value 0x{int.from_bytes(old, 'little'):0{2 * width}X}" if width <= 8
             else "old bytes " + " ".join(f"{b:02X}" for b in old))
    code, out, err = run_cli(velk, monkeypatch, "FLASH", plain_elf, f"--a40={name}")
    assert (code, out) == (255, "")
    assert err == (f"error: {plain_elf}: the checksum overwrites {width} bytes of image data "
                   f"({shown}) at 0x08000040 (--force writes it anyway)\n")
    assert sorted(os.listdir(plain_elf.parent)) == ["fw.elf"]


def test_a_wrong_width_slot_is_written_when_forced(velk, monkeypatch, tmp_path):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    image, _, err = flash(velk, monkeypatch, tmp_path / "fw.elf", "--ncrc_value", "--crc",
                          "xmodem", "--force")
    assert "warning: crc_value at 0x08000134 is not a 2-byte checksum variable" in err
    value = crc(CATALOGUE["CRC-16/XMODEM"], covered(image, LOAD, 0x08000134))
    assert stored(image, 0x08000134, 2, "little") == value


def test_check_names_the_algorithm_that_was_used(velk, monkeypatch, tmp_path):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    flash(velk, monkeypatch, tmp_path / "fw.elf", "--ncrc_value", "--crc", "CRC-32/ISCSI",
          "--be")
    code, _, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex", "--a134")
    assert code == 1
    assert ("hint: the value at 0x08000134 is what CRC-32/ISCSI gives for the same bytes, "
            "stored big-endian: --crc CRC-32/ISCSI --be\n") in err


@pytest.mark.parametrize("placeholder", [b"\x00" * 4, b"\xff" * 4], ids=["zeros", "erased"])
def test_check_names_no_algorithm_for_a_placeholder(velk, monkeypatch, tmp_path, placeholder):
    """Over zeros every CRC without init and xorout gives zero: a slot still
    holding its placeholder matches rows by chance, and none is named."""
    from elfwriter import Elf, Segment
    data = bytes(0x40) + placeholder + bytes(range(0x40))
    elf = Elf(segments=[Segment(LOAD, data, section=".text")],
              symbols=[("crc_value", LOAD + 0x40, 4, 1)], entry=LOAD + 1)
    (tmp_path / "fw.elf").write_bytes(elf.build())
    code, _, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw.elf", "--ncrc_value")
    assert code == 1
    assert "hint: the value at" not in err, err


# --- Several records ------------------------------------------------------------

A, B, C = LOAD + 0x13C, LOAD + 0x2FC, LOAD + 0x3FC


@pytest.fixture
def three_slot_elf(tmp_path):
    """Three 4-byte slots in one segment, placeholders in random bytes."""
    data = bytearray(random.Random(3).randbytes(0x400))
    for slot in (A, B, C):
        data[slot - LOAD:slot - LOAD + 4] = b"\xff" * 4
    symbols = [(name, slot, 4, STT_OBJECT) for name, slot in
               (("slot_a", A), ("slot_b", B), ("slot_c", C), ("b_from", LOAD + 0x100))]
    path = tmp_path / "fw.elf"
    path.write_bytes(Elf(segments=[Segment(LOAD, bytes(data), section=".text")],
                         symbols=symbols).build())
    return path


# Each record's slot and where its range starts: B's range takes in A's
# slot and C's takes in B's, overlapping and nested.
RECORDS = {"--nslot_a": (A, LOAD), "--nslot_b@b_from": (B, LOAD + 0x100),
           "--a3FC@0x08000200": (C, LOAD + 0x200)}


@pytest.mark.parametrize("words", list(itertools.permutations(RECORDS)))
def test_records_in_any_word_order_give_the_same_bytes(velk, monkeypatch, three_slot_elf,
                                                        words):
    image, out, _ = flash(velk, monkeypatch, three_slot_elf, *words, "--json")
    mpeg2 = CATALOGUE["CRC-32/MPEG-2"]
    # Each value over the bytes as written: the records it covers in place.
    for slot, start in RECORDS.values():
        assert stored(image, slot, 4, "little") == crc(mpeg2, covered(image, start, slot))
    report = json.loads(out)
    assert [(r["slot"], r["start"], r["end"]) for r in report["records"]] == [
        (slot, start, slot) for slot, start in RECORDS.values()]
    assert report["record"] == A and report["checksum"] == stored(image, A, 4, "little")
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", three_slot_elf.with_name("fw_CRC.hex"),
                           "--elf", three_slot_elf, *reversed(words))
    assert code == 0 and out.count("checksum ok") == 3, out


# A tampered slot is wrong, and so is every record whose range reads it: the
# bootloader's check of that record fails on the file's bytes too.
@pytest.mark.parametrize("slot, wrong_slots", [(A, [A, B]), (B, [B, C]), (C, [C])])
def test_check_names_each_tampered_record(velk, monkeypatch, three_slot_elf, slot,
                                          wrong_slots):
    flash(velk, monkeypatch, three_slot_elf, *RECORDS)
    hex_path = three_slot_elf.with_name("fw_CRC.hex")
    flip_hex_byte(hex_path, slot + 1)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, "--nslot_a",
                           "--nslot_b@b_from", "--a3FC@0x08000200", "--elf", three_slot_elf)
    wrong = [line for line in out.splitlines() if "mismatch" in line]
    assert code == 1 and [int(line.split(" at 0x")[1][:8], 16) for line in wrong] == \
        wrong_slots, out


# --- An algorithm for each record -------------------------------------------------

SMALL, BIG = LOAD + 0x2FE, LOAD + 0x3FC


@pytest.fixture
def two_width_elf(tmp_path):
    """A 2-byte slot inside the range of a 4-byte one, in random bytes."""
    data = bytearray(random.Random(11).randbytes(0x400))
    data[SMALL - LOAD:SMALL - LOAD + 2] = b"\xff" * 2
    data[BIG - LOAD:BIG - LOAD + 4] = b"\xff" * 4
    symbols = [("crc_small", SMALL, 2, STT_OBJECT), ("crc_big", BIG, 4, STT_OBJECT)]
    path = tmp_path / "fw.elf"
    path.write_bytes(Elf(segments=[Segment(LOAD, bytes(data), section=".text")],
                         symbols=symbols).build())
    return path


# Each record's word: its slot, where its range starts and its algorithm.
# The big one's range takes in the small one's slot, so the small one is
# stored first whatever the order of the words.
TWO = {"--ncrc_small=CRC-16/XMODEM": (SMALL, LOAD, "CRC-16/XMODEM"),
       "--ncrc_big@0x08000200=crc-32/iso-hdlc": (BIG, LOAD + 0x200, "CRC-32/ISO-HDLC")}
ORDERS = [pytest.param(o, id=f"{o}-endian") for o in ("little", "big")]
WORDS = [pytest.param(list(w), id=" ".join(t.split("=")[0] for t in w))
         for w in itertools.permutations(TWO)]


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("words", WORDS)
def test_two_algorithms_and_widths_in_one_run(velk, monkeypatch, two_width_elf, words, order):
    be = ["--be"] if order == "big" else []
    image, out, _ = flash(velk, monkeypatch, two_width_elf, *words, *be, "--json")
    for slot, start, name in TWO.values():
        want = crc(CATALOGUE[name], covered(image, start, slot))
        assert stored(image, slot, CATALOGUE[name].width // 8, order) == want, name
    assert [(r["name"], r["width"], r["algorithm"]) for r in json.loads(out)["records"]] == [
        ("crc_small", 2, "CRC-16/XMODEM"), ("crc_big", 4, "CRC-32/ISO-HDLC")]
    # --crc is the default of a record that names none: the same bytes.
    other = [w.replace("=crc-32/iso-hdlc", "") for w in words]
    assert flash(velk, monkeypatch, two_width_elf, *other, *be, "--crc", "CRC-32/ISO-HDLC")[0] \
        .memory == image.memory
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", two_width_elf.with_name("fw_CRC.hex"),
                           "--elf", two_width_elf, *reversed(words), *be)
    fed = "fed bytes, big-endian" if be else "fed bytes"
    assert code == 0 and out.splitlines() == [
        f"checksum ok: [0x{stored(image, SMALL, 2, order):04X}] at 0x{SMALL:08X} (crc_small) "
        f"(CRC-16/XMODEM, {fed}); the file is {two_width_elf}, checksummed",
        f"checksum ok: [0x{stored(image, BIG, 4, order):08X}] at 0x{BIG:08X} (crc_big) "
        f"(CRC-32/ISO-HDLC, {fed})"], out


# A tampered slot is wrong, and so is the big record, whose range reads the
# small one's slot; each line names the record's own algorithm.
@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("slot, wrong", [
    (SMALL, ["(crc_small): stored [0x", "(CRC-16/XMODEM", "(crc_big): stored [0x",
             "(CRC-32/ISO-HDLC"]),
    (BIG, ["(crc_big): stored [0x", "(CRC-32/ISO-HDLC"]),
], ids=["small", "big"])
def test_check_names_each_tampered_record_and_its_algorithm(velk, monkeypatch, two_width_elf,
                                                            slot, wrong, order):
    be = ["--be"] if order == "big" else []
    flash(velk, monkeypatch, two_width_elf, *TWO, *be)
    hex_path = two_width_elf.with_name("fw_CRC.hex")
    flip_hex_byte(hex_path, slot)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, "--a2FE=xmodem",
                           "--a3FC@0x08000200=crc-32/iso-hdlc", *be)
    mismatches = [line for line in out.splitlines() if line.startswith("checksum mismatch")]
    assert code == 1 and len(mismatches) == len(wrong) // 2, out
    for line, (record, algorithm) in zip(mismatches, zip(wrong[::2], wrong[1::2])):
        assert record.replace("crc_small", "--a2FE").replace("crc_big", "--a3FC") in line
        assert algorithm in line, line


# --- Ranges with holes -----------------------------------------------------------

@pytest.fixture
def table_elf(tmp_path):
    data = bytearray(random.Random(13).randbytes(0x400))
    data[0x3FC:] = b"\xff" * 4
    symbols = [("crc", LOAD + 0x3FC, 4, STT_OBJECT), ("table", LOAD + 0x40, 0x20, STT_OBJECT)]
    path = tmp_path / "fw.elf"
    path.write_bytes(Elf(segments=[Segment(LOAD, bytes(data), section=".text")],
                         symbols=symbols).build())
    return path


# The words, and the bytes left out ([from, to) from the image start).
EXCLUSIONS = {
    "one": (["0x08000100-0x08000140"], [(0x100, 0x140)]),
    "overlapping": (["0x08000100-0x08000140", "0x08000120-0x08000180"], [(0x100, 0x180)]),
    "two": (["0x08000300-0x08000304", "0x080000F0-0x08000100"], [(0xF0, 0x100), (0x300, 0x304)]),
    "below-the-range": (["0x07FFFF00-0x08000010"], [(0, 0x10)]),
    "a-symbol": (["table"], [(0x40, 0x60)]),
}


@pytest.mark.parametrize("name", EXCLUSIONS)
def test_an_exclusion_leaves_its_bytes_out(velk, monkeypatch, table_elf, name):
    words, holes = EXCLUSIONS[name]
    options = ["--a3FC", *(w for word in words for w in ("--exclude", word))]
    image, out, _ = flash(velk, monkeypatch, table_elf, *options, "--json")
    kept = [(a, b) for a, b in zip([0] + [h[1] for h in holes], [h[0] for h in holes] + [0x3FC])
            if a < b]
    fed = b"".join(covered(image, LOAD + a, LOAD + b) for a, b in kept)
    assert stored(image, LOAD + 0x3FC, 4, "little") == crc(CATALOGUE["CRC-32/MPEG-2"], fed)
    assert json.loads(out)["records"][0]["ranges"] == [
        {"start": LOAD + a, "end": LOAD + b} for a, b in kept]
    _, out, _ = flash(velk, monkeypatch, table_elf, *options)
    assert "checksum range:(%s) checksum offset" % ", ".join(
        f"0x{LOAD + a:08X}~0x{LOAD + b:08X}" for a, b in kept) in out

    # CHECK of the HEX alone, told the same bytes by address.
    hex_path = table_elf.with_name("fw_CRC.hex")
    check = ["--a3FC", *(w for a, b in holes
                         for w in ("--exclude", f"0x{LOAD + a:08X}-0x{LOAD + b:08X}"))]
    assert run_cli(velk, monkeypatch, "CHECK", hex_path, *check)[0] == 0
    flip_hex_byte(hex_path, LOAD + holes[-1][1] - 1)  # inside the last hole
    assert run_cli(velk, monkeypatch, "CHECK", hex_path, *check)[0] == 0
    flip_hex_byte(hex_path, LOAD + holes[-1][1])  # the first byte after it
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, *check)
    assert code == 1 and out.startswith("checksum mismatch at 0x080003FC"), out


def test_an_exclusion_cuts_every_checksum_that_covers_it(velk, monkeypatch, header_elf):
    """The header's crc and the trailer both cover the hole; hcrc does not."""
    image, out, _ = flash(velk, monkeypatch, header_elf, "--header",
                          "app_header:crc@12,hcrc@16=crc-16/xmodem", "--ntrailer@0x08000060",
                          "--exclude", "0x08000100-0x08000108", "--json")
    iso = CATALOGUE["CRC-32/MPEG-2"]
    records = {r["name"]: r for r in json.loads(out)["records"]}
    assert records["trailer"]["value"] == crc(iso, covered(image, LOAD + 0x60, LOAD + 0x100) +
                                              covered(image, LOAD + 0x108, LOAD + 0x3EC))
    assert records["app_header.crc"]["value"] == crc(
        iso, covered(image, LOAD + 0x60, LOAD + 0x100) + covered(image, LOAD + 0x108,
                                                                 LOAD + 0x3F4))
    assert records["app_header.hcrc"]["value"] == crc(CATALOGUE["CRC-16/XMODEM"],
                                                      covered(image, HEADER, HEADER + 16))
    assert (records["app_header.hcrc"]["width"], records["app_header.hcrc"]["algorithm"]) == \
        (2, "CRC-16/XMODEM")


@pytest.fixture
def function_elf(tmp_path):
    """An Arm build: vectors, a Thumb function at 0x08000040 (its symbol
    0x08000041), more code and the slot last."""
    data = random.Random(9).randbytes(0x1FC) + b"\xff" * 4
    path = tmp_path / "fw.elf"
    path.write_bytes(Elf(segments=[Segment(LOAD, data, section=".text")], symbols=[
        ("crc", LOAD + 0x1FC, 4, STT_OBJECT), ("app_main", LOAD + 0x41, 0x20, STT_FUNC)]
    ).build())
    return path


@pytest.mark.parametrize("word, start", [
    ("--ncrc@app_main", LOAD + 0x40),        # bit 0 of a Thumb function's symbol cleared
    ("--ncrc@0x08000000", LOAD),             # the image's first byte
], ids=["thumb-function", "image-start"])
def test_a_range_starts_where_its_word_says(velk, monkeypatch, function_elf, word, start):
    image, out, _ = flash(velk, monkeypatch, function_elf, word, "--json")
    slot = LOAD + 0x1FC
    assert stored(image, slot, 4, "little") == crc(CATALOGUE["CRC-32/MPEG-2"],
                                                   covered(image, start, slot))
    assert [(r["start"], r["end"]) for r in json.loads(out)["records"]] == [(start, slot)]


# --- An image header and the LPC vector sum --------------------------------------

HEADER = LOAD + 0x40


@pytest.fixture
def header_elf(tmp_path):
    """Vectors, a 32-byte header object, a body ending off a word boundary
    and a trailer slot at its end."""
    data = bytearray(random.Random(5).randbytes(0x3F3))
    data[0x40:0x60] = b"\xff" * 32
    data[0x3EC:0x3F0] = b"\xff" * 4
    symbols = [("app_header", HEADER, 32, STT_OBJECT), ("trailer", LOAD + 0x3EC, 4, STT_OBJECT),
               ("ram_header", 0x20000000, 32, STT_OBJECT)]
    path = tmp_path / "fw.elf"
    path.write_bytes(Elf(segments=[Segment(LOAD, bytes(data), section=".text")],
                         symbols=symbols).build())
    return path


def test_header_fields_and_a_trailer_checksum(velk, monkeypatch, header_elf):
    """The trailer covers the body from the header's end and lies in it:
    it is stored first, the body's CRC after."""
    image, _, _ = flash(velk, monkeypatch, header_elf,
                        "--header", "app_header:hcrc@16,crc@12,size@8",
                        "--ntrailer@0x08000060", "--crc", "CRC-32/ISO-HDLC")
    iso = CATALOGUE["CRC-32/ISO-HDLC"]
    body_end = LOAD + 0x3F4  # the last loadable byte + 1, rounded up to 4
    assert image.memory.get(LOAD + 0x3F3, 0xFF) == 0xFF
    assert stored(image, LOAD + 0x3EC, 4, "little") == crc(iso, covered(image, HEADER + 32,
                                                                        LOAD + 0x3EC))
    assert stored(image, HEADER + 8, 4, "little") == body_end - (HEADER + 32)
    assert stored(image, HEADER + 12, 4, "little") == crc(iso, covered(image, HEADER + 32,
                                                                       body_end))
    assert stored(image, HEADER + 16, 4, "little") == crc(iso, covered(image, HEADER,
                                                                       HEADER + 16))


def test_a_header_field_may_end_at_the_headers_end(velk, monkeypatch, header_elf):
    image, _, _ = flash(velk, monkeypatch, header_elf, "--header", "app_header:crc@28")
    assert stored(image, HEADER + 28, 4, "little") == crc(
        CATALOGUE["CRC-32/MPEG-2"], covered(image, HEADER + 32, LOAD + 0x3F4))


# A tampered size or crc field is wrong, and so is hcrc, which covers it: a
# bootloader recomputing hcrc over the file's header refuses it.
@pytest.mark.parametrize("field, line", [
    ("size", "app_header.size at 0x08000048 holds 0x0000036B; the body is 0x00000394 bytes"),
    ("crc", "app_header.crc at 0x0800004C holds 0x"),
    ("hcrc", "app_header.hcrc at 0x08000050 holds 0x"),
])
def test_check_names_each_wrong_header_field(velk, monkeypatch, header_elf, field, line):
    header = ["--header", "app_header:size@8,crc@12,hcrc@16"]
    image, _, _ = flash(velk, monkeypatch, header_elf, *header)
    hex_path = header_elf.with_name("fw_CRC.hex")
    flip_hex_byte(hex_path, HEADER + {"size": 8, "crc": 12, "hcrc": 16}[field])
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, *header, "--elf", header_elf)
    wrong = [text for text in out.splitlines() if " holds " in text]
    assert code == 1 and wrong[0].startswith(line), out
    if field != "hcrc":
        # The header's own bytes, as the file holds them, give another hcrc.
        tampered = covered(image, HEADER, HEADER + 16)
        at = {"size": 8, "crc": 12}[field]
        tampered = tampered[:at] + bytes([tampered[at] ^ 0xFF]) + tampered[at + 1:]
        own = crc(CATALOGUE["CRC-32/MPEG-2"], tampered)
        assert wrong[1:] == [
            f"app_header.hcrc at 0x08000050 holds 0x{stored(image, HEADER + 16, 4, 'little'):08X}; "
            f"the checksum of the bytes before it is 0x{own:08X} from the file's bytes, "
            f"0x{stored(image, HEADER + 16, 4, 'little'):08X} from {header_elf}'s "
            "(CRC-32/MPEG-2, fed bytes)"], out
    else:
        assert len(wrong) == 1, out


# A HEX file checked alone: the header's address and size in place of its
# symbol, each field with the algorithm FLASH gave it.
def test_check_reads_a_header_by_its_address_without_the_build(velk, monkeypatch, header_elf):
    fields = "size@8,crc@12=crc-32/iso-hdlc,hcrc@16=crc-16/xmodem"
    image, _, _ = flash(velk, monkeypatch, header_elf, "--header", f"app_header:{fields}")
    hex_path = header_elf.with_name("fw_CRC.hex")
    body = crc(CATALOGUE["CRC-32/ISO-HDLC"], covered(image, HEADER + 32, LOAD + 0x3F4))
    assert stored(image, HEADER + 12, 4, "little") == body
    header = ["--header", f"0x{HEADER:08X}+32:{fields}"]
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, *header)
    assert code == 0 and out.splitlines()[1] == (
        f"header.crc ok: [0x{body:08X}] at 0x0800004C (CRC-32/ISO-HDLC, fed bytes)"), out
    flip_hex_byte(hex_path, HEADER + 12)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, *header)
    wrong = [line.split(" holds")[0] for line in out.splitlines() if " holds " in line]
    assert code == 1 and wrong == ["header.crc at 0x0800004C", "header.hcrc at 0x08000050"], out
    code, _, err = run_cli(velk, monkeypatch, "CHECK", hex_path, "--header",
                           f"app_header:{fields}")
    assert code == 2 and err.endswith(
        "--header needs the build's symbols to find app_header: check the ELF file, pass it "
        "with --elf, or give the header's address and size, as in --header "
        "0x08004000+16:size@4,crc@8\n"), err


HEADER_REFUSED = [
    ("app_header:size@8,crc@12,hcrc@16", ["--ntrailer"],
     "trailer and app_header.crc cover each other's slot"),
    ("app_header:size@8,size@12", [], "the size field is given twice"),
    ("app_header:sum@8", [], '"sum@8" is no field'),
    ("app_header:size@8,crc@12,", [], '"" is no field'),
    ("app_header:crc", [], "the crc field needs its offset from the header's start"),
    ("app_header:crc@30", [], "the crc field (4 bytes at offset 30) lies outside app_header"),
    ("app_header:crc@0x0A", [], "the crc field at 0x0800004A is not aligned"),
    ("app_header:size@8,crc@10", [], "the crc field at 0x0800004A is not aligned"),
    ("app_header:hcrc@0", [], "the hcrc field is the header's first byte"),
    ("ram_header:crc@12", [], "ram_header at 0x20000000 is not in flash"),
    ("app_header", [], "give the header's symbol and its fields"),
    ("app_header:crc@12", ["--s1024"], "does not combine with --n, --a, another --s or --header"),
    ("app_header:size@8=crc-32", [], 'the size field is the body\'s length, which no algorithm '
                                     'computes: "size@8=crc-32"'),
    ("app_header:crc@12=crc-99", [], 'no checksum algorithm named "crc-99"'),
    # A CRC by its parameters keeps its commas; the field after it is read.
    ("app_header:crc@12=width=16,poly=0x1021,hcrc@16", [],
     '"width=16,poly=0x1021": the init field is missing'),
    ("app_header:crc@12=crc-32,hcrc@14=crc-16/xmodem", [], "the hcrc field overlaps the crc field"),
    ("0x08000040+0:crc@12", [], '"0x08000040+0" is no header: give its address and size'),
    ("0x08000040:crc@12", [], '"0x08000040" is no header'),
    ("0x08000040+0x1000:crc@12", [], "0x08000040+0x1000 (0x08000040, 4096 bytes) is not all in "
                                     "the loadable bytes"),
]


@pytest.mark.parametrize("layout, more, why", HEADER_REFUSED)
def test_wrong_header_layouts_are_refused(velk, monkeypatch, header_elf, layout, more, why):
    code, out, err = run_cli(velk, monkeypatch, "FLASH", header_elf, "--header", layout, *more)
    assert (code, out) == (255, "") and why in err and err.count("\n") == 1, err
    assert sorted(os.listdir(header_elf.parent)) == ["fw.elf"]


def test_lpc_vector_sum_then_a_checksum_over_it(velk, monkeypatch, tmp_path):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    image, out, _ = flash(velk, monkeypatch, tmp_path / "fw.elf", "--ncrc_value",
                          "--lpc-vectors", "--be")
    words = [stored(image, LOAD + 4 * i, 4, "little") for i in range(8)]
    assert sum(words) % 2**32 == 0
    assert stored(image, 0x08000134, 4, "big") == crc(CATALOGUE["CRC-32/MPEG-2"],
                                                      covered(image, LOAD, 0x08000134))
    hex_path = tmp_path / "fw_CRC.hex"
    options = ["--lpc-vectors", "--a134", "--be"]
    assert run_cli(velk, monkeypatch, "CHECK", hex_path, *options)[0] == 0
    flip_hex_byte(hex_path, LOAD + 4)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, *options)
    assert code == 1
    assert "the LPC vector checksum at 0x0800001C holds 0x" in out
    assert "checksum mismatch at 0x08000134" in out


# --- A record's value as --json gives it ---------------------------------------

@pytest.mark.parametrize("order", ["little", "big"])
def test_json_gives_each_records_slot_bytes_and_number(velk, monkeypatch, header_elf, order):
    """"bytes" are the slot's bytes as the HEX holds them; "value" is their
    number in the order the record is stored (the LPC sum little-endian
    always, as the core reads it)."""
    be = ["--be"] if order == "big" else []
    image, out, _ = flash(velk, monkeypatch, header_elf, "--header",
                          "app_header:size@8,crc@12,hcrc@16", "--lpc-vectors",
                          "--ntrailer@0x08000060", "--json", "--force", *be)
    records = json.loads(out)["records"]
    assert [r["kind"] for r in records] == ["lpc", "size", "crc", "crc", "crc"]
    for r in records:
        held = image.bytes_at(r["slot"], r["width"])
        assert bytes.fromhex(r["bytes"]) == bytes(held), r["name"]
        stored_as = "little" if r["kind"] == "lpc" else order
        assert r["value"] == int.from_bytes(held, stored_as), r["name"]


@pytest.mark.parametrize("mode", ["flash", "check"])
def test_words_without_a_crc_are_refused_by_the_api(plain_elf, mode):
    import velk_crc
    with pytest.raises((velk_crc.Refused, velk_crc.CannotVerify),
                       match=": words=True feeds words the way an STM32 CRC unit computes "
                             "CRC-32/MPEG-2: no checksum record here computes it$"):
        getattr(velk_crc, mode)(plain_elf, lpc_vectors=True, words=True)


@pytest.mark.parametrize("notation, why", [
    ("width=16,poly=0x8000,init=0,refin=false,refout=false,xorout=0",
     "poly=0x8000: a CRC's polynomial has its lowest bit set"),
    ("width=16,poly=0x1021,init=0,init=0,refin=false,refout=false,xorout=0",
     "the init field is given twice"),
    ("width=32,poly=0x04c11db7,init=0x1ffffffff,refin=false,refout=false,xorout=0",
     "init=0x1ffffffff does not fit 32 bits"),
], ids=["even-poly", "field-twice", "init-wider"])
def test_the_api_refuses_the_notation_alike(plain_elf, notation, why):
    import velk_crc
    with pytest.raises(velk_crc.Refused, match=re.escape(f'"{notation}": {why}') + "$"):
        velk_crc.flash(plain_elf, offset=0x1F8, crc=notation)
    assert not plain_elf.with_name("fw_CRC.hex").exists()


@pytest.mark.parametrize("fill", [0x00, 0xFF, 0x5A])
@pytest.mark.parametrize("name", ["CRC-32/MPEG-2", "CRC-16/XMODEM", "sha-256"])
def test_a_hole_in_the_range_is_the_fill_value(velk, monkeypatch, tmp_path, fill, name):
    """Two segments 0x80 bytes apart, one image: the checksum takes the
    hole as erased flash reads, --fill's value."""
    low, high = random.Random(3).randbytes(0x100), bytearray(random.Random(4).randbytes(0x80))
    high[0x40:0x60] = b"\xff" * 32  # the slot, at 0x080001C0
    path = tmp_path / "fw.elf"
    path.write_bytes(Elf(segments=[Segment(LOAD, low, section=".text"),
                                   Segment(LOAD + 0x180, bytes(high), section=".rodata")]
                         ).build())
    image, _, _ = flash(velk, monkeypatch, path, "--a1C0", "--crc", name, "--fill",
                        f"0x{fill:02X}")
    covered_bytes = low + bytes([fill]) * 0x80 + bytes(high[:0x40])
    if name == "sha-256":
        assert image.bytes_at(LOAD + 0x1C0, 32) == hashlib.sha256(covered_bytes).digest()
    else:
        width = CATALOGUE[name].width // 8
        assert stored(image, LOAD + 0x1C0, width, "little") == crc(CATALOGUE[name],
                                                                    covered_bytes)
