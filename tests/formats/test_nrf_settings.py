"""FLASH --nrf-settings: the nRF5 SDK bootloader settings page and its
backup in <root>_CRC.settings.hex, and CHECK --nrf-settings of a page
against the application in the same file. The page's fields are read here
by their offsets and its CRCs worked out with zlib.crc32 over the HEX
records parsed here; where nrfutil 6.1.7 is installed (.ci/run puts it in
a side venv, VELK_NRFUTIL_PYTHON names another), `nrfutil settings
generate` of our _CRC.hex must give the same file, byte for byte."""

import hashlib
import os
import shutil
import struct
import subprocess
import zlib

import pytest

import velk_crc
from conftest import run_cli
from elfwriter import Elf, Segment
from hexcheck import flip_hex_byte, read_hex, write_hex

MISMATCH = 1
UNREADABLE = 2
REFUSED = 255
APP = 0x26000  # after an S140/S132 SoftDevice
APP_SIZE = 0x3000
# Where nrfutil 6.1.7 puts the page for each --family (its output, observed),
# and the nRF52833's, the last page of its 512 KiB.
SETTINGS = {"nrf51": 0x3FC00, "nrf52": 0x7F000, "nrf52832": 0x7F000, "nrf52qfab": 0x3F000,
            "nrf52810": 0x2F000, "nrf52833": 0x7F000, "nrf52840": 0xFF000}
NRFUTIL_FAMILY = {"nrf52832": "NRF52", "nrf52840": "NRF52840", "nrf51": "NRF51",
                  "nrf52810": "NRF52810", "nrf52qfab": "NRF52QFAB"}
PAGE = {1: 0x5C, 2: 0x324}


def softdevice(folder):
    """An MBR and a SoftDevice whose information structure says the
    application starts at APP."""
    sd = bytearray((i * 3 + 5) & 0xFF for i in range(0x4000))
    sd[0x2000:0x200C] = struct.pack("<III", 0xFFFFFF2C, 0x51B1E5DB, APP)
    write_hex(folder / "sd.hex", {0: bytes((i * 13 + 1) & 0xFF for i in range(0xB00)),
                                  0x1000: bytes(sd)})


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    folder = tmp_path_factory.mktemp("nrf")
    code = bytearray((i * 7 + 3) & 0xFF for i in range(APP_SIZE))
    code[0x200:0x204] = b"\xff" * 4
    Elf(entry=APP | 1, segments=[Segment(APP, bytes(code), section=".text")],
        symbols=[("crc1", APP + 0x200)]).write(folder / "fw.elf")
    Elf(entry=0xF8001, segments=[Segment(0xF8000, bytes(range(256)) * 4, section=".text")],
        symbols=[]).write(folder / "boot.elf")
    softdevice(folder)
    return folder


def flash(velk, monkeypatch, build, tmp_path, value, *more):
    shutil.copy(build / "fw.elf", tmp_path / "fw.elf")
    return run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc1",
                   "--nrf-settings", value, *more)


def application(folder):
    """The _CRC.hex's bytes, as parsed here: (first address, bytes)."""
    image = read_hex(folder / "fw_CRC.hex")
    (start, end), = image.ranges()
    return start, image.bytes_at(start, end - start)


def nrfutil():
    python = os.environ.get("VELK_NRFUTIL_PYTHON") or os.path.join(
        os.path.dirname(__file__), "..", "..", ".ci", "venv-nrfutil", "bin", "python")
    if not os.path.exists(python):
        pytest.skip("nrfutil 6.1.7 is not installed (.ci/run puts it in .ci/venv-nrfutil; "
                    "VELK_NRFUTIL_PYTHON names another interpreter that has it)")
    return python


