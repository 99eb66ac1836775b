"""--exclude: bytes left out of the checksums that cover them, or of the
records an exclusion names; judged together in any order. Every value is
recomputed here from the image's bytes with the catalogue's parameters
(crcref) and the LPC rule, never with the tool's own code."""

import json
import random

import pytest

from conftest import run_cli
from crcref import CATALOGUE, crc
from elfwriter import STT_OBJECT, Elf, Segment
from hexcheck import read_hex

LOAD = 0x08000000
MPEG2 = CATALOGUE["CRC-32/MPEG-2"]


@pytest.fixture(scope="module")
def image_bytes():
    """Vectors, a 32-byte calibration block at 0x40 with its sum's slot at
    0x60, code, and the application's slot last."""
    data = bytearray(random.Random(21).randbytes(0x400))
    data[0x1C:0x20] = bytes(4)  # the LPC vector sum's placeholder
    data[0x60:0x64] = b"\xff" * 4
    data[0x3FC:] = b"\xff" * 4
    return bytes(data)


@pytest.fixture
def elf(tmp_path, image_bytes):
    symbols = [("app_crc", LOAD + 0x3FC, 4, STT_OBJECT), ("calib", LOAD + 0x40, 0x20, STT_OBJECT),
               ("calib_crc", LOAD + 0x60, 4, STT_OBJECT)]
    path = tmp_path / "fw.elf"
    path.write_bytes(Elf(segments=[Segment(LOAD, image_bytes, section=".text")],
                         symbols=symbols).build())
    return path


def flash(velk, monkeypatch, elf, *options):
    code, out, err = run_cli(velk, monkeypatch, "FLASH", elf, *options)
    assert code == 0, err
    return read_hex(str(elf)[:-4] + "_CRC.hex"), out


def covered(image, pieces):
    return b"".join(bytes(image.memory.get(a, 0xFF) for a in range(LOAD + f, LOAD + t))
                    for f, t in pieces)


def value(image, offset):
    return int.from_bytes(image.bytes_at(LOAD + offset, 4), "little")


# The calibration block keeps its own sum; the application leaves it out.
NAMED = {
    "by-symbol": "calib:app_crc",
    "by-address-block-and-sum": "0x08000040-0x08000064:app_crc",
    "by-offset-word": "calib:--a3FC",
    "two-names": "calib:app_crc,app_crc",
}


@pytest.mark.parametrize("word", NAMED.values(), ids=NAMED.keys())
def test_an_exclusion_cuts_only_the_records_it_names(velk, monkeypatch, elf, word):
    app = "--a3FC" if "--a3FC" in word else "--napp_crc"
    image, out = flash(velk, monkeypatch, elf, "--ncalib_crc@calib", app, "--exclude", word,
                       "--json")
    hole_end = 0x64 if "0x08000064" in word else 0x60
    assert value(image, 0x60) == crc(MPEG2, covered(image, [(0x40, 0x60)]))
    assert value(image, 0x3FC) == crc(MPEG2, covered(image, [(0, 0x40), (hole_end, 0x3FC)]))
    ranges = {r["name"]: r["ranges"] for r in json.loads(out)["records"]}
    assert ranges["calib_crc"] == [{"start": LOAD + 0x40, "end": LOAD + 0x60}]
    # CHECK of the HEX alone takes the same words by address.
    code, out, err = run_cli(velk, monkeypatch, "CHECK", elf.with_name("fw_CRC.hex"),
                             "--a60@0x08000040", "--a3FC", "--exclude",
                             f"0x08000040-0x{LOAD + hole_end:08X}:--a3FC")
    assert code == 0, out + err


def test_the_api_takes_the_named_exclusion(elf):
    import velk_crc
    report = velk_crc.flash(elf, symbol=["calib_crc@calib", "app_crc"],
                            exclude="calib:app_crc")
    image = read_hex(report.files[0])
    assert value(image, 0x3FC) == crc(MPEG2, covered(image, [(0, 0x40), (0x60, 0x3FC)]))
    assert velk_crc.check(report.files[0], offset=[0x3FC], exclude="calib:--a3FC",
                          elf=elf, symbol=["calib_crc@calib"]).ok


