"""FLASH --dfu: the raw binary with the DFU suffix dfu-util's dfu-suffix
adds, byte for byte, and CHECK of such a file: the suffix's length and CRC,
then the image inside it placed as a raw binary is. The suffix is read here
by its fields, and its CRC computed with zlib (CRC-32/JAMCRC is zlib's CRC-32
without the final inversion)."""

import os
import shutil
import struct
import subprocess
import zlib

import pytest

import velk_crc
from conftest import DATA, run_cli

UNREADABLE = 2
MISMATCH = 1


def suffix_of(data):
    """The 16 bytes the file ends with: (bcdDevice, idProduct, idVendor,
    bcdDFU, signature, length, crc)."""
    return struct.unpack("<HHHH3sBI", data[-16:])


def jamcrc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


@pytest.fixture
def build(tmp_path):
    elf = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), elf)
    return elf


@pytest.fixture(scope="module")
def flashed(tmp_path_factory):
    """fw_boot.elf's .bin and .dfu for 0483:df11, written once."""
    folder = tmp_path_factory.mktemp("dfu")
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), folder / "fw.elf")
    velk_crc.flash(str(folder / "fw.elf"), symbol="crc_value", bin=True, dfu="0483:df11")
    return folder


@pytest.mark.parametrize("ids, words, api", [
    ("0483:df11", ["-v", "0483", "-p", "df11"], (0x0483, 0xDF11)),
    ("0483:DF11:0200", ["-v", "0483", "-p", "df11", "-d", "0200"], (0x0483, 0xDF11, 0x200)),
    ("1209:1:ffff", ["-v", "1209", "-p", "0001", "-d", "ffff"], (0x1209, 1, 0xFFFF)),
    # As dfuse-pack's -D and dfu-suffix's -v take them.
    ("0x0483:0xDF11:0X0200", ["-v", "0x0483", "-p", "0xdf11", "-d", "0x0200"],
     (0x0483, 0xDF11, 0x200)),
], ids=["no-bcd", "bcd", "short-pid-bcd-ffff", "0x-prefixed"])
def test_equals_dfu_suffix_on_the_bin(velk, monkeypatch, build, ids, words, api):
    code, _, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc_value", "--bin",
                           "--dfu", ids)
    assert code == 0, err
    root = str(build)[:-4]
    with open(root + "_CRC.dfu", "rb") as f:
        ours = f.read()
    with open(root + "_CRC.bin", "rb") as f:
        image = f.read()
    assert ours[:-16] == image
    device, product, vendor, bcd_dfu, signature, length, crc = suffix_of(ours)
    assert (vendor, product) == api[:2]
    assert device == (api[2] if len(api) == 3 else 0xFFFF)
    assert (bcd_dfu, signature, length) == (0x0100, b"UFD", 16)
    assert crc == jamcrc(ours[:-4])
    # The API's tuple writes the same file.
    os.remove(root + "_CRC.dfu")
    velk_crc.flash(str(build), symbol="crc_value", bin=True, dfu=api)
    with open(root + "_CRC.dfu", "rb") as f:
        assert f.read() == ours
    code, out, err = run_cli(velk, monkeypatch, "CHECK", root + "_CRC.dfu", "--ncrc_value",
                             "--elf", build)
    assert code == 0, out + err
    tool = shutil.which("dfu-suffix")
    if tool is None:
        pytest.skip("dfu-suffix is not installed (Debian's dfu-util; .ci/run installs it)")
    theirs = build.parent / "theirs.bin"
    shutil.copy(root + "_CRC.bin", theirs)
    subprocess.run([tool, *words, "-a", str(theirs)], check=True, capture_output=True)
    assert theirs.read_bytes() == ours


def test_merged_dfu_from_the_api(tmp_path):
    boot = os.path.join(DATA, "fw_bootloader.hex")
    app = tmp_path / "app.elf"
    shutil.copy(os.path.join(DATA, "fw_bootloaded_app.elf"), app)
    report = velk_crc.flash(str(app), symbol="crc_value", merge=[boot], bin=True,
                            dfu=(0x0483, 0xDF11))
    formats = {os.path.basename(f): (f.format, f.base) for f in report.files}
    assert formats["app_CRC_merged.dfu"] == ("DFU", formats["app_CRC_merged.bin"][1])
    assert formats["app_CRC.dfu"] == ("DFU", formats["app_CRC.bin"][1])
    merged = (tmp_path / "app_CRC_merged.dfu").read_bytes()
    assert merged[:-16] == (tmp_path / "app_CRC_merged.bin").read_bytes()
    assert suffix_of(merged)[6] == jamcrc(merged[:-4])
    assert velk_crc.check(str(tmp_path / "app_CRC_merged.dfu"), symbol="crc_value",
                          elf=str(app), merge=[boot]).ok


