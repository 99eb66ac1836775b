"""FLASH --mcuboot at the edges of its settings and of the slot: settings
given twice or with a stray comma, a security counter from a version given
after it, the vector table's alignment, 2-byte writes, an image that fills
its slot to the last byte, a build linked right at the header's size, and
the API's False and tuple settings; checked against imgtool 2.5.0's bytes,
the command line's, and the TLVs and trailer as the test reads them."""

import os
import re
import struct

import pytest

import velk_crc
from conftest import run_command
from elfwriter import Elf, Segment
from hexcheck import read_hex
from test_mcuboot import (BODY, HEADER, IMAGE_MAGIC, SLOT, TRAILER_MAGIC, app_elf,
                          imgtool_sign, memory_bytes, tlvs_of)

SECURITY_COUNTER, DEPENDENCY = 0x50, 0x40
HASH_TLVS = 4 + 4 + 32  # the unprotected area's info, the SHA-256 TLV


def trailer_size(align):
    """The trailer in a slot of 128 sectors, swap using scratch (imgtool's
    default): a swap status of 3 writes a sector, swap info, copy done and
    image ok of at least 8 bytes each, then the magic."""
    return 128 * 3 * align + 4 * max(align, 8) + max(align, 16)


def image_of(folder, name="fw_CRC.hex"):
    memory = read_hex(folder / name).memory
    return memory_bytes(memory, min(memory), max(memory) + 1)


def flash_words(folder, settings, *words):
    done = run_command("FLASH", "fw.elf", *words, "--mcuboot", settings, cwd=folder)
    return done


# --- settings refused as typed ------------------------------------------------------

@pytest.mark.parametrize("settings, says", [
    pytest.param("header=0x200,header=0x400", '"header" is given twice', id="header-twice"),
    pytest.param("header=0x200,version=1.0.0,version=1.0.0", '"version" is given twice',
                 id="same-version-twice"),
    pytest.param("header=0x200,tlv=0xA0:01,tlv=0xA0:02",
                 "tlv=0xA0:02: that type is given twice", id="custom-tlv-type-twice"),
    pytest.param("header=0x200,", 'an empty setting in "header=0x200,"', id="trailing-comma"),
    pytest.param(",header=0x200", 'an empty setting in ",header=0x200"', id="leading-comma"),
    pytest.param("header=0x200,,slot=0x8000", 'an empty setting in "header=0x200,,slot=0x8000"',
                 id="two-commas"),

    *[pytest.param(f"header=0x200,tlv=0xA0:{value}",
                   f"tlv=0xA0:{value} is no TLV: <type>:<hex bytes>, as in tlv=0xA0:01020304",
                   id=f"tlv-{name}")
      for name, value in [("odd-digits", "0102030"), ("not-hex", "01G2"), ("prefix-alone", "0x"),
                          ("empty", ""), ("signed", "-102")]],
])
def test_a_setting_typed_wrong_is_refused(tmp_path, settings, says):
    app_elf(tmp_path / "fw.elf", "added")
    done = flash_words(tmp_path, settings, "--ncrc_slot")
    assert (done.returncode, done.stdout, done.stderr) == (
        255, "", f"error: fw.elf: --mcuboot: {says}\n")
    assert os.listdir(tmp_path) == ["fw.elf"]


def test_the_api_refuses_a_custom_tlv_type_twice(tmp_path):
    app_elf(tmp_path / "fw.elf", "added")
    with pytest.raises(velk_crc.Refused, match=r"^.*fw\.elf: mcuboot: tlv=160:02: that type "
                                               r"is given twice$"):
        velk_crc.flash(tmp_path / "fw.elf", symbol="crc_slot",
                       mcuboot={"header": HEADER, "tlv": [(0xA0, "01"), (0xA0, "02")]})
    assert os.listdir(tmp_path) == ["fw.elf"]


@pytest.mark.parametrize("function", ["flash", "check"])
@pytest.mark.parametrize("settings, says", [
    pytest.param({"header": HEADER, "confirm": 1},
                 'mcuboot["confirm"] must be True or False, not int', id="switch-as-int"),
    pytest.param({"header": True}, 'mcuboot["header"] must be a str or an int, not bool',
                 id="size-as-bool"),
    pytest.param({"header": HEADER, "key": 5},
                 'mcuboot["key"] must be a path (str or os.PathLike), not int', id="key-as-int"),
])
def test_the_api_types_each_setting_alike_in_both_functions(tmp_path, function, settings,
                                                            says):
    """A value of the wrong type is the caller's TypeError, named by its
    key, in FLASH and CHECK alike: not a command line's refusal."""
    app_elf(tmp_path / "fw.elf", "added")
    with pytest.raises(TypeError, match="^" + re.escape(says) + "$"):
        getattr(velk_crc, function)(tmp_path / "fw.elf", symbol="crc_slot", mcuboot=settings)
    assert os.listdir(tmp_path) == ["fw.elf"]