@pytest.mark.parametrize("family", sorted(SETTINGS))
@pytest.mark.parametrize("version", [1, 2], ids=["v1", "v2"])
def test_fields_and_crcs(velk, monkeypatch, build, tmp_path, family, version):
    code, out, err = flash(velk, monkeypatch, build, tmp_path,
                           f"{family},app-version=0x10203,bl-version=7,"
                           f"bl-settings-version={version}")
    assert code == 0, err
    assert 'create new crc settings file "' in out
    start, app = application(tmp_path)
    at = SETTINGS[family]
    pages = read_hex(tmp_path / "fw_CRC.settings.hex")
    assert pages.ranges() == [(at - 0x1000, at - 0x1000 + PAGE[version]),
                              (at, at + PAGE[version])]
    assert pages.start_linear is None
    page = pages.bytes_at(at, PAGE[version])
    assert pages.bytes_at(at - 0x1000, PAGE[version]) == page
    word = lambda offset: struct.unpack_from("<I", page, offset)[0]  # noqa: E731
    assert (word(0x04), word(0x08), word(0x0C)) == (version, 0x10203, 7)
    assert (word(0x18), word(0x1C), word(0x20)) == (len(app), zlib.crc32(app), 1)
    assert word(0x00) == zlib.crc32(page[4:0x5C])
    if version == 2:
        assert word(0x25C) == zlib.crc32(page[0x260:0x323])
        # By default nrfutil validates the application by its CRC.
        assert page[0x2A1:0x2A6] == b"\x01" + struct.pack("<I", zlib.crc32(app))
        assert page[0x323] == 0xFF
    assert start == APP


ORACLE = [
    ("nrf52832", 1, ""),
    ("nrf52832", 2, ""),
    ("nrf52840", 1, ""),
    ("nrf52840", 2, ""),
    ("nrf52840", 1, "sd"),
    ("nrf52832", 2, "sd"),
    ("nrf52840", 2, "sd,app-boot-validation=sha256,sd-boot-validation=sha256"),
    ("nrf52832", 2, "app-boot-validation=none"),
    ("nrf52840", 2, "sd,sd-boot-validation=none,app-boot-validation=crc"),
    ("nrf51", 1, ""),
    ("nrf52810", 2, ""),
    ("nrf52qfab", 2, "sd"),
]


@pytest.mark.parametrize("family, version, extra", ORACLE,
                         ids=[f"{f}-v{v}{'-' + e if e else ''}" for f, v, e in ORACLE])
def test_equals_nrfutil_settings_generate(velk, monkeypatch, build, tmp_path, family,
                                          version, extra):
    python = nrfutil()
    words = [w for w in extra.split(",") if w]
    ours = [f"softdevice={build / 'sd.hex'}" if w == "sd" else w for w in words]
    value = ",".join([family, "app-version=5", "bl-version=2",
                      f"bl-settings-version={version}", *ours])
    code, out, err = flash(velk, monkeypatch, build, tmp_path, value)
    assert code == 0, err
    theirs = [python, "-m", "nordicsemi", "settings", "generate", "--family",
              NRFUTIL_FAMILY[family], "--application", str(tmp_path / "fw_CRC.hex"),
              "--application-version", "5", "--bootloader-version", "2",
              "--bl-settings-version", str(version)]
    for w in words:
        if w == "sd":
            theirs += ["--softdevice", str(build / "sd.hex")]
        else:
            key, kind = w.split("=")
            theirs += ["--" + key, {"none": "NO_VALIDATION", "crc": "VALIDATE_GENERATED_CRC",
                                    "sha256": "VALIDATE_GENERATED_SHA256"}[kind]]
    subprocess.run(theirs + [str(tmp_path / "theirs.hex")], check=True, capture_output=True)
    assert ((tmp_path / "fw_CRC.settings.hex").read_text()
            == (tmp_path / "theirs.hex").read_text())
    if "sha256" in extra:
        page = read_hex(tmp_path / "fw_CRC.settings.hex").bytes_at(SETTINGS[family], 0x324)
        assert page[0x2A2:0x2C2] == hashlib.sha256(application(tmp_path)[1]).digest()


