"""FLASH --esp32: the ESP32-family app image made from _CRC.elf, and CHECK of
one. The image is read here by a reader of its own (header, segments, XOR
checksum, hashlib's SHA-256); where esptool 5.6.0 is installed, its
elf2image of _CRC.elf must give the same bytes and its image-info must call
the checksum and hash valid."""

import hashlib
import os
import shutil
import struct
import subprocess
import sysconfig

import pytest

import velk_crc
from conftest import DATA, run_cli
from elfwriter import Elf, Segment

MISMATCH, UNREADABLE, REFUSED = 1, 2, 255
EM_XTENSA, EM_RISCV = 94, 243
PAGE = 0x10000

# chip: (ID, e_machine, code in flash, data in flash, IRAM, DRAM): the chip ID
# esptool 5.6 writes, and where ESP-IDF links the sections (the C6 and H2 map
# both through one flash bus, data first, code in the next page)
CHIPS = {
    "esp32": (0, EM_XTENSA, 0x400D0000, 0x3F400000, 0x40080000, 0x3FFB0000),
    "esp32s2": (2, EM_XTENSA, 0x40080000, 0x3F000000, 0x40020000, 0x3FFB0000),
    "esp32s3": (9, EM_XTENSA, 0x42000000, 0x3C000000, 0x40370000, 0x3FC88000),
    "esp32c2": (12, EM_RISCV, 0x42000000, 0x3C000000, 0x4037C000, 0x3FCA0000),
    "esp32c3": (5, EM_RISCV, 0x42000000, 0x3C000000, 0x40380000, 0x3FC80000),
    "esp32c6": (13, EM_RISCV, 0x42010000, 0x42000000, 0x40800000, 0x40810000),
    "esp32h2": (16, EM_RISCV, 0x42010000, 0x42000000, 0x40800000, 0x40810000),
}

# (chip, settings, header byte 2, header byte 3), the bytes esptool 5.6.0
# writes for `esptool --chip <chip> elf2image` with those flash options.
SETTINGS = [
    pytest.param("esp32", "", 0x00, 0x00, id="esp32-defaults"),
    pytest.param("esp32", "flash_mode=dio,flash_freq=80m,flash_size=4MB", 0x02, 0x2F,
                 id="esp32-dio-80m-4MB"),
    pytest.param("esp32s3", "flash_mode=qout,flash_freq=20m,flash_size=16MB", 0x01, 0x42,
                 id="esp32s3-qout-20m-16MB"),
    pytest.param("esp32s2", "flash_size=2MB,flash_freq=26m", 0x00, 0x11, id="esp32s2-26m"),
    pytest.param("esp32c2", "flash_freq=60m,flash_mode=dout", 0x03, 0x0F, id="esp32c2-60m"),
    pytest.param("esp32c3", "flash_mode=dio,flash_size=8MB", 0x02, 0x30, id="esp32c3-dio-8MB"),
    pytest.param("esp32c6", "flash_freq=80m,flash_size=128MB", 0x00, 0x70, id="esp32c6-80m"),
    pytest.param("esp32c6", "flash_freq=20m", 0x00, 0x02, id="esp32c6-20m"),
    pytest.param("esp32h2", "flash_freq=48m,flash_mode=dio", 0x02, 0x0F, id="esp32h2-48m"),
]


def read_image(image):
    """The file as this test reads it: header fields, [(address, data
    offset, size)], the checksum byte's offset and whether a SHA-256 follows."""
    assert image[0] == 0xE9
    count, mode, size_freq = image[1], image[2], image[3]
    entry = struct.unpack_from("<I", image, 4)[0]
    chip_id, min_rev, min_full, max_full = struct.unpack_from("<HBHH", image, 12)
    segments, at = [], 24
    for _ in range(count):
        address, size = struct.unpack_from("<II", image, at)
        segments.append((address, at + 8, size))
        at += 8 + size
    checksum_at = at + 15 - at % 16
    return dict(mode=mode, size_freq=size_freq, entry=entry, chip=chip_id, min_rev=min_rev,
                min_full=min_full, max_full=max_full, hashed=image[23], segments=segments,
                checksum_at=checksum_at)