# --- counter=auto takes the version, wherever it is given ---------------------------

def counter_of(version):
    """imgtool's security counter for -s auto: major, minor and revision in
    one word; the build number is left out."""
    major, minor, revision = (int(part) for part in version.split("+")[0].split("."))
    return major << 24 | minor << 16 | revision


@pytest.mark.parametrize("version", ["2.1.7+99", "0.0.1", "255.255.65535"])
def test_counter_auto_takes_the_version_in_either_order(tmp_path, version):
    app_elf(tmp_path / "fw.elf", "added")
    images = {}
    for order in ("counter-first", "version-first"):
        settings = (f"header=0x200,counter=auto,version={version}"
                    if order == "counter-first" else
                    f"header=0x200,version={version},counter=auto")
        done = flash_words(tmp_path, settings, "--ncrc_slot", "--bin")
        assert done.returncode == 0, done.stderr
        images[order] = (tmp_path / "fw_CRC.bin").read_bytes()
        tlvs = dict(tlvs_of(images[order], 0))
        assert struct.unpack("<I", tlvs[SECURITY_COUNTER]) == (counter_of(version),), order
    assert images["counter-first"] == images["version-first"]
    # The API's dict in the same two orders.
    for given in ({"header": HEADER, "counter": "auto", "version": version},
                  {"header": HEADER, "version": version, "counter": "auto"}):
        report = velk_crc.flash(tmp_path / "fw.elf", symbol="crc_slot", bin=True,
                                mcuboot=given)
        assert (tmp_path / "fw_CRC.bin").read_bytes() == images["version-first"], given
        counter = [t for t in report.mcuboot["tlvs"] if t["type"] == SECURITY_COUNTER]
        assert bytes.fromhex(counter[0]["value"]) == struct.pack("<I", counter_of(version))


# --- the vector table where VTOR can point ------------------------------------------

def vector_table(entries, code_at, size=0x800):
    """A stack pointer, then `entries` - 1 Thumb handlers in the code, then
    words no table holds (even, not zero)."""
    data = bytearray(size)
    struct.pack_into("<I", data, 0, 0x20002000)
    for i in range(1, entries):
        struct.pack_into("<I", data, 4 * i, code_at + 0x601 + 2 * i)
    for at in range(4 * entries, size, 4):
        struct.pack_into("<I", data, at, 0x22222222)
    return bytes(data)


def reserved_room_elf(path, room, entries):
    """A build that reserves `room` bytes at the slot's start, its vector
    table right after them."""
    Elf(segments=[Segment(SLOT, bytes(room) + vector_table(entries, SLOT + room),
                          section=".text")],
        entry=SLOT + room + 0x603).write(path)


# (entries, header, the table's alignment, the misalignment): VTOR takes a
# table aligned to its size rounded up to a power of two, 128 bytes at least.
VTOR = [
    pytest.param(32, 0x80, 0x80, 0, id="32-entries-at-0x80"),
    pytest.param(128, 0x80, 0x200, 0x80, id="128-entries-at-0x80"),
    pytest.param(128, 0x200, 0x200, 0, id="128-entries-at-0x200"),
    pytest.param(129, 0x200, 0x400, 0x200, id="129-entries-at-0x200"),
    pytest.param(129, 0x400, 0x400, 0, id="129-entries-at-0x400"),
]


@pytest.mark.parametrize("entries, header, needed, off", VTOR)
def test_the_vector_table_must_be_where_vtor_can_point(tmp_path, entries, header, needed,
                                                       off):
    reserved_room_elf(tmp_path / "fw.elf", header, entries)
    done = flash_words(tmp_path, f"header={header:#x}")
    if off == 0:
        assert done.returncode == 0, done.stderr
        assert image_of(tmp_path)[header:header + 4] == struct.pack("<I", 0x20002000)
        return
    says = (f"the vector table at 0x{SLOT + header:08X} ({entries} entries) is not aligned "
            f"as VTOR needs: header=0x{header:X} puts it {off} bytes past a multiple of "
            f"0x{needed:X}")
    assert (done.returncode, done.stderr) == (
        255, f"error: fw.elf: {says} (--force writes it anyway)\n")
    with pytest.raises(velk_crc.Refused, match=re.escape(f"fw.elf: {says} (force=True")):
        velk_crc.flash(tmp_path / "fw.elf", mcuboot={"header": header})
    assert sorted(os.listdir(tmp_path)) == ["fw.elf"]


