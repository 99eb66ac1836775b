"""FLASH --dfuse: the DfuSe file dfu-util's dfuse-pack makes from our HEX,
byte for byte, and CHECK of such a file. The file is parsed here by its own
layout (prefix, targets, elements, suffix), its CRC computed with zlib."""

import os
import shutil
import struct
import subprocess
import sys
import zlib

import pytest

import velk_crc
from conftest import DATA, run_cli
from elfwriter import Elf, Segment

UNREADABLE = 2
MISMATCH = 1
LOAD = 0x08000000
BOOT = os.path.join(DATA, "fw_bootloader.hex")

DFUSE_PACK = shutil.which("dfuse-pack")
pytestmark = pytest.mark.skipif(
    DFUSE_PACK is None, reason="dfuse-pack is not installed (Debian's dfu-util)")


def jamcrc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


def elements_of(data):
    """[(address, bytes)] of a one-target DfuSe file, and its suffix's
    (bcdDevice, idProduct, idVendor, bcdDFU)."""
    signature, version, size, targets = struct.unpack_from("<5sBIB", data)
    assert (signature, version, size, targets) == (b"DfuSe", 1, len(data), 1)
    name, held, count = struct.unpack_from("<255sII", data, 11 + 11)
    assert data[11:17] == b"Target" and name.rstrip(b"\0") == b"ST..."
    at, elements = 11 + 274, []
    for _ in range(count):
        address, length = struct.unpack_from("<II", data, at)
        elements.append((address, data[at + 8:at + 8 + length]))
        at += 8 + length
    assert at == 11 + 274 + held == len(data) - 16
    *ids, ufd, length, crc = struct.unpack("<4H3sBI", data[-16:])
    assert (ufd, length, crc) == (b"UFD", 16, jamcrc(data[:-4]))
    return elements, tuple(ids)


def dfuse_pack(hex_path, out, device="0x0483:0xdf11"):
    # dfuse-pack reads HEX with the intelhex module, which the test's own
    # interpreter has.
    subprocess.run([sys.executable, DFUSE_PACK, "-i", str(hex_path), "-D", device, str(out)],
                   check=True, capture_output=True)
    return out.read_bytes()


def two_runs(path):
    """A build whose image has a hole too wide to fill: two elements."""
    Elf(segments=[Segment(LOAD, bytes(range(0x3C)) + b"\xff" * 4, section=".text"),
                  Segment(LOAD + 0x20000, b"\x5a" * 0x20, section=".rodata")],
        symbols=[("crc_value", LOAD + 0x3C)]).write(path)


BUILDS = {
    "one-run": ("fw_boot.elf", [], 1),
    "two-runs": (None, [], 2),
    "merged": ("fw_bootloaded_app.elf", ["--merge", BOOT], 2),
}


@pytest.fixture(scope="module", params=BUILDS.values(), ids=BUILDS.keys())
def flashed(request, tmp_path_factory):
    """(folder, build, merge words, elements) with FLASH's files for
    0483:df11, written once per build."""
    name, merge, count = request.param
    folder = tmp_path_factory.mktemp("dfuse")
    build = folder / "fw.elf"
    if name:
        shutil.copy(os.path.join(DATA, name), build)
    else:
        two_runs(build)
    code = velk_crc.main(["FLASH", str(build), "--ncrc_value", "--dfuse", "0483:df11", *merge])
    assert code == 0
    return folder, build, merge, count