# nrfutil's option names and validation words, as its users type them,
# give the page our spelling gives: the versions at 0x08 and 0x0C, the
# application's validation type at 0x2A1 (0 none, 1 CRC, 2 SHA-256).
@pytest.mark.parametrize("theirs, ours, kind", [
    ("NRF52840,application-version=5,bootloader-version=2,bl-settings-version=2,"
     "app-boot-validation=VALIDATE_GENERATED_SHA256",
     "nrf52840,app-version=5,bl-version=2,bl-settings-version=2,app-boot-validation=sha256",
     2),
    ("NRF52,application-version=5,bootloader-version=2,bl-settings-version=2,"
     "app-boot-validation=NO_VALIDATION",
     "nrf52,app-version=5,bl-version=2,bl-settings-version=2,app-boot-validation=none", 0),
    ("nrf52,application-version=5,bootloader-version=2,bl-settings-version=2,"
     "app-boot-validation=VALIDATE_GENERATED_CRC",
     "nrf52,app-version=5,bl-version=2,bl-settings-version=2", 1),
    # nrfutil's --application-version-string 1.200.3 is 30003, as it writes it.
    ("nrf52,application-version-string=1.200.3,bl-version=2,bl-settings-version=2",
     "nrf52,app-version=30003,bl-version=2,bl-settings-version=2", 1),
], ids=["sha256", "none", "crc", "version-string"])
def test_nrfutil_spellings(velk, monkeypatch, build, tmp_path, theirs, ours, kind):
    code, _, err = flash(velk, monkeypatch, build, tmp_path, theirs)
    assert code == 0, err
    written = (tmp_path / "fw_CRC.settings.hex").read_text()
    at = SETTINGS[ours.split(",")[0]]
    page = read_hex(tmp_path / "fw_CRC.settings.hex").bytes_at(at, 0x324)
    version = 30003 if "string" in theirs else 5
    assert struct.unpack_from("<II", page, 0x08) == (version, 2) and page[0x2A1] == kind
    code, _, err = flash(velk, monkeypatch, build, tmp_path, ours)
    assert code == 0, err
    assert (tmp_path / "fw_CRC.settings.hex").read_text() == written


def merged_with_settings(folder):
    """The _CRC.hex and the settings file in one HEX, as mergehex joins them."""
    app, pages = (folder / "fw_CRC.hex").read_text(), (folder / "fw_CRC.settings.hex")
    body = [line for line in app.splitlines(True) if not line.startswith(":00000001")]
    (folder / "both.hex").write_text("".join(body) + pages.read_text())
    return folder / "both.hex"


@pytest.fixture(scope="module")
def with_sd(build, tmp_path_factory):
    """FLASH --merge of the SoftDevice and the bootloader: v2, validated by
    SHA-256."""
    folder = tmp_path_factory.mktemp("merged")
    shutil.copy(build / "fw.elf", folder / "fw.elf")
    velk_crc.flash(str(folder / "fw.elf"), symbol="crc1",
                   nrf_settings=f"nrf52840,app-version=1,bl-version=1,bl-settings-version=2,"
                                f"softdevice={build / 'sd.hex'},app-boot-validation=sha256",
                   merge=[str(build / "sd.hex"), str(build / "boot.elf")])
    return folder


@pytest.mark.parametrize("which", ["merged", "joined", "joined-v1", "joined-softdevice"])
def test_check_passes_what_flash_wrote(velk, monkeypatch, build, with_sd, tmp_path, which):
    if which == "merged":
        path = with_sd / "fw_CRC_merged.hex"
        merged = read_hex(path)
        page = merged.bytes_at(0xFF000, 0x324)
        assert merged.bytes_at(0xFE000, 0x324) == page
        assert page[0x34:0x38] == struct.pack("<I", 0x4000)  # the SoftDevice's size
        assert page[0x261:0x265] == struct.pack("<I", zlib.crc32(merged.bytes_at(0x1000,
                                                                                   0x4000)))
        more = ["--ncrc1", "--elf", with_sd / "fw.elf", "--merge", build / "sd.hex",
                "--merge", build / "boot.elf"]
    else:
        version = 1 if which == "joined-v1" else 2
        # The page names a SoftDevice flashed apart, which the file lacks.
        sd = f",softdevice={build / 'sd.hex'}" if which == "joined-softdevice" else ""
        code, _, err = flash(velk, monkeypatch, build, tmp_path,
                             f"nrf52832,app-version=1,bl-version=1,bl-settings-version={version}"
                             + sd)
        assert code == 0, err
        path, more = merged_with_settings(tmp_path), []
    family = "nrf52840" if which == "merged" else "nrf52832"
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--nrf-settings", family, *more)
    assert code == 0, out + err
    assert (f"{family} bootloader settings ok: version " in out
            and f"the application 0x{APP:08X}-0x{APP + APP_SIZE:08X}, 12288 bytes" in out)
    assert out.rstrip().endswith("; the file holds none of the 16384 bytes of SoftDevice it "
                                 "names from 0x00001000: not checked") == (
                                     which == "joined-softdevice"), out
    report = velk_crc.check(str(path), nrf_settings=family)
    assert report.ok