NAMED_REFUSED = [
    # Without the names the block leaves its own sum nothing.
    (["calib"], "--exclude calib leaves nothing of the range of calib_crc"),
    (["calib:app_crcc"], '--exclude calib:app_crcc: no record is named "app_crcc" (the records: '
                         "calib_crc, app_crc)"),
    (["calib:"], "--exclude calib:: name the records after ':', as the lines name them, as in "
                 "--exclude calib:app_crc"),
    (["0x08000100-0x08000110:calib_crc"],
     "--exclude 0x08000100-0x08000110:calib_crc (0x08000100 to 0x08000110) covers no byte of "
     "calib_crc's range"),
    # Together the two leave app_crc nothing, neither alone does.
    (["0x08000000-0x08000200:app_crc", "0x08000200-0x08000400:app_crc"],
     "--exclude 0x08000000-0x08000200:app_crc and --exclude 0x08000200-0x08000400:app_crc leave "
     "nothing of the range of app_crc"),
    (["0x08000200-0x08000400:app_crc", "0x08000000-0x08000200:app_crc"],
     "--exclude 0x08000000-0x08000200:app_crc and --exclude 0x08000200-0x08000400:app_crc leave "
     "nothing of the range of app_crc"),
    # A hole that only touches a range's end or start covers none of it.
    (["0x080003FC-0x08000400:app_crc"], "(0x080003FC to 0x08000400) covers no byte of "
                                        "app_crc's range"),
    (["0x08000030-0x08000040:calib_crc"], "(0x08000030 to 0x08000040) covers no byte of "
                                          "calib_crc's range"),
]


@pytest.mark.parametrize("words, why", NAMED_REFUSED,
                         ids=[" ".join(w) for w, _ in NAMED_REFUSED])
def test_exclusion_refusals(velk, monkeypatch, elf, words, why):
    options = [w for word in words for w in ("--exclude", word)]
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--ncalib_crc@calib", "--napp_crc",
                           *options)
    assert code == 255 and why in err, err
    assert not elf.with_name("fw_CRC.hex").exists()


@pytest.mark.parametrize("at_end", [0x3FC, 0x400], ids=["touching-the-end", "past-the-end"])
def test_a_hole_at_the_range_end_covers_nothing(velk, monkeypatch, elf, at_end):
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--a3FC", "--exclude",
                           f"0x{LOAD + at_end:08X}-0x{LOAD + at_end + 4:08X}")
    assert code == 255 and "covers no byte of any checksum's range" in err, err


@pytest.mark.parametrize("first, second", [
    ("0x08000110-0x08000112", "0x08000108-0x08000120"),
    ("0x08000108-0x08000120", "0x08000110-0x08000112"),
], ids=["inner-first", "outer-first"])
def test_exclusions_come_in_any_order(velk, monkeypatch, elf, first, second):
    image, out = flash(velk, monkeypatch, elf, "--a3FC", "--exclude", first, "--exclude", second,
                       "--json")
    assert value(image, 0x3FC) == crc(MPEG2, covered(image, [(0, 0x108), (0x120, 0x3FC)]))
    assert json.loads(out)["records"][0]["ranges"] == [
        {"start": LOAD, "end": LOAD + 0x108}, {"start": LOAD + 0x120, "end": LOAD + 0x3FC}]


@pytest.mark.parametrize("hole, line", [
    ("0x08000300-0x080003FC", "checksum range:(0x08000000~0x08000300) "),
    ("0x08000000-0x08000100", "checksum range:(0x08000100~0x080003FC) "),
    ("0x08000100-0x08000200", "checksum range:(0x08000000~0x08000100, 0x08000200~0x080003FC) "),
], ids=["up-to-the-slot", "from-the-start", "inside"])
def test_the_line_gives_the_pieces(velk, monkeypatch, elf, hole, line):
    _, out = flash(velk, monkeypatch, elf, "--a3FC", "--exclude", hole)
    assert line in out, out


def test_the_lpc_sum_takes_no_exclusion(velk, monkeypatch, elf):
    """The core sums the seven vectors whatever is left out of a CRC."""
    image, _ = flash(velk, monkeypatch, elf, "--lpc-vectors", "--a3FC", "--exclude",
                     "0x08000004-0x08000010")
    vectors = [value(image, 4 * k) for k in range(8)]
    assert sum(vectors) & 0xFFFFFFFF == 0
    assert value(image, 0x3FC) == crc(MPEG2, covered(image, [(0, 4), (0x10, 0x3FC)]))


def test_words_name_the_piece_that_is_not_whole_words(velk, monkeypatch, elf):
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--a3FC", "--words", "--exclude",
                           "0x08000101-0x08000104")
    assert code == 255
    assert ("--words feeds whole 32-bit words, but the piece 0x08000000 to 0x08000101 of the "
            "checksum's range, between the bytes --exclude leaves out, is 257 bytes: not a "
            "multiple of 4") in err, err