def test_equals_dfuse_pack_from_our_hex(flashed, tmp_path):
    folder, build, merge, count = flashed
    which = "_CRC_merged" if merge else "_CRC"
    ours = (folder / f"fw{which}.dfuse.dfu").read_bytes()
    assert ours == dfuse_pack(folder / f"fw{which}.hex", tmp_path / "theirs.dfu")
    elements, ids = elements_of(ours)
    assert len(elements) == count
    assert ids == (0, 0xDF11, 0x0483, 0x011A)
    if merge:
        # The application's own file is written too, without the bootloader.
        app = (folder / "fw_CRC.dfuse.dfu").read_bytes()
        assert app == dfuse_pack(folder / "fw_CRC.hex", tmp_path / "app.dfu")
        assert elements[1] == elements_of(app)[0][0]
    tool = shutil.which("dfu-suffix")
    if tool:
        result = subprocess.run([tool, "-c", folder / f"fw{which}.dfuse.dfu"],
                                capture_output=True, text=True)
        assert result.returncode == 0 and "contains a DFU suffix" in result.stdout


def test_check_passes_flashs_file(velk, monkeypatch, flashed):
    folder, build, merge, _ = flashed
    which = "_CRC_merged" if merge else "_CRC"
    code, out, err = run_cli(velk, monkeypatch, "CHECK", folder / f"fw{which}.dfuse.dfu",
                             "--ncrc_value", "--elf", build, *merge)
    assert code == 0, out + err
    assert out.startswith("checksum ok:")
    assert velk_crc.check(str(folder / f"fw{which}.dfuse.dfu"), symbol="crc_value",
                          elf=str(build), merge=merge[1:]).ok


def test_known_by_its_prefix_whatever_its_name(velk, monkeypatch, flashed, tmp_path):
    folder, build, merge, _ = flashed
    which = "_CRC_merged" if merge else "_CRC"
    renamed = tmp_path / "image.dat"
    shutil.copy(folder / f"fw{which}.dfuse.dfu", renamed)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", renamed, "--ncrc_value", "--elf",
                             build, *merge)
    assert code == 0, out + err


def test_api_with_a_release(tmp_path):
    build = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), build)
    report = velk_crc.flash(str(build), symbol="crc_value", dfuse=(0x0483, 0xDF11, 0x0200))
    formats = {os.path.basename(f): f.format for f in report.files}
    assert formats["fw_CRC.dfuse.dfu"] == "DfuSe"
    ours = (tmp_path / "fw_CRC.dfuse.dfu").read_bytes()
    theirs = bytearray(dfuse_pack(tmp_path / "fw_CRC.hex", tmp_path / "theirs.dfu"))
    # dfuse-pack writes bcdDevice 0 always; the release given is the only change.
    theirs[-16:-14] = struct.pack("<H", 0x0200)
    theirs[-4:] = struct.pack("<I", jamcrc(bytes(theirs[:-4])))
    assert ours == bytes(theirs)


# The IDs as dfuse-pack's -D takes them (it refuses 0483:df11), and ours.
@pytest.mark.parametrize("ids, device", [
    ("0x1209:0xBEEF", "0x1209:0xbeef"),
    ("1209:beef", "0x1209:0xbeef"),
], ids=["as-dfuse-pack-takes-them", "bare-hex"])
def test_ids_as_dfuse_pack_takes_them(velk, monkeypatch, tmp_path, ids, device):
    build = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), build)
    code, _, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc_value", "--dfuse", ids)
    assert code == 0, err
    ours = (tmp_path / "fw_CRC.dfuse.dfu").read_bytes()
    assert struct.unpack("<4H", ours[-16:-8]) == (0, 0xBEEF, 0x1209, 0x011A)
    assert ours == dfuse_pack(tmp_path / "fw_CRC.hex", tmp_path / "theirs.dfu", device)
    assert velk_crc.flash(str(build), symbol="crc_value", dfuse=ids).ok
    assert (tmp_path / "fw_CRC.dfuse.dfu").read_bytes() == ours


def resealed(data):
    return data[:-4] + struct.pack("<I", jamcrc(data[:-4]))