def assert_sound(image):
    """The XOR of the segments' data seeded 0xEF is the checksum byte, and
    the SHA-256 of all before it ends the file."""
    fields = read_image(image)
    xor = 0xEF
    for _, offset, size in fields["segments"]:
        for b in image[offset:offset + size]:
            xor ^= b
    at = fields["checksum_at"]
    assert image[at] == xor
    assert fields["hashed"] == 1
    assert image[at + 1:] == hashlib.sha256(image[:at + 1]).digest()
    return fields


def firmware(path, chip, appdesc=True, crc=True):
    """A build of `chip` with ESP-IDF's sections at its buses: the app
    descriptor and read-only data (a CRC variable `app_crc` among them) in
    flash data, code in flash and IRAM, initialised data in DRAM."""
    _, machine, irom, drom, iram, dram = CHIPS[chip]
    desc = struct.pack("<II8x", 0xABCD5432, 0) + b"1.0".ljust(32, b"\0") + b"t".ljust(32, b"\0")
    desc = desc.ljust(256, b"\0")
    rodata = bytes((i * 13 + 5) & 0xFF for i in range(0x1F4)) + (b"\xff" * 4 if crc else b"")
    segs = [Segment(drom + 0x20, desc, section=".flash.appdesc")] if appdesc else []
    segs += [
        Segment(drom + 0x20 + len(desc) * appdesc, rodata, section=".flash.rodata"),
        Segment(irom + 0x20, bytes(range(256)) * 3, section=".flash.text"),
        Segment(iram, bytes((i * 7) & 0xFF for i in range(0x234)), section=".iram0.text"),
        Segment(dram, b"DRAM" * 9, section=".dram0.data"),
    ]
    crc_at = drom + 0x20 + len(desc) * appdesc + 0x1F4
    Elf(entry=iram, machine=machine, segments=segs,
        symbols=[("app_crc", crc_at)] if crc else []).write(path)
    return path


def sha_field(build):
    """--exclude of the app descriptor's SHA-256 field, 0x90 into it."""
    drom = CHIPS[build][3] if build in CHIPS else build
    return f"0x{drom + 0xB0:X}-0x{drom + 0xD0:X}"


def esptool_or_skip():
    tool = (shutil.which("esptool", path=sysconfig.get_path("scripts"))
            or shutil.which("esptool"))
    if tool is None:
        pytest.skip("esptool is not installed (pip install esptool==5.6.0)")
    return tool


def elf2image(tool, chip, elf, out, settings=""):
    flags = {"flash_mode": "--flash-mode", "flash_freq": "--flash-freq",
             "flash_size": "--flash-size", "min_rev": "--min-rev-full"}
    argv = [tool, "--chip", chip, "elf2image", "-o", str(out)]
    for item in filter(None, settings.split(",")):
        key, value = item.split("=")
        argv += [flags[key], value]
    subprocess.run([*argv, str(elf)], check=True, capture_output=True, timeout=120)
    return out.read_bytes()


@pytest.fixture(scope="module")
def c3(tmp_path_factory):
    """The committed ESP32-C3 build flashed with --esp32 chip=esp32c3 and its
    CRC record, the descriptor's SHA-256 left out of the record's range."""
    folder = tmp_path_factory.mktemp("esp32c3")
    shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), folder / "fw.elf")
    velk_crc.flash(str(folder / "fw.elf"), symbol="app_crc", esp32="chip=esp32c3",
                   exclude="0x3C0000B0-0x3C0000D0")
    return folder