def test_check_by_base_alone(velk, monkeypatch, flashed):
    code, out, err = run_cli(velk, monkeypatch, "CHECK", flashed / "fw_CRC.dfu", "--a134",
                             "--base", "0x08000000")
    assert code == 0, out + err
    assert out.startswith("checksum ok: [0x5EAE7871] at 0x08000134")


def damaged(data, how):
    if how == "suffix-crc":
        return data[:-4] + struct.pack("<I", jamcrc(data[:-4]) ^ 1)
    if how == "suffix-length":
        return data[:-5] + b"\x0f" + data[-4:]
    if how == "no-suffix":
        return data[:-16]
    if how == "shorter-than-a-suffix":
        return data[-15:]
    if how == "empty":
        return b""
    if how == "signature":
        # "UFD" spelled otherwise, the CRC made right again: the signature
        # alone must tell.
        cut = data[:-8] + b"UFX" + data[-5:-4]
        return cut + struct.pack("<I", jamcrc(cut))
    # An image byte changed, the suffix's CRC made right again: only the
    # image's own checksum can tell.
    image = data[:100] + bytes([data[100] ^ 0xFF]) + data[101:-4]
    return image + struct.pack("<I", jamcrc(image))


@pytest.mark.parametrize("how, status, said", [
    ("suffix-crc", UNREADABLE, "cannot read it as a DFU file: its suffix's CRC (dwCRC) is 0x"),
    ("suffix-length", UNREADABLE,
     "cannot read it as a DFU file: its suffix's length (bLength) is 15, not 16"),
    ("no-suffix", UNREADABLE, "cannot read it as a DFU file: it does not end in a DFU suffix"),
    ("shorter-than-a-suffix", UNREADABLE,
     "cannot read it as a DFU file: 15 bytes, fewer than its 16-byte suffix"),
    ("empty", UNREADABLE, "cannot read it as a DFU file: 0 bytes, fewer than its 16-byte suffix"),
    ("signature", UNREADABLE,
     'cannot read it as a DFU file: it does not end in a DFU suffix (its ucDfuSignature is '
     'not "UFD")'),
    ("image-byte", MISMATCH, "checksum mismatch at 0x08000134"),
], ids=["suffix-crc", "suffix-length", "no-suffix", "shorter-than-a-suffix", "empty",
        "signature", "image-byte"])
def test_check_refuses_a_damaged_file(velk, monkeypatch, flashed, tmp_path, how, status, said):
    path = tmp_path / "fw_CRC.dfu"
    path.write_bytes(damaged((flashed / "fw_CRC.dfu").read_bytes(), how))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", "--elf",
                             flashed / "fw.elf")
    assert code == status
    assert said in out + err
    if status == UNREADABLE:
        assert out == "" and len(err.splitlines()) == 1
        with pytest.raises(velk_crc.CannotVerify, match=r"cannot read it as a DFU file"):
            velk_crc.check(str(path), symbol="crc_value", elf=str(flashed / "fw.elf"))
    else:
        assert not velk_crc.check(str(path), symbol="crc_value",
                                  elf=str(flashed / "fw.elf")).ok


# An ID written with more than 4 digits is refused even when its value fits
# 16 bits: a fifth digit is a typing slip more often than a leading zero.
@pytest.mark.parametrize("value", [
    "0483", "0483:", "10000:df11", "zz:df11", "0x:df11", "0483:df11:1:2",
    pytest.param("00483:df11", id="vid-5-digits"),
    pytest.param("0x00483:df11", id="0x-and-5-digits"),
    pytest.param("0483:0000df11", id="pid-8-digits"),
    pytest.param("0483:df11:00100", id="bcd-5-digits"),
])
def test_command_line_refuses_bad_ids(velk, monkeypatch, build, value):
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc_value", "--dfu", value)
    assert (code, out) == (255, "")
    assert err == (f"error: {build}: --dfu {value}: not <vid>:<pid>[:<bcd>], the device's "
                   "USB vendor and product IDs and its release, each 1 to 4 hex digits, as "
                   "in 0483:df11\n")
    assert os.listdir(build.parent) == ["fw.elf"]