def damaged(data, how):
    first = 11 + 274  # the first element's head
    if how == "truncated":
        return data[:-40]
    if how == "bad-crc":
        return data[:-4] + struct.pack("<I", jamcrc(data[:-4]) ^ 1)
    if how == "element-past-end":
        return resealed(data[:first + 4] + struct.pack("<I", 0x10000) + data[first + 8:])
    if how == "prefix-size":
        return resealed(data[:6] + struct.pack("<I", len(data) + 1) + data[10:])
    if how == "target-signature":
        return resealed(data[:11] + b"Tarxet" + data[17:])
    if how == "short":
        return data[:16]
    if how == "signature":
        return resealed(b"DfuSx" + data[5:])
    if how == "plain-dfu-version":
        # bcdDFU 1.0: dfu-util downloads it as a raw image, not by its elements.
        return resealed(data[:-10] + struct.pack("<H", 0x0100) + data[-8:])
    # A byte of the image changed, the CRC made right again.
    at = first + 8 + 0x20
    return resealed(data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:])


@pytest.mark.parametrize("how, status, said", [
    ("truncated", UNREADABLE, "cannot read it as a DfuSe file: it does not end in a 16-byte "
                              "DFU suffix"),
    ("bad-crc", UNREADABLE, "cannot read it as a DfuSe file: its suffix's CRC (dwCRC) is 0x"),
    ("element-past-end", UNREADABLE, "cannot read it as a DfuSe file: target 0, element 0: "
                                     "its 65536 bytes at 0x08000000 run past the target's end"),
    ("prefix-size", UNREADABLE, "cannot read it as a DfuSe file: its prefix gives the file's "
                                "size as"),
    ("target-signature", UNREADABLE, 'cannot read it as a DfuSe file: target 0: no "Target" '
                                     "prefix at byte 11"),
    ("short", UNREADABLE, "cannot read it as a DfuSe file: 16 bytes, fewer than"),
    ("signature", UNREADABLE, 'cannot read it as a DfuSe file: it does not start with the '
                              '"DfuSe" prefix'),
    ("plain-dfu-version", UNREADABLE, "cannot read it as a DfuSe file: its suffix's bcdDFU is "
                                      "0x0100, not 0x011A (DfuSe)"),
    ("image-byte", MISMATCH, "content mismatch at 0x08000020: the file holds 0xFF where "),
], ids=["truncated", "bad-crc", "element-past-end", "prefix-size", "target-signature", "short",
        "signature", "plain-dfu-version", "image-byte"])
def test_check_refuses_a_damaged_file(velk, monkeypatch, tmp_path, how, status, said):
    build = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), build)
    velk_crc.flash(str(build), symbol="crc_value", dfuse="0483:df11")
    path = tmp_path / "bad.dfuse.dfu"
    path.write_bytes(damaged((tmp_path / "fw_CRC.dfuse.dfu").read_bytes(), how))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", "--elf", build)
    assert code == status, out + err
    assert said in out + err
    if status == UNREADABLE:
        assert out == "" and len(err.splitlines()) == 1
        with pytest.raises(velk_crc.CannotVerify, match=r"cannot read it as a DfuSe file"):
            velk_crc.check(str(path), symbol="crc_value", elf=str(build))


@pytest.mark.parametrize("value", ["0483", "10000:df11", "0483:df11:1:2"])
def test_command_line_refuses_bad_ids(velk, monkeypatch, tmp_path, value):
    build = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), build)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc_value", "--dfuse",
                             value)
    assert (code, out) == (255, "")
    assert err.startswith(f"error: {build}: --dfuse {value}: not <vid>:<pid>[:<bcd>]")
    assert os.listdir(tmp_path) == ["fw.elf"]


def test_each_device_gets_its_own(velk, monkeypatch, tmp_path):
    """A devices run writes every device's DfuSe file from that device's HEX."""
    build = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), build)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc_value", "--dfuse",
                             "0483:df11", "--stamp", "counters=serial:1..2", "--force",
                             "--out", tmp_path / "line")
    assert code == 0, out + err
    files = []
    for device in (1, 2):
        ours = (tmp_path / "line" / f"fw_{device}_CRC.dfuse.dfu").read_bytes()
        assert ours == dfuse_pack(tmp_path / "line" / f"fw_{device}_CRC.hex",
                                  tmp_path / "theirs.dfu")
        files.append(ours)
    assert files[0] != files[1]
    # Other IDs shape other files: the run is not resumed with them.
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc_value", "--dfuse",
                             "0483:df12", "--stamp", "counters=serial:1..2", "--force",
                             "--out", tmp_path / "line", "--resume")
    assert (code, out) == (255, "")
    assert 'now "ncrc_value output:dfuse dfuse:0x483:0xDF12"' in err