@pytest.mark.parametrize("chip, settings, mode, size_freq", SETTINGS)
def test_header_segments_and_digests(velk, monkeypatch, tmp_path, chip, settings, mode,
                                     size_freq):
    build = firmware(tmp_path / "fw.elf", chip)
    value = ",".join(filter(None, [f"chip={chip}", settings, "min_rev=102"]))
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--napp_crc", "--esp32", value,
                             "--exclude", sha_field(chip))
    assert code == 0, err
    assert 'create new crc esp file "' in out
    image = (tmp_path / "fw_CRC.esp.bin").read_bytes()
    fields = assert_sound(image)
    chip_id, _, irom, drom, iram, _ = CHIPS[chip]
    assert (fields["mode"], fields["size_freq"], fields["chip"]) == (mode, size_freq, chip_id)
    assert (fields["entry"], fields["min_rev"], fields["min_full"], fields["max_full"]) == \
        (iram, 0, 102, 0xFFFF)
    # Every flash-mapped segment's data sits at its address's offset within
    # a 64 KiB page; the descriptor's SHA-256 is _CRC.elf's.
    loaded = {a: image[o:o + n] for a, o, n in fields["segments"] if a}
    for address, offset, _ in fields["segments"]:
        if address in (irom + 0x20, drom + 0x20):
            assert offset % PAGE == address % PAGE
    crc_elf = (tmp_path / "fw_CRC.elf").read_bytes()
    assert image[0xB0:0xD0] == hashlib.sha256(crc_elf).digest()
    assert loaded[drom + 0x20][:4] == struct.pack("<I", 0xABCD5432)
    # The record's value is the one the HEX holds, and our CHECK passes it.
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.esp.bin",
                             "--napp_crc", "--exclude", sha_field(chip), "--elf", build)
    assert code == 0, err
    tool = shutil.which("esptool", path=sysconfig.get_path("scripts")) or shutil.which("esptool")
    if tool:
        assert image == elf2image(tool, chip, tmp_path / "fw_CRC.elf", tmp_path / "ref.bin",
                                  settings + ",min_rev=102" if settings else "min_rev=102")


@pytest.mark.parametrize("elf, chip, record", [
    pytest.param("esp32c3_app.elf", "esp32c3", ["--napp_crc", "--exclude",
                                                "0x3C0000B0-0x3C0000D0"], id="c3-riscv"),
    pytest.param("esp32c3_app.elf", "esp32c3", [], id="c3-no-record"),
    pytest.param("esp32_idf_app.elf", "esp32", [], id="esp-idf-xtensa"),
])
def test_equals_esptool_elf2image(velk, monkeypatch, tmp_path, elf, chip, record):
    tool = esptool_or_skip()
    shutil.copy(os.path.join(DATA, elf), tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", *record,
                           "--esp32", f"chip={chip}")
    assert code == 0, err
    ours = (tmp_path / "fw_CRC.esp.bin").read_bytes()
    if elf == "esp32_idf_app.elf":
        assert (f"note: {tmp_path / 'fw_CRC.elf'} gives the byte of linker padding at "
                "0x40080403 a section of its own, so that a debugger loads what the HEX "
                "holds\n") in err
        # _CRC.elf gives the linker's padding byte at 0x40080403 a section,
        # which esptool would load as a segment of 4 bytes over .iram0.text's
        # first 3: the image is esptool's of the build itself, but for the
        # descriptor's ELF SHA-256, _CRC.elf's.
        theirs = elf2image(tool, chip, tmp_path / "fw.elf", tmp_path / "ref.bin")
        assert segments(ours) == segments(theirs)
        assert ours[0xB0:0xD0] == hashlib.sha256((tmp_path / "fw_CRC.elf").read_bytes()).digest()
    else:
        assert ours == elf2image(tool, chip, tmp_path / "fw_CRC.elf", tmp_path / "ref.bin")
    info = subprocess.run([tool, "--chip", chip, "image-info", str(tmp_path / "fw_CRC.esp.bin")],
                          capture_output=True, text=True, check=True, timeout=120).stdout
    assert "(valid)" in info.split("Checksum:")[1].splitlines()[0]
    assert "(valid)" in info.split("Validation hash:")[1].splitlines()[0]
    # What FLASH writes passes our CHECK, alone and against the build.
    for build in [["--elf", tmp_path / "fw.elf"]] + [[]] * (not record):
        code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.esp.bin",
                                 *record, *build)
        assert code == 0, out + err


def segments(image):
    """The header but its checksum-free fields, and each segment's address
    and data, the descriptor's ELF SHA-256 field at 0xB0 left out."""
    image = image[:0xB0] + bytes(32) + image[0xD0:]
    fields = read_image(image)
    return (image[:24], fields["entry"],
            [(a, image[o:o + n]) for a, o, n in fields["segments"]])


def test_api_and_check(c3):
    image = (c3 / "fw_CRC.esp.bin").read_bytes()
    assert_sound(image)
    result = velk_crc.check(str(c3 / "fw_CRC.esp.bin"), symbol="app_crc",
                            exclude="0x3C0000B0-0x3C0000D0", elf=str(c3 / "fw.elf"))
    assert result.ok