# --- the trailer and the slot's end, against imgtool --------------------------------

def signed_by_both(tmp_path, settings, room="added"):
    """imgtool's image and ours of the same checksummed build, as bytes
    from the slot's start."""
    app_elf(tmp_path / "fw.elf", room)
    velk_crc.flash(tmp_path / "fw.elf", symbol="crc_slot")
    imgtool_sign(tmp_path / "fw_CRC.hex", tmp_path / "imgtool.hex", settings, {},
                 room == "added")
    theirs = image_of(tmp_path, "imgtool.hex")
    velk_crc.flash(tmp_path / "fw.elf", symbol="crc_slot", mcuboot=settings)
    return theirs, image_of(tmp_path)


@pytest.mark.parametrize("settings", [
    pytest.param({"header": HEADER, "slot": 0x4000, "align": 2}, id="align2"),
    pytest.param({"header": HEADER, "slot": 0x4000, "align": 2, "pad": True},
                 id="align2-pad"),
    pytest.param({"header": HEADER, "slot": 0x4000, "align": 2, "confirm": True},
                 id="align2-confirm"),
])
def test_two_byte_writes_are_imgtools(tmp_path, settings):
    theirs, ours = signed_by_both(tmp_path, settings)
    assert ours == theirs
    if settings.get("pad") or settings.get("confirm"):
        assert len(ours) == settings["slot"] and ours[-16:] == TRAILER_MAGIC


def exact_slot(align):
    """The smallest slot that holds header, payload, the hash TLV and the
    trailer."""
    return HEADER + BODY + HASH_TLVS + trailer_size(align)


@pytest.mark.parametrize("align", [1, 2])
@pytest.mark.parametrize("extra", [(), ("pad",), ("confirm",)],
                         ids=["bare", "pad", "confirm"])