# The bytes each damage flips: a field of the page flipped in its backup too.
FLIPPED = {"app-byte": [APP + 0x100], "app-version": [0xFF008, 0xFE008],
           "settings-crc": [0xFF000, 0xFE000], "backup": [0xFE01C],
           "validation-crc": [0xFF25C, 0xFE25C], "sd-byte": [0x2000],
           "sd-size": [0xFF037, 0xFE037], "validation-type": [0xFF2A1, 0xFE2A1]}


@pytest.mark.parametrize("how, named", [
    ("app-byte", ["bank 0's image CRC at 0x000FF01C is 0x",
                  "the application's boot validation at 0x000FF2A1 (type 2) does not hold "
                  "what the application gives"]),
    ("app-version", ["the settings' CRC at 0x000FF000 is 0x"]),
    ("settings-crc", ["the settings' CRC at 0x000FF000 is 0x"]),
    ("backup", ["the backup page at 0x000FE000 is not the settings page: its byte at "
                "0x000FE01C is 0x"]),
    ("validation-crc", ["the boot validation CRC at 0x000FF25C is 0x"]),
    ("sd-byte", ["the SoftDevice's boot validation at 0x000FF260 (type 1) does not hold "
                 "what the SoftDevice gives"]),
    # 4 GiB of SoftDevice would take minutes to read: named, not read.
    ("sd-size", ["the SoftDevice size at 0x000FF034 is 0xFF004000, past the backup page at "
                 "0x000FE000", "the settings' CRC at 0x000FF000 is 0x"]),
    # A type the bootloader does not know fails its boot validation.
    ("validation-type", ["the application's boot validation at 0x000FF2A1 is of type 253, none "
                         "the bootloader knows (0 none, 1 CRC, 2 SHA-256, 3 ECDSA): it would "
                         "not start the application",
                         "the boot validation CRC at 0x000FF25C is 0x"]),
], ids=["app-byte", "app-version", "settings-crc", "backup", "validation-crc", "sd-byte",
        "sd-size", "validation-type"])
def test_check_names_each_wrong_field(velk, monkeypatch, with_sd, tmp_path, how, named):
    path = tmp_path / "fw_CRC_merged.hex"
    shutil.copy(with_sd / "fw_CRC_merged.hex", path)
    for address in FLIPPED[how]:
        flip_hex_byte(path, address)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--nrf-settings", "nrf52840")
    assert code == MISMATCH, out + err
    lines = out.splitlines()
    assert len(lines) == len(named), out
    for line, said in zip(lines, named):
        assert line.startswith("settings mismatch: " + said), out
    report = velk_crc.check(str(path), nrf_settings="nrf52840")
    assert not report.ok and report.verdict == "mismatch"


def unreadable(folder, how):
    path = folder / "damaged.hex"
    if how == "no-page":
        shutil.copy(folder / "fw_CRC.hex", path)
    elif how == "version":
        pages = read_hex(folder / "fw_CRC.settings.hex")
        page = bytearray(pages.bytes_at(0xFF000, 0x324))
        page[4] = 7
        write_hex(path, {0xFF000: bytes(page)})
    elif how == "cut":
        pages = read_hex(folder / "fw_CRC.settings.hex")
        write_hex(path, {0xFF000: pages.bytes_at(0xFF000, 0x300)})
    elif how == "bad-record":
        text = (folder / "fw_CRC.settings.hex").read_text().splitlines(True)
        text[3] = text[3][:-3] + "00\n"
        path.write_text("".join(text))
    return path


@pytest.mark.parametrize("how, said", [
    ("no-page", "cannot read the nrf52840 bootloader settings page at 0x000FF000: the file "
                "holds no byte there"),
    ("version", "cannot read the nrf52840 bootloader settings page at 0x000FF000: its "
                "settings version is 7, neither 1 nor 2"),
    ("cut", "cannot read the nrf52840 bootloader settings page at 0x000FF000: the file holds "
            "768 of its 804 bytes"),
    ("bad-record", "line 4"),
], ids=["no-page", "version", "cut", "bad-record"])
def test_damaged_file_one_line(velk, monkeypatch, build, tmp_path, how, said):
    code, _, err = flash(velk, monkeypatch, build, tmp_path,
                         "nrf52840,app-version=1,bl-version=1,bl-settings-version=2")
    assert code == 0, err
    path = unreadable(tmp_path, how)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--nrf-settings", "nrf52840")
    assert (code, out) == (UNREADABLE, "")
    assert said in err and len(err.splitlines()) == 1, err
    with pytest.raises(velk_crc.CannotVerify):
        velk_crc.check(str(path), nrf_settings="nrf52840")