def flipped(image, where):
    fields = read_image(image)
    at = {"header": 2, "entry": 5, "segment": fields["segments"][-1][1] + 3,
          "checksum": fields["checksum_at"], "hash": fields["checksum_at"] + 9}[where]
    return image[:at] + bytes([image[at] ^ 0xFF]) + image[at + 1:]


@pytest.mark.parametrize("where, says", [
    ("header", "flash mode at 0x2 is 0xFF"),
    ("entry", "its SHA-256 at 0x"),
    ("segment", "its segments' data XOR to"),
    ("checksum", "its checksum byte at 0x"),
    ("hash", "its SHA-256 at 0x"),
], ids=lambda v: v if " " not in v else "")
def test_check_names_a_flipped_byte(velk, monkeypatch, c3, tmp_path, where, says):
    damaged = tmp_path / "fw_CRC.esp.bin"
    damaged.write_bytes(flipped((c3 / "fw_CRC.esp.bin").read_bytes(), where))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", damaged, "--napp_crc", "--exclude",
                             "0x3C0000B0-0x3C0000D0", "--elf", c3 / "fw.elf")
    assert code == UNREADABLE
    assert len(err.strip().splitlines()) == 1 and says in err, err
    assert "cannot read it as an ESP32 app image" in err and "Traceback" not in err


def cut(image, how):
    fields = read_image(image)
    first = fields["segments"][0][1] - 8
    if how == "truncated":
        return image[:len(image) // 2]
    if how == "length-past-end":
        return image[:first + 4] + struct.pack("<I", 0x7FFFFFF0) + image[first + 8:]
    if how == "absurd-count":
        return image[:1] + b"\xff" + image[2:]
    if how == "no-segment":
        return image[:1] + b"\x00" + image[2:]
    if how == "header-only":
        return image[:20]
    return b""


@pytest.mark.parametrize("how, says", [
    ("truncated", "segment"),
    ("length-past-end", "past the file's end"),
    ("absurd-count", "segment"),
    ("no-segment", "no segment"),
    ("header-only", "fewer than its 24-byte header"),
    ("empty", "fewer than its 24-byte header"),
])
def test_damaged_files_are_one_line(velk, monkeypatch, c3, tmp_path, how, says):
    damaged = tmp_path / "fw_CRC.esp.bin"
    damaged.write_bytes(cut((c3 / "fw_CRC.esp.bin").read_bytes(), how))
    code, _, err = run_cli(velk, monkeypatch, "CHECK", damaged, "--a2A8", "--elf",
                           c3 / "fw.elf")
    assert code == UNREADABLE
    assert len(err.strip().splitlines()) == 1 and says in err, err


def test_check_tells_another_build(velk, monkeypatch, c3, tmp_path):
    other = firmware(tmp_path / "other.elf", "esp32c3")
    code, _, err = run_cli(velk, monkeypatch, "CHECK", c3 / "fw_CRC.esp.bin", "--napp_crc",
                           "--exclude", "0x3C0000B0-0x3C0000D0", "--elf", other)
    assert code in (MISMATCH, UNREADABLE), err


@pytest.mark.parametrize("value, extra, says", [
    ("chip=esp32c9", [], "no such chip 'esp32c9' (esp32, esp32s2"),
    ("chip=esp32c3,flash_mode=fast", [], "no such flash_mode 'fast'"),
    ("chip=esp32h2,flash_freq=80m", [], "no flash_freq '80m' on the esp32h2 (48m, 24m"),
    ("chip=esp32c3,flash_size=3MB", [], "no such flash_size '3MB'"),
    ("chip=esp32c3,min_rev=70000", [], "min_rev=70000 is no chip revision"),
    ("chip=esp32c3,speed=1", [], "no such setting 'speed'"),
    ("flash_mode=dio", [], "chip=<name> is needed"),
    ("chip=esp32", [], "the build is for e_machine 243, not the esp32's Xtensa (94)"),
    ("chip=esp32c3", ["--napp_crc"], "app_crc covers 0x3C0000B0-0x3C0000D0, the app "
                                     "descriptor's ELF SHA-256"),
    ("chip=esp32c3,elf_sha256_offset=0x40", [], "are not all zero"),
    ("chip=esp32c3", ["--mcuboot", "header=0x200"], "--esp32 and --mcuboot"),
    ("esp32c3", [], "'esp32c3' is no <setting>=<value> (the chip is chip=esp32c3)"),
    ("chip=esp32c3,flash_mode=dio,flash-mode=qio", [], "flash_mode= is given twice"),
])
def test_refusals(velk, monkeypatch, tmp_path, value, extra, says):
    shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", *extra, "--esp32",
                           value)
    assert code == REFUSED
    assert len(err.strip().splitlines()) == 1 and says in err, err
    assert not (tmp_path / "fw_CRC.esp.bin").exists()