@pytest.mark.parametrize("value, named", [
    ("0483", 'dfu="0483"'),
    ((0x483,), "dfu=(0x483,)"),
    ((0x10000, 0xDF11), "dfu=(0x10000, 0xDF11)"),
    ((-1, 0xDF11), "dfu=(-0x1, 0xDF11)"),
    ((1, 2, 3, 4), "dfu=(0x1, 0x2, 0x3, 0x4)"),
    pytest.param("00483:df11", 'dfu="00483:df11"'),
], ids=["str", "one", "too-big", "negative", "four", "five-digits"])
def test_api_refuses_bad_ids(build, value, named):
    with pytest.raises(velk_crc.Refused, match=r"^.*: " + named.replace("(", r"\(")
                       .replace(")", r"\)") + r": not <vid>:<pid>\[:<bcd>\]"):
        velk_crc.flash(str(build), symbol="crc_value", dfu=value)
    assert os.listdir(build.parent) == ["fw.elf"]


@pytest.mark.parametrize("value, message", [
    (0x0483, "dfu must be a str or a tuple of ints, not int"),
    (("0483", "df11"), "dfu must be an int, not str"),
    ((True, 1), "dfu must be an int, not bool"),
], ids=["int", "tuple-of-str", "bool"])
def test_api_types(build, value, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        velk_crc.flash(str(build), symbol="crc_value", dfu=value)


def test_an_earlier_dfu_is_removed(velk, monkeypatch, build):
    code, _, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc_value", "--dfu",
                           "0483:df11")
    assert code == 0, err
    code, _, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc_value")
    assert code == 0, err
    assert not os.path.exists(str(build)[:-4] + "_CRC.dfu")


@pytest.fixture
def far_apart(tmp_path):
    """Two checksummed images 32 MiB apart: a raw binary of both would be
    31 MiB of fill."""
    from elfwriter import Elf, Segment
    code = bytes(range(64)) + b"\xff" * 4
    Elf(entry=0x08000001, segments=[Segment(0x08000000, code, section=".text"),
                                    Segment(0x0A000000, code, section=".far")],
        symbols=[("crc1", 0x08000040), ("crc2", 0x0A000040)]).write(tmp_path / "fw.elf")
    return tmp_path / "fw.elf"


FILL = "31 MiB of fill between 0x08000000 and 0x0A000044, where nothing is written"


@pytest.mark.parametrize("words, api, files, leave_out, leave_out_api", [
    (["--bin"], {"bin": True}, ".bin", "--bin", "bin=True"),
    (["--dfu", "0483:df11"], {"dfu": "0483:df11"}, ".dfu", "--dfu", "dfu"),
    (["--bin", "--dfu", "0483:df11"], {"bin": True, "dfu": (0x0483, 0xDF11)}, ".bin and .dfu",
     "--bin and --dfu", "bin=True and dfu"),
], ids=["bin", "dfu", "bin-and-dfu"])
def test_a_file_of_mostly_fill_names_the_options_asking_for_it(velk, monkeypatch, far_apart,
                                                               words, api, files, leave_out,
                                                               leave_out_api):
    code, out, err = run_cli(velk, monkeypatch, "FLASH", far_apart, "--ncrc1", "--ncrc2", *words)
    assert (code, out, err) == (255, "", f"error: {far_apart}: the {files} would hold {FILL}: "
                                         f"leave out {leave_out}, or --force writes it\n")
    with pytest.raises(velk_crc.Refused) as refused:
        velk_crc.flash(far_apart, symbol=["crc1", "crc2"], **api)
    assert str(refused.value) == (f"{far_apart}: the {files} would hold {FILL}: "
                                  f"leave out {leave_out_api}, or force=True writes it")
    assert os.listdir(far_apart.parent) == ["fw.elf"]


def test_a_merged_file_of_mostly_fill_names_the_option_asking_for_it(velk, monkeypatch,
                                                                     tmp_path):
    from elfwriter import Elf, Segment
    Elf(entry=0x08000001, segments=[Segment(0x08000000, bytes(range(64)) + b"\xff" * 4,
                                            section=".text")],
        symbols=[("crc1", 0x08000040)]).write(tmp_path / "fw.elf")
    (tmp_path / "far.bin").write_bytes(b"\x01\x02\x03\x04")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc1", "--merge",
                           f"{tmp_path / 'far.bin'}@0x0A000000", "--dfu", "0483:df11")
    assert code == 255
    assert err.endswith("the merged .dfu would hold 31 MiB of fill between 0x08000000 and "
                        "0x0A000004, where nothing is written: leave out --dfu, or --force "
                        "writes it\n"), err