def packed(elements, alternate=0):
    """A one-target DfuSe file of [(address, bytes)] in that order."""
    body = b"".join(struct.pack("<II", a, len(d)) + d for a, d in elements)
    target = struct.pack("<6sBI255sII", b"Target", alternate, 1, b"ST...", len(body),
                         len(elements))
    data = struct.pack("<5sBIB", b"DfuSe", 1, 11 + len(target) + len(body) + 16, 1)
    data += target + body + struct.pack("<4H3sB", 0, 0xDF11, 0x0483, 0x011A, b"UFD", 16)
    return data + struct.pack("<I", jamcrc(data))


@pytest.mark.parametrize("order, status, said", [
    ("reversed", 0, "checksum ok:"),
    ("overlapping", UNREADABLE, "cannot read it as a DfuSe file: its elements 0 and 1 "
                                "(counted across its targets) both hold 0x08000010"),
    ("past-4-gib", UNREADABLE, "cannot read it as a DfuSe file: target 0, element 1: its 32 "
                               "bytes at 0xFFFFFFF0 run past 4 GiB"),
], ids=["reversed", "overlapping", "past-4-gib"])
def test_elements_in_any_order_but_never_twice(velk, monkeypatch, tmp_path, order, status,
                                                said):
    build = tmp_path / "fw.elf"
    two_runs(build)
    velk_crc.flash(str(build), symbol="crc_value", dfuse="0483:df11")
    elements, _ = elements_of((tmp_path / "fw_CRC.dfuse.dfu").read_bytes())
    if order == "reversed":
        elements.reverse()
    elif order == "overlapping":
        elements[1] = (LOAD + 0x10, elements[1][1])
    else:
        elements[1] = (0xFFFFFFF0, elements[1][1])
    path = tmp_path / "other.dfuse.dfu"
    path.write_bytes(packed(elements))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", "--elf", build)
    assert code == status, out + err
    assert said in out + err


def test_named_dfu_as_dfu_util_names_it(velk, monkeypatch, tmp_path):
    """A DfuSe file named .dfu is read by its prefix, not as a plain DFU file."""
    build = tmp_path / "fw.elf"
    two_runs(build)
    velk_crc.flash(str(build), symbol="crc_value", dfuse="0483:df11")
    renamed = tmp_path / "fw.dfu"
    shutil.copy(tmp_path / "fw_CRC.dfuse.dfu", renamed)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", renamed, "--ncrc_value", "--elf", build)
    assert code == 0, out + err


@pytest.mark.parametrize("alternate", [0, 1], ids=["flash", "option-bytes"])
def test_a_target_for_another_alternate_setting_is_told(velk, monkeypatch, tmp_path, alternate):
    """dfu-util -a 0 writes the targets of alternate setting 0 alone: a file
    whose target is another's is said to be skipped, its bytes still read."""
    build = tmp_path / "fw.elf"
    two_runs(build)
    velk_crc.flash(str(build), symbol="crc_value", dfuse="0483:df11")
    elements, _ = elements_of((tmp_path / "fw_CRC.dfuse.dfu").read_bytes())
    path = tmp_path / "other.dfuse.dfu"
    path.write_bytes(packed(elements, alternate))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", "--elf", build)
    assert code == 0 and out.startswith("checksum ok:"), out + err
    said = ("warning: target 0 is for alternate setting 1, not 0: dfu-util -a 0 skips it (an "
            "STM32's flash is alternate setting 0)\n")
    assert err == (said if alternate else ""), err