def test_two_sections_in_one_flash_page_are_refused(velk, monkeypatch, tmp_path):
    segs = [Segment(0x3C000020, b"\x01" * 0x101, section=".flash.rodata"),
            Segment(0x3C000200, b"\x02" * 8, section=".flash.rodata2"),
            Segment(0x40380000, b"\x03" * 8, section=".iram0.text")]
    Elf(entry=0x40380000, machine=EM_RISCV, segments=segs).write(tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--esp32",
                           "chip=esp32c3")
    assert code == REFUSED
    assert "share a 64 KiB flash page" in err


@pytest.mark.parametrize("elf, code, says", [
    (None, 0, "ESP32 app image ok: its own checksum and hash are right\n"),
    ("esp32c3_app.elf", 0, "ESP32 app image ok: its own checksum and hash are right; "
                           "the file is "),
    ("esp32_idf_app.elf", MISMATCH, "content mismatch at 0x3F400020"),
], ids=["alone", "its-build", "another-build"])
def test_check_without_a_record(velk, monkeypatch, tmp_path, elf, code, says):
    shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), tmp_path / "fw.elf")
    assert velk_crc.flash(str(tmp_path / "fw.elf"), esp32="chip=esp32c3").ok
    image = tmp_path / "fw_CRC.esp.bin"
    assert_sound(image.read_bytes())
    if elf and elf != "esp32c3_app.elf":
        shutil.copy(os.path.join(DATA, elf), tmp_path / "other.elf")
    build = [] if elf is None else ["--elf", tmp_path / ("fw.elf" if elf == "esp32c3_app.elf"
                                                        else "other.elf")]
    got, out, err = run_cli(velk, monkeypatch, "CHECK", image, *build)
    assert got == code and says in out, err
    assert velk_crc.check(str(image), **({"elf": str(build[1])} if build else {})).ok == \
        (code == 0)


# Without a record there is no checksum for the segments to be outside of;
# with one, the descriptor's SHA-256 that --exclude leaves out is part of a
# segment, so the note counts stretches, not segments.
@pytest.mark.parametrize("record, note", [
    ([], ""),
    (["--napp_crc", "--exclude", "0x3C0000B0-0x3C0000D0"],
     "note: 4 loadable stretches (668 bytes) at physical addresses 0x3C0000B0, 0x3FC80000, "
     "0x40380000, 0x42000020 written to the HEX but not covered by the checksum\n"),
], ids=["no-record", "a-record"])
def test_the_note_on_what_no_checksum_covers(velk, monkeypatch, tmp_path, record, note):
    shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", *record,
                             "--esp32", "chip=esp32c3")
    assert (code, err) == (0, note)
    assert out.count("create new crc") == 3


def seg(address, size, name):
    return Segment(address, bytes((i * 7 + address) & 0xFF for i in range(size)), section=name)