@pytest.mark.parametrize("value, said", [
    ("nrf9160,app-version=1,bl-version=1,bl-settings-version=2",
     '"nrf9160" is no nRF5 family here (nrf51, nrf52, nrf52832'),
    ("nrf52840,app-version=1,bl-settings-version=2", "needs bl-version=, as in nrf52840,"),
    ("nrf52840,app-version=1,bl-version=1,bl-settings-version=3",
     '"bl-settings-version=3": the settings version is 1'),
    ("nrf52840,app-version=1,bl-version=1,bl-settings-version=1,app-boot-validation=crc",
     "settings version 1 holds no boot validation"),
    ("nrf52840,app-version=1,bl-version=1,bl-settings-version=2,app-boot-validation=ecdsa",
     "an ECDSA boot validation needs nrfutil's signing key"),
    ("nrf52840,app-version=1,bl-version=1,bl-settings-version=2,sd-boot-validation=crc",
     "sd-boot-validation= validates the SoftDevice: give it with softdevice="),
    ("nrf52840,app-version=x1,bl-version=1,bl-settings-version=2",
     '"app-version=x1" is no 32-bit number'),
    ("nrf52840,app-version=1,bl-version=1,bl-settings-version=2,vesion=2",
     'unknown setting "vesion" (app-version, bl-version,'),
    ("nrf52840,app-version=1,bl-version=1,bl-settings-version=2,softdevice=none.hex",
     "--nrf-settings softdevice=none.hex: cannot open it"),
    ("nrf52810,app-version=1,bl-version=1,bl-settings-version=2",
     "the application 0x00026000-0x00029000 reaches into the nrf52810 bootloader settings at "
     "0x0002F000 and their backup at 0x0002E000"),
    ("nrf52840,app-version=1,bl-version=1,app-version=2,bl-settings-version=2",
     "app-version= is given twice"),
    ("nrf52832,app-version=1,bl-version=1,bl-settings-version=1",
     "--nrf-settings: the application 0x00000800-0x00003800 starts in the MBR's page below "
     "0x00001000, which the nRF5 bootloader needs"),
    ("nrf52840,app-version=1,bl-version=1,bl-settings-version=2,softdevice=sd.bin",
     "--nrf-settings softdevice=sd.bin: a raw binary by its name; a raw binary holds no "
     "addresses: give the SoftDevice's HEX file, as Nordic ships it"),
    ("nrf52840,application-version=1,bl-version=1,bl-settings-version=2,"
     "app-boot-validation=VALIDATE_ECDSA_P256_SHA256",
     "an ECDSA boot validation needs nrfutil's signing key"),
    ("nrf52840,application-version-string=1.2,bl-version=1,bl-settings-version=2",
     '"application-version-string=1.2" is no version x.y.z, as in 2.7.31 (20731)'),
    ("nrf52840,app-version=1,application-version-string=1.2.3,bl-version=1,"
     "bl-settings-version=2", "the application version is given twice"),
], ids=["family", "missing", "version", "v1-validation", "ecdsa", "sd-without-softdevice",
        "number", "unknown-key", "no-softdevice-file", "overlap", "twice", "in-the-mbr",
        "softdevice-bin", "ecdsa-as-nrfutil-says", "version-string", "two-app-versions"])
def test_flash_refuses_in_one_line(velk, monkeypatch, build, tmp_path, value, said):
    if "nrf52810" in value:
        # An application up to 0x2E000 and beyond: on the 52810's backup page.
        code = bytes(0x9000)
        Elf(entry=APP | 1, segments=[Segment(APP, code, section=".text")],
            symbols=[("crc1", APP + 0x200)]).write(tmp_path / "fw.elf")
        said = said.replace("0x00029000", "0x0002F000")
    elif "MBR" in said:
        Elf(entry=0x801, segments=[Segment(0x800, bytes(APP_SIZE), section=".text")],
            symbols=[("crc1", 0x900)]).write(tmp_path / "fw.elf")
    else:
        shutil.copy(build / "fw.elf", tmp_path / "fw.elf")
    if "sd.bin" in value:
        (tmp_path / "sd.bin").write_bytes(bytes(0x4000))
    monkeypatch.chdir(tmp_path)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc1",
                             "--nrf-settings", value)
    assert (code, out) == (REFUSED, "")
    assert said in err and len(err.splitlines()) == 1, err
    assert sorted(os.listdir(tmp_path)) == ["fw.elf"] + ["sd.bin"] * ("sd.bin" in value)
    with pytest.raises(velk_crc.Refused, match="nrf_settings"):
        velk_crc.flash(str(tmp_path / "fw.elf"), symbol="crc1", nrf_settings=value)