def test_an_image_that_fills_its_slot_to_the_last_byte(tmp_path, align, extra):
    settings = {"header": HEADER, "slot": exact_slot(align), "align": align,
                **{word: True for word in extra}}
    theirs, ours = signed_by_both(tmp_path, settings)
    assert ours == theirs
    tlv_end = HEADER + BODY + HASH_TLVS
    assert [t for t, _ in tlvs_of(ours, 0)] == [0x10]
    if extra:
        # The trailer starts where the TLVs end, its magic at the slot's end;
        # image_ok is the first byte of the 8 before the magic.
        trailer = ours[tlv_end:]
        image_ok = 0x01 if extra == ("confirm",) else 0xFF
        assert len(ours) == exact_slot(align) and trailer[-16:] == TRAILER_MAGIC
        assert trailer[:-16] == (b"\xff" * (trailer_size(align) - 24) + bytes([image_ok]) +
                                 b"\xff" * 7)
    else:
        assert len(ours) == tlv_end
    # What FLASH wrote passes its own CHECK.
    done = run_command("CHECK", "fw_CRC.hex", "--ncrc_slot", "--elf", "fw.elf", "--mcuboot",
                       cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("align", [1, 2])
def test_one_byte_less_of_slot_is_refused_as_imgtool_refuses_it(tmp_path, align):
    app_elf(tmp_path / "fw.elf", "added")
    velk_crc.flash(tmp_path / "fw.elf", symbol="crc_slot")
    slot = exact_slot(align) - 1
    with pytest.raises(AssertionError, match="exceeds"):
        imgtool_sign(tmp_path / "fw_CRC.hex", tmp_path / "imgtool.hex",
                     {"header": HEADER, "slot": slot, "align": align}, {}, True)
    done = flash_words(tmp_path, f"header=0x200,slot={slot:#x},align={align}", "--ncrc_slot")
    assert (done.returncode, done.stderr) == (
        255, f"error: fw.elf: the signed image does not fit its slot: header, payload and "
        f"TLVs take {HEADER + BODY + HASH_TLVS} bytes and the trailer {trailer_size(align)}, "
        f"1 bytes more than slot=0x{slot:X}\n")


@pytest.mark.parametrize("far, says", [
    # Bytes that start at the slot's end are outside it; bytes that end
    # there are inside, and leave no room for the TLVs.
    pytest.param(SLOT + 0x8000, "the build's bytes at 0x08008000 to 0x080080FF lie outside "
                 "the slot (0x08000000 to 0x08007FFF): they would not be signed",
                 id="starting-at-the-end"),
    pytest.param(SLOT + 0x8000 - 0x100, "the signed image does not fit its slot",
                 id="ending-at-the-end"),
])
def test_the_slots_end(tmp_path, far, says):
    app_elf(tmp_path / "fw.elf", "reserved", far=far)
    done = flash_words(tmp_path, "header=0x200,slot=0x8000", "--ncrc_slot")
    assert done.returncode == 255
    assert done.stderr.startswith(f"error: fw.elf: {says}"), done.stderr
    assert done.stderr.count("\n") == 1


# --- a build linked right at the header's size --------------------------------------

def linked_at(path, start):
    Elf(segments=[Segment(start, vector_table(16, start, 0x400), section=".text")],
        entry=start + 0x603).write(path)


def test_a_build_linked_at_the_header_size_has_its_slot_at_zero(tmp_path):
    linked_at(tmp_path / "fw.elf", HEADER)
    report = velk_crc.flash(tmp_path / "fw.elf", bin=True, mcuboot={"header": HEADER})
    image = (tmp_path / "fw_CRC.bin").read_bytes()
    assert report.mcuboot["slot"] == 0 and report.mcuboot["payload"] == HEADER
    magic, load_addr, hdr_size, _, img_size = struct.unpack_from("<IIHHI", image)
    assert (magic, load_addr, hdr_size, img_size) == (IMAGE_MAGIC, 0, HEADER, 0x400)
    assert image[HEADER:HEADER + 0x400] == vector_table(16, HEADER, 0x400)
    done = run_command("FLASH", "fw.elf", "--mcuboot", "header=0x200", "--bin", cwd=tmp_path)
    assert done.returncode == 0 and (tmp_path / "fw_CRC.bin").read_bytes() == image


def test_a_build_linked_below_the_header_size_is_refused(tmp_path):
    linked_at(tmp_path / "fw.elf", HEADER - 0x100)
    done = run_command("FLASH", "fw.elf", "--mcuboot", "header=0x200", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (
        255, "error: fw.elf: the image starts at 0x00000100 with the build's "
        "bytes, and a header of 0x200 bytes before it would lie below address 0\n")


# --- the API's settings as values ---------------------------------------------------

@pytest.mark.parametrize("api, words, imgtool", [
    pytest.param({"header": HEADER, "slot": 0x8000, "pad": False, "confirm": False},
                 "header=0x200,slot=0x8000", {"header": HEADER, "slot": 0x8000},
                 id="pad-false"),
    pytest.param({"header": HEADER, "dependency": [(1, "1.2.0")]},
                 "header=0x200,dependency=1:1.2.0",
                 {"header": HEADER, "dependency": ["1:1.2.0"]}, id="dependency-tuple"),
    pytest.param({"header": HEADER, "dependency": [(1, "1.2.0"), (2, "0.9.4+11")],
                  "version": "1.0.0"},
                 "header=0x200,dependency=1:1.2.0,dependency=2:0.9.4+11,version=1.0.0",
                 {"header": HEADER, "version": "1.0.0",
                  "dependency": ["1:1.2.0", "2:0.9.4+11"]}, id="dependencies"),
])
def test_the_apis_settings_are_the_command_lines_and_imgtools(tmp_path, api, words, imgtool):
    app_elf(tmp_path / "fw.elf", "added")
    velk_crc.flash(tmp_path / "fw.elf", symbol="crc_slot")
    imgtool_sign(tmp_path / "fw_CRC.hex", tmp_path / "imgtool.hex", imgtool, {}, True)
    theirs = image_of(tmp_path, "imgtool.hex")
    done = flash_words(tmp_path, words, "--ncrc_slot")
    assert done.returncode == 0, done.stderr
    assert image_of(tmp_path) == theirs
    report = velk_crc.flash(tmp_path / "fw.elf", symbol="crc_slot", mcuboot=api)
    assert image_of(tmp_path) == theirs
    assert report.mcuboot["trailer"] is None and report.mcuboot["image_end"] == SLOT + len(theirs)
    dependencies = [value for kind, value in tlvs_of(theirs, 0) if kind == DEPENDENCY]
    assert len(dependencies) == len(imgtool.get("dependency", []))