# Layouts whose placing esptool decides: (chip, sections in ELF order).
LAYOUTS = [
    pytest.param("esp32c3", [seg(0x3C000020, 0x100, ".a"), seg(0x42000020, 0x300, ".b"),
                             seg(0x40380000, 0x18000, ".c"), seg(0x3FC90000, 0x30, ".d")],
                 id="ram-split-across-the-gap"),
    pytest.param("esp32c3", [seg(0x3C000020, 0x100, ".a"), seg(0x42000020, 0x300, ".b"),
                             seg(0x40380000, 0x100, ".c"), seg(0x3FC90000, 0x30, ".d"),
                             seg(0x3FC98000, 0xF000, ".e")], id="ram-whole-then-zeros"),
    pytest.param("esp32c3", [seg(0x40380000, 0x100, ".c"), seg(0x3FC90000, 0x30, ".d")],
                 id="ram-only"),
    pytest.param("esp32", [seg(0x3F400020, 0xFFF0, ".a"), seg(0x400E0020, 0x300, ".b"),
                           seg(0x40080000, 0x100, ".c")], id="esp32-page-tail"),
    pytest.param("esp32c3", [seg(0x3C000020, 0xFFF4, ".a"), seg(0x42010020, 0x300, ".b")],
                 id="gap-of-4-a-page-on"),
    pytest.param("esp32c3", [seg(0x3C000020, 0xFFDC, ".a"), seg(0x42010020, 0x300, ".b")],
                 id="gap-of-28"),
    pytest.param("esp32c3", [seg(0x3C000020, 0x100, ".a"), seg(0x3C000120, 0x10, ".b"),
                             seg(0x42000020, 0x300, ".c"), seg(0x40380000, 0x100, ".d"),
                             seg(0x40380100, 0x100, ".e")], id="neighbours-joined"),
    pytest.param("esp32c3", [seg(0x3C000020, 0x100, ".a"), seg(0x42000020, 0x300, ".b"),
                             seg(0x40380100, 0x100, ".c"), seg(0x40380000, 0x100, ".d")],
                 id="neighbours-out-of-order-not-joined"),
    pytest.param("esp32c3", [seg(0x3C000020, 0x100, ".a"), seg(0x3C020020, 0x10, ".b"),
                             seg(0x42000020, 0x300, ".c"), seg(0x40380000, 0x100, ".d")],
                 id="two-data-pages"),
    # 256 bytes of linker padding before the code, which _CRC.elf gives a
    # section of its own: a segment of its own, as esptool makes it.
    pytest.param("esp32c3", [seg(0x3C000020, 0x100, ".a"), seg(0x42000020, 0x300, ".b"),
                             Segment(0x40380000, b"\x13\0\0\0" * 0x40 + bytes(range(256)),
                                     section=".c", section_bytes=(0x100, 0x200))],
                 id="linker-padding"),
    # A section off a 4-byte boundary: the one before it is padded with
    # zeros that the loader then loads it over.
    pytest.param("esp32c3", [seg(0x42000020, 0x100, ".a"), seg(0x40380000, 7, ".b"),
                             seg(0x40380007, 5, ".c")], id="unaligned-neighbour"),
]


@pytest.mark.parametrize("chip, segs", LAYOUTS)
def test_layouts_equal_esptool(velk, monkeypatch, tmp_path, chip, segs):
    tool = esptool_or_skip()
    machine = CHIPS[chip][1]
    Elf(entry=0x40380000, machine=machine, segments=segs).write(tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--esp32",
                           f"chip={chip}")
    assert code == 0, err
    ours = (tmp_path / "fw_CRC.esp.bin").read_bytes()
    assert_sound(ours)
    assert ours == elf2image(tool, chip, tmp_path / "fw_CRC.elf", tmp_path / "ref.bin")
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.esp.bin", "--elf",
                             tmp_path / "fw.elf")
    assert code == 0, out + err


# esptool's own spellings: --chip in any case, with or without its dash, and
# esptool 5's dashed option names. The header bytes are esptool's for
# `--chip esp32c3 --flash-mode dio --flash-freq 80m --flash-size 4MB
# --min-rev-full 3`: mode 2, size and clock 0x2F, the full revision 3.
@pytest.mark.parametrize("value", [
    "chip=ESP32-C3,flash_mode=dio,flash_freq=80m,flash_size=4MB,min_rev=3",
    "chip=esp32-c3,flash-mode=dio,flash-freq=80m,flash-size=4MB,min-rev-full=3",
    "chip=Esp32C3,flash-mode=DIO,flash-freq=80M,flash-size=4mb,min_rev_full=3",
], ids=["chip-as-esptool-names-it", "esptool-5-options", "any-case"])
def test_esptool_spellings(velk, monkeypatch, tmp_path, value):
    shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--esp32", value)
    assert code == 0, err
    image = (tmp_path / "fw_CRC.esp.bin").read_bytes()
    fields = assert_sound(image)
    assert (fields["chip"], fields["mode"], fields["size_freq"], fields["min_full"]) == \
        (5, 2, 0x2F, 3)
    assert velk_crc.flash(str(tmp_path / "fw.elf"), esp32=value).ok
    assert (tmp_path / "fw_CRC.esp.bin").read_bytes() == image