def test_each_device_its_own_page(velk, monkeypatch, build, tmp_path):
    code, _, err = flash(velk, monkeypatch, build, tmp_path,
                         "nrf52832,app-version=1,bl-version=1,bl-settings-version=2",
                         "--stamp", f"0x{APP + 0x300:X}:4=serial:7..8", "--out",
                         tmp_path / "line", "--force")
    assert code == 0, err
    crcs = set()
    for serial in (7, 8):
        app = read_hex(tmp_path / "line" / f"fw_{serial}_CRC.hex").bytes_at(APP, APP_SIZE)
        assert app[0x300:0x304] == struct.pack("<I", serial)
        page = read_hex(tmp_path / "line" / f"fw_{serial}_CRC.settings.hex").bytes_at(0x7F000,
                                                                                      0x324)
        assert page[0x1C:0x20] == struct.pack("<I", zlib.crc32(app))
        crcs.add(page[0x1C:0x20])
    assert len(crcs) == 2


@pytest.fixture(scope="module")
def gapped(build, tmp_path_factory):
    """An application linked with 220 KiB of erased flash between its code
    and a data block, flashed with the SoftDevice and the bootloader."""
    folder = tmp_path_factory.mktemp("gapped")
    code = bytearray((i * 7 + 3) & 0xFF for i in range(APP_SIZE))
    code[0x200:0x204] = b"\xff" * 4
    Elf(entry=APP | 1, segments=[Segment(APP, bytes(code), section=".text"),
                                 Segment(0x60000, b"DATA" * 64, section=".data")],
        symbols=[("crc1", APP + 0x200)]).write(folder / "fw.elf")
    velk_crc.flash(str(folder / "fw.elf"), symbol="crc1",
                   nrf_settings="nrf52840,app-version=1,bl-version=1,bl-settings-version=2",
                   merge=[str(build / "sd.hex"), str(build / "boot.elf")], bin=True)
    return folder


def drop_application(path):
    """The file without the application's bytes, its page as it was."""
    image = read_hex(path)
    write_hex(path, {s: image.bytes_at(s, e - s) for s, e in image.ranges()
                     if not APP <= s < 0x70000})


@pytest.mark.parametrize("which, code, said", [
    # The bootloader checks the page's size from the application's start,
    # the gap's erased flash included, as nrfutil computes it.
    ("gap-merged", 0, "nrf52840 bootloader settings ok: version 2 at 0x000FF000, the "
                      "application 0x00026000-0x00060100, 237824 bytes"),
    ("gap-joined", 0, "the application 0x00026000-0x00060100, 237824 bytes"),
    # The merged .bin holds the gaps as erased flash, up to the bootloader.
    ("gap-merged-bin", 0, "the application 0x00026000-0x00060100, 237824 bytes"),
    ("no-application", MISMATCH,
     "settings mismatch: bank 0's bank code at 0x000FF020 marks a valid application, but the "
     "file holds no application below 0x000FE000"),
], ids=["gap-merged", "gap-joined", "gap-merged-bin", "no-application"])
def test_check_reads_the_application_the_page_gives(velk, monkeypatch, gapped, tmp_path,
                                                    which, code, said):
    base = {}
    if which == "gap-merged":
        path = gapped / "fw_CRC_merged.hex"
    elif which == "gap-merged-bin":
        path, base = gapped / "fw_CRC_merged.bin", {"base": 0}
    else:
        path = merged_with_settings(gapped)
        if which == "no-application":
            drop_application(path)
    got, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--nrf-settings", "nrf52840",
                            *(["--base", "0x0"] if base else []))
    assert got == code, out + err
    assert said in out, out
    assert velk_crc.check(str(path), nrf_settings="nrf52840", **base).ok == (code == 0)
    if which == "gap-joined":
        # The page's size and CRC-32, zlib's over the HEX's bytes with the
        # gap as erased flash.
        page = read_hex(path).bytes_at(0xFF000, PAGE[2])
        held = read_hex(gapped / "fw_CRC.hex").memory
        app = bytes(held.get(a, 0xFF) for a in range(APP, 0x60100))
        assert page[0x18:0x20] == struct.pack("<II", len(app), zlib.crc32(app))