@pytest.mark.parametrize("value, error, says", [
    ("chip=esp32c9", velk_crc.Refused, 'esp32="chip=esp32c9": no such chip'),
    ("chip=esp32h2,flash_freq=80m", velk_crc.Refused, "no flash_freq '80m' on the esp32h2"),
    (5, TypeError, "esp32 must be a str, not int"),
], ids=["unknown-chip", "clock-of-another-chip", "not-a-str"])
def test_api_refusals(tmp_path, value, error, says):
    shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), tmp_path / "fw.elf")
    with pytest.raises(error) as info:
        velk_crc.flash(str(tmp_path / "fw.elf"), esp32=value)
    assert says in str(info.value)
    assert not (tmp_path / "fw_CRC.esp.bin").exists()


def test_elf_sha256_offset_moves_the_digest(velk, monkeypatch, tmp_path):
    shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--esp32",
                           "chip=esp32c3,elf_sha256_offset=0xD0")
    assert code == 0, err
    image = (tmp_path / "fw_CRC.esp.bin").read_bytes()
    assert_sound(image)
    assert image[0xD0:0xF0] == hashlib.sha256((tmp_path / "fw_CRC.elf").read_bytes()).digest()
    assert image[0xB0:0xD0] == bytes(32)
    tool = shutil.which("esptool", path=sysconfig.get_path("scripts")) or shutil.which("esptool")
    if tool:
        ref = tmp_path / "ref.bin"
        subprocess.run([tool, "--chip", "esp32c3", "elf2image", "--elf-sha256-offset", "0xd0",
                        "-o", str(ref), str(tmp_path / "fw_CRC.elf")], check=True,
                       capture_output=True, timeout=120)
        assert image == ref.read_bytes()


def late_descriptor(path):
    """The descriptor linked after other read-only data: esptool would write
    the SHA-256 over that data's zeros at 0xB0, not in the descriptor."""
    desc = struct.pack("<II8x", 0xABCD5432, 0).ljust(256, b"\0")
    Elf(entry=0x40380000, machine=EM_RISCV, segments=[
        Segment(0x3C000020, bytes(0x100), section=".flash.rodata"),
        Segment(0x3C000120, desc, section=".flash.appdesc"),
        Segment(0x42000020, bytes(range(256)), section=".flash.text"),
        Segment(0x40380000, bytes(0x40), section=".iram0.text")]).write(path)


def padded_vectors(path):
    """Vectors of 0x403 bytes, then a byte of linker padding that is not 0,
    then the code: esptool pads the vectors with a zero there."""
    Elf(entry=0x40380000, machine=EM_RISCV, segments=[
        Segment(0x42000020, bytes(range(256)), section=".flash.text"),
        Segment(0x40380000, b"\x11" * 0x403 + b"\x5a", section=".iram0.vectors",
                section_bytes=(0, 0x403)),
        Segment(0x40380404, bytes(range(64)), section=".iram0.text")]).write(path)


# FLASH refuses what its own CHECK could not pass, or what a flashing step
# would take for an image: (how the build is made, FLASH's words, the line).
NOT_WRITTEN = [
    pytest.param(late_descriptor, [], "the app descriptor (.flash.appdesc at 0x3C000120) does "
                 "not lead the image, so the ELF's SHA-256 at 0xB0 would land at 0x3C0000B0, "
                 "not in its field", id="descriptor-not-first"),
    pytest.param(padded_vectors, [], "--esp32: the linker's padding at 0x40380403 holds bytes "
                 "other than the zeros esptool pads the section before it with",
                 id="padding-not-zero"),
    pytest.param(None, ["--bin"], "the .bin would be empty: this run stores no record, so "
                 "there is no checksummed image to hold; give a record, or leave out --bin",
                 id="bin-without-record"),
    pytest.param(None, ["--bin", "--dfu", "303a:1001"], "the .bin and .dfu would be empty",
                 id="dfu-without-record"),
    pytest.param(None, ["--nxp-mbi"], "--nxp-mbi: this run stores no record",
                 id="mbi-without-record"),
]


@pytest.mark.parametrize("make, words, says", NOT_WRITTEN)
def test_nothing_written_that_check_would_not_pass(velk, monkeypatch, tmp_path, make, words,
                                                   says):
    if make:
        make(tmp_path / "fw.elf")
    else:
        shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--esp32",
                             "chip=esp32c3", *words)
    assert (code, out) == (REFUSED, "")
    assert len(err.strip().splitlines()) == 1 and says in err, err
    assert os.listdir(tmp_path) == ["fw.elf"]
    keywords = {"bin": "--bin" in words, "nxp_mbi": "--nxp-mbi" in words}
    if "--dfu" in words:
        keywords["dfu"] = words[-1]
    with pytest.raises(velk_crc.Refused):
        velk_crc.flash(str(tmp_path / "fw.elf"), esp32="chip=esp32c3", **keywords)
    assert os.listdir(tmp_path) == ["fw.elf"]


def resealed(image, how):
    """The image changed as `how` says, its XOR checksum and SHA-256 worked
    out again here: a file sound in itself that is not the build's image."""
    image = bytearray(image)
    fields = read_image(bytes(image))
    heads = [offset - 8 for _, offset, _ in fields["segments"]]
    if how == "chip":
        image[12:14] = struct.pack("<H", 0)  # the ESP32's
    elif how == "moved-segment":
        address = fields["segments"][-1][0]
        image[heads[-1]:heads[-1] + 4] = struct.pack("<I", address + 4)
    elif how == "overlapping":
        image[heads[-1]:heads[-1] + 4] = struct.pack("<I", fields["segments"][0][0])
    xor = 0xEF
    for _, offset, size in fields["segments"]:
        for b in image[offset:offset + size]:
            xor ^= b
    at = fields["checksum_at"]
    image[at] = xor
    image[at + 1:] = hashlib.sha256(bytes(image[:at + 1])).digest()
    return bytes(image)


@pytest.mark.parametrize("how, code, says", [
    ("chip", MISMATCH, "chip mismatch: its header names the esp32, whose cores are Xtensa "
                       "(e_machine 94); "),
    ("moved-segment", MISMATCH, "content mismatch at 0x"),
    ("overlapping", UNREADABLE, "two segments hold the byte at 0x"),
], ids=["chip", "moved-segment", "overlapping"])
def test_resealed_image_is_not_the_build(velk, monkeypatch, c3, tmp_path, how, code, says):
    path = tmp_path / "fw_CRC.esp.bin"
    path.write_bytes(resealed((c3 / "fw_CRC.esp.bin").read_bytes(), how))
    assert_sound(path.read_bytes())
    got, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--napp_crc", "--exclude",
                            "0x3C0000B0-0x3C0000D0", "--elf", c3 / "fw.elf")
    assert got == code and says in out + err, out + err
    if code == MISMATCH:
        result = velk_crc.check(str(path), symbol="app_crc", exclude="0x3C0000B0-0x3C0000D0",
                                elf=str(c3 / "fw.elf"))
        assert not result.ok


@pytest.mark.parametrize("value, stamp, says", [
    ("chip=esp32", "0x3C000100:4", "--esp32: the build is for e_machine 243, not the esp32's "
                                   "Xtensa (94)"),
    ("chip=esp32c3", "0x3C0000B4:4", "the stamp 0x3C0000B4:4 at 0x3C0000B4 (4 bytes) lies in "
                                     "0x3C0000B0-0x3C0000D0, the app descriptor's ELF "
                                     "SHA-256, which --esp32 fills in with _CRC.elf's"),
], ids=["other-cores", "stamp-in-the-sha256"])
def test_devices_run_refused_before_it_begins(velk, monkeypatch, tmp_path, value, stamp, says):
    # Refused once the folder holds the run's state, the corrected command
    # would be told the folder holds another run.
    shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--esp32", value,
                             "--stamp", f"{stamp}=serial:1..2", "--out", tmp_path / "line")
    assert (code, out) == (REFUSED, "")
    assert len(err.strip().splitlines()) == 1 and says in err, err
    assert os.listdir(tmp_path) == ["fw.elf"]