@pytest.mark.parametrize("fill", ["0x00", "0xA5"])
def test_flash_refuses_another_erased_value(velk, monkeypatch, gapped, tmp_path, fill):
    # With the gap as 0x00, the page would hold the CRC of bytes that the
    # flash a HEX leaves (0xFF there) does not: the application would not start.
    shutil.copy(gapped / "fw.elf", tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc1",
                             "--fill", fill, "--bin", "--nrf-settings",
                             "nrf52840,app-version=1,bl-version=1,bl-settings-version=2")
    assert (code, out) == (REFUSED, "")
    assert err == (f"error: {tmp_path / 'fw.elf'}: --fill {fill} and --nrf-settings: nRF5 "
                   "flash reads 0xFF when erased, as the bootloader's CRC of the application "
                   "takes its holes; leave out --fill\n")
    assert os.listdir(tmp_path) == ["fw.elf"]
    with pytest.raises(velk_crc.Refused, match="nRF5 flash reads 0xFF"):
        velk_crc.flash(str(tmp_path / "fw.elf"), symbol="crc1", fill=int(fill, 16),
                       nrf_settings="nrf52840,app-version=1,bl-version=1,bl-settings-version=2")


@pytest.mark.parametrize("which", ["application", "softdevice"])
def test_uicr_bytes_are_no_image(velk, monkeypatch, build, tmp_path, which):
    # A HEX that sets a UICR register (NFC pins, the bootloader's address):
    # nrfutil leaves those bytes out of the image's size and CRC-32.
    code = bytearray((i * 7 + 3) & 0xFF for i in range(APP_SIZE))
    code[0x200:0x204] = b"\xff" * 4
    segs = [Segment(APP, bytes(code), section=".text")]
    if which == "application":
        segs.append(Segment(0x1000120C, struct.pack("<I", 0xFFFFFFFE), section=".uicr"))
    Elf(entry=APP | 1, segments=segs, symbols=[("crc1", APP + 0x200)]).write(tmp_path / "fw.elf")
    sd = read_hex(build / "sd.hex")
    held = {s: sd.bytes_at(s, e - s) for s, e in sd.ranges()}
    if which == "softdevice":
        held[0x10001014] = struct.pack("<I", 0xF8000)
    write_hex(tmp_path / "sd.hex", held)
    value = ("nrf52840,app-version=1,bl-version=1,bl-settings-version=2,"
             f"softdevice={tmp_path / 'sd.hex'}")
    got, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc1",
                            "--nrf-settings", value)
    assert got == 0, err
    page = read_hex(tmp_path / "fw_CRC.settings.hex").bytes_at(0xFF000, PAGE[2])
    app = read_hex(tmp_path / "fw_CRC.hex").bytes_at(APP, APP_SIZE)
    softdevice = sd.bytes_at(0x1000, 0x4000)
    assert page[0x18:0x20] == struct.pack("<II", APP_SIZE, zlib.crc32(app))
    assert page[0x34:0x38] == struct.pack("<I", len(softdevice))
    assert page[0x260:0x265] == b"\x01" + struct.pack("<I", zlib.crc32(softdevice))


@pytest.mark.parametrize("softdevice, says", [
    ("none.hex", "--nrf-settings softdevice=none.hex: cannot open it"),
    ("sd.bin", "--nrf-settings softdevice=sd.bin: a raw binary by its name"),
], ids=["missing", "raw-binary"])
def test_devices_run_refused_before_it_begins(velk, monkeypatch, build, tmp_path, softdevice,
                                              says):
    # Refused once the folder holds the run's state, the corrected command
    # would be told the folder holds another run.
    shutil.copy(build / "fw.elf", tmp_path / "fw.elf")
    (tmp_path / "sd.bin").write_bytes(bytes(0x4000))
    monkeypatch.chdir(tmp_path)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc1",
                             "--nrf-settings", "nrf52832,app-version=1,bl-version=1,"
                             f"bl-settings-version=2,softdevice={softdevice}",
                             "--stamp", f"0x{APP + 0x300:X}:4=serial:7..8", "--out",
                             tmp_path / "line", "--force")
    assert (code, out) == (REFUSED, "")
    assert len(err.strip().splitlines()) == 1 and says in err, err
    assert sorted(os.listdir(tmp_path)) == ["fw.elf", "sd.bin"]
