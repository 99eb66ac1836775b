"""CHECK of one device's file from a production run: each --stamp word's
value at its place, and with --manifest the device's entry (its stamps, its
records and the file's SHA-256). The device files and the manifest here are
made by the test itself (zlib's CRC-32, HEX records written by hand,
json.dump), so the verdicts are judged against bytes our code did not make."""

import hashlib
import json
import random
import re
import shutil
import subprocess
import sysconfig
import struct
import zlib

import pytest

import velk_crc
from conftest import captured, run_cli
from elfwriter import Elf, Segment, STT_OBJECT
from hexcheck import flip_hex_byte, hex_record

LOAD = 0x08000000
SERIAL, MAC, CRC = 0x80, 0x90, 0xFC  # offsets in the image
SIZE = 0x100
ENTRY = LOAD + 1


def build_image():
    """The build: code bytes, and 0xFF placeholders for the serial number, the
    MAC address and the CRC."""
    data = bytearray((i * 7 + 3) & 0xFF for i in range(SIZE))
    data[SERIAL:SERIAL + 4] = b"\xff" * 4
    data[MAC:MAC + 6] = b"\xff" * 6
    data[CRC:CRC + 4] = b"\xff" * 4
    return data


def device_image(serial, mac):
    img = build_image()
    img[SERIAL:SERIAL + 4] = struct.pack("<I", serial)
    img[MAC:MAC + 6] = mac
    img[CRC:CRC + 4] = struct.pack("<I", zlib.crc32(bytes(img[:CRC])))
    return img


def write_hex(path, img):
    lines = [hex_record(4, 0, struct.pack(">H", LOAD >> 16))]
    lines += [hex_record(0, i, bytes(img[i:i + 16])) for i in range(0, len(img), 16)]
    lines += [hex_record(5, 0, struct.pack(">I", ENTRY)), hex_record(1, 0)]
    path.write_text("".join(lines))


DEVICES = [(1000, bytes.fromhex("020000000001")), (1001, bytes.fromhex("020000000002"))]


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """A folder as a production run leaves it: the build, each device's
    _CRC.hex and _CRC.bin, and manifest.json."""
    folder = tmp_path_factory.mktemp("devices")
    elf = Elf(segments=[Segment(LOAD, bytes(build_image()), section=".text")],
              symbols=[("serial_no", LOAD + SERIAL, 4, STT_OBJECT),
                       ("mac_addr", LOAD + MAC, 6, STT_OBJECT),
                       ("crc_value", LOAD + CRC, 4, STT_OBJECT)],
              entry=ENTRY)
    (folder / "fw.elf").write_bytes(elf.build())
    devices = []
    for index, (serial, mac) in enumerate(DEVICES):
        img = device_image(serial, mac)
        names = [f"fw_{serial}_CRC.hex", f"fw_{serial}_CRC.bin"]
        write_hex(folder / names[0], img)
        (folder / names[1]).write_bytes(bytes(img))
        crc = zlib.crc32(bytes(img[:CRC]))
        devices.append({
            "id": str(serial), "index": index,
            "stamps": [
                {"place": "serial_no", "address": LOAD + SERIAL, "value": str(serial),
                 "bytes": img[SERIAL:SERIAL + 4].hex()},
                {"place": "mac_addr", "address": LOAD + MAC, "value": mac.hex(":"),
                 "bytes": mac.hex()}],
            "records": [{"record": "crc_value", "address": LOAD + CRC,
                         "value": f"0x{crc:08X}", "bytes": img[CRC:CRC + 4].hex()}],
            "files": [{"name": n, "ending": n[len(f"fw_{serial}"):],
                       "sha256": hashlib.sha256((folder / n).read_bytes()).hexdigest()}
                      for n in names]})
    manifest = {"input": "fw.elf", "input_sha256": "0" * 64,
                "stamps": [{"place": "serial_no", "address": LOAD + SERIAL, "size": 4,
                            "values": "serial:1000..1001"},
                           {"place": "mac_addr", "address": LOAD + MAC, "size": 6,
                            "values": "mac:02:00:00:00:00:01"}],
                "devices": devices}
    (folder / "manifest.json").write_text(json.dumps(manifest, indent=1))
    return folder


def check(velk, monkeypatch, folder, *words):
    monkeypatch.chdir(folder)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", *words)
    return code, out, out + err if "--json" not in words else err


RIGHT = [
    pytest.param(["fw_1000_CRC.hex", "--stamp", "serial_no=1000",
                  "--stamp", "mac_addr=02:00:00:00:00:01", "--elf", "fw.elf",
                  "--ncrc_value=crc-32/iso-hdlc"], id="stamps-with-build-and-record"),
    pytest.param(["fw_1001_CRC.hex", "--stamp", "0x08000080:4=1001",
                  "--stamp", "0x08000090:6=02:00:00:00:00:02"], id="stamps-by-address-alone"),
    pytest.param(["fw_1001_CRC.hex", "--stamp", "serial_no=0x3E9", "--manifest",
                  "manifest.json"], id="symbol-placed-by-the-manifest"),
    pytest.param(["fw_1000_CRC.hex", "--manifest", "manifest.json"], id="manifest-alone"),
    pytest.param(["fw_1000_CRC.hex", "--manifest", "manifest.json", "--elf", "fw.elf"],
                 id="manifest-and-build"),
    pytest.param(["fw_1001_CRC.bin", "--base", "0x08000000", "--manifest",
                  "manifest.json"], id="manifest-raw-binary"),
    pytest.param(["fw_1000_CRC.hex", "--manifest", "manifest.json", "--elf", "fw.elf",
                  "--stamp", "serial_no=1000", "--ncrc_value=crc-32/iso-hdlc"],
                 id="manifest-build-stamp-record"),
]


@pytest.mark.parametrize("words", RIGHT)
def test_a_device_file_is_right(velk, monkeypatch, run, words):
    code, _, err = check(velk, monkeypatch, run, *words)
    assert code == 0, err
    assert "mismatch" not in err
    assert err.count("stamp ok: ") == sum(w.startswith("--stamp") for w in words) + (
        2 if "--manifest" in words else 0)
    if "--manifest" in words:
        assert "SHA-256 ok: the file is fw_100" in err
    if "--elf" in words and "--ncrc_value=crc-32/iso-hdlc" not in words:
        assert "the file is fw.elf, with its device's values\n" in err


@pytest.fixture
def spoiled(run, tmp_path):
    """A copy of the run's folder to spoil a device's file in."""
    for p in run.iterdir():
        (tmp_path / p.name).write_bytes(p.read_bytes())
    return tmp_path


FLIPS = [
    pytest.param(SERIAL + 1, "stamp mismatch at 0x08000080 (serial_no)", id="in-a-stamp"),
    pytest.param(MAC + 5, "stamp mismatch at 0x08000090 (mac_addr)", id="in-the-mac"),
    pytest.param(CRC, "record mismatch at 0x080000FC (crc_value)", id="in-a-record"),
    pytest.param(0x10, "SHA-256 mismatch: the file's SHA-256 is", id="elsewhere"),
]


@pytest.mark.parametrize("offset, named", FLIPS)
def test_a_flipped_byte_names_its_place(velk, monkeypatch, spoiled, offset, named):
    flip_hex_byte(spoiled / "fw_1000_CRC.hex", LOAD + offset)
    code, _, err = check(velk, monkeypatch, spoiled, "fw_1000_CRC.hex", "--manifest",
                         "manifest.json")
    assert code == 1, err
    assert named in err
    # Only the place flipped is wrong; the file's SHA-256 always is.
    assert err.count("mismatch") == (1 if offset == 0x10 else 2)


@pytest.mark.parametrize("words, line", [
    pytest.param(["--stamp", "serial_no=1001", "--elf", "fw.elf", "--stamp",
                  "mac_addr=02:00:00:00:00:01", "--ncrc_value=crc-32/iso-hdlc"],
                 "stamp mismatch at 0x08000080 (serial_no): the file holds e8030000, "
                 "not 1001 (e9030000)", id="another-devices-serial"),
    pytest.param(["--stamp", "0x08000090:6=02:00:00:00:00:02"],
                 "stamp mismatch at 0x08000090 (0x08000090:6): the file holds "
                 "020000000001, not 02:00:00:00:00:02 (020000000002)", id="another-mac"),
    pytest.param(["--stamp", "0x08001000:4=1000"],
                 "stamp mismatch at 0x08001000 (0x08001000:4): the file holds no bytes there for 1000 (e8030000)",
                 id="a-place-the-file-lacks"),
    pytest.param(["--stamp", "0x080000FE:4=1000"],
                 "stamp mismatch at 0x080000FE (0x080000FE:4): the file holds 2 of its 4 bytes "
                 "for 1000 (e8030000)",
                 id="a-place-past-the-end"),
])
def test_a_wrong_value_is_a_mismatch(velk, monkeypatch, run, words, line):
    code, _, err = check(velk, monkeypatch, run, "fw_1000_CRC.hex", *words)
    assert code == 1, err
    assert line in err.splitlines()


@pytest.mark.parametrize("words, message", [
    pytest.param(["fw_1000_CRC.hex", "--stamp", "serial_no=1000"],
                 "serial_no is a symbol: give the build with --elf <file>", id="symbol-alone"),
    pytest.param(["fw_1000_CRC.hex", "--stamp", "0x08000080:4"], "no value after the place",
                 id="no-value"),
    pytest.param(["fw_1000_CRC.hex", "--stamp", "0x08000080=1000"],
                 "is neither a symbol nor 0x<address>:<size>", id="no-size"),
    pytest.param(["fw_1000_CRC.hex", "--stamp", "0x08000080:0x10000000=1"],
                 "a device's value is at most", id="a-place-too-wide"),
    pytest.param(["fw_1000_CRC.hex", "--stamp", "0x08000080:2=1000000"],
                 "1000000 does not fit the place's 2 bytes", id="a-value-too-wide"),
    pytest.param(["fw_1000_CRC.hex", "--stamp", "nothing_here=1", "--elf", "fw.elf"],
                 "nothing_here", id="no-such-symbol"),
])
def test_a_place_that_cannot_be_found_is_refused(velk, monkeypatch, run, words, message):
    code, _, err = check(velk, monkeypatch, run, *words)
    assert code == 2, err
    assert message in err
    assert len(err.strip().splitlines()) == 1


def test_a_stamp_left_out_is_named_both_ways(velk, monkeypatch, run):
    """The station names the serial but not the MAC: the MAC's placeholder
    holds a value, and the line says it may be a stamp as well as a record."""
    code, _, err = check(velk, monkeypatch, run, "fw_1000_CRC.hex", "--stamp", "serial_no=1000",
                         "--elf", "fw.elf", "--ncrc_value=crc-32/iso-hdlc")
    assert code == 2
    assert err == ("error: fw_1000_CRC.hex: the file differs from fw.elf only in mac_addr "
                   "(0x08000090, 6 bytes), a placeholder the build reserved, which holds a "
                   "value here: a record FLASH stored or a place it stamped that no word "
                   "names; add --nmac_addr=<algorithm> to check it as a record, or --stamp "
                   "mac_addr=<value> as a stamp\n")
    with pytest.raises(velk_crc.CannotVerify,
                       match=r'to check it as a record, or stamp=\[\("mac_addr", "<value>"\)\] '
                             r'as a stamp$'):
        velk_crc.check(run / "fw_1000_CRC.hex", stamp=[("serial_no", "1000")],
                       elf=run / "fw.elf", symbol="crc_value", crc="crc-32/iso-hdlc")


def test_a_file_the_manifest_lacks_cannot_be_verified(velk, monkeypatch, spoiled):
    (spoiled / "fw_1002_CRC.hex").write_bytes((spoiled / "fw_1000_CRC.hex").read_bytes())
    code, _, err = check(velk, monkeypatch, spoiled, "fw_1002_CRC.hex", "--manifest",
                         "manifest.json")
    assert code == 2
    assert err.strip() == ("error: fw_1002_CRC.hex: no device's files in manifest.json "
                           "include fw_1002_CRC.hex: it cannot be verified against that "
                           "manifest")
    with pytest.raises(velk_crc.CannotVerify, match="no device's files in"):
        velk_crc.check(spoiled / "fw_1002_CRC.hex", manifest=spoiled / "manifest.json")


def test_json_gives_each_place(velk, monkeypatch, run):
    code, out, err = check(velk, monkeypatch, run, "fw_1001_CRC.hex", "--stamp",
                           "0x08000080:4=1000", "--manifest", "manifest.json", "--json")
    assert code == 1, err
    data = json.loads(out)
    serial = struct.pack("<I", 1001).hex()
    assert data["stamps"][0] == {"place": "0x08000080:4", "address": LOAD + SERIAL,
                                 "value": "1000", "expected": struct.pack("<I", 1000).hex(),
                                 "found": serial, "ok": False}
    assert data["stamps"][1]["ok"] and data["stamps"][1]["found"] == serial
    manifest = data["manifest"]
    digest = hashlib.sha256((run / "fw_1001_CRC.hex").read_bytes()).hexdigest()
    assert manifest["id"] == "1001" and manifest["index"] == 1
    assert manifest["sha256"] == {"expected": digest, "found": digest, "ok": True}
    assert [r["ok"] for r in manifest["records"]] == [True]


def test_the_api_takes_stamps_and_a_manifest(run):
    report = velk_crc.check(run / "fw_1000_CRC.hex", stamp=[("serial_no", "1000")],
                            manifest=run / "manifest.json")
    assert report.ok
    assert [s["place"] for s in report.stamps] == ["serial_no", "serial_no", "mac_addr"]
    assert report.manifest["sha256"]["ok"]
    report = velk_crc.check(run / "fw_1000_CRC.hex", stamp=("0x08000080:4", "1001"))
    assert report.verdict == "mismatch"
    with pytest.raises(TypeError, match="stamp"):
        velk_crc.check(run / "fw_1000_CRC.hex", stamp=["serial_no=1000"])


def test_escapes_in_the_manifest_are_read(velk, monkeypatch, spoiled):
    """A manifest is JSON: a file's name and a device's id may be written with
    escapes, surrogate pairs among them."""
    text = (spoiled / "manifest.json").read_text()
    text = text.replace('"fw_1000_CRC.hex"', r'"fw_1000_CRC\u002e\u0068ex"')
    text = text.replace('"id": "1000"', r'"id": "1000-\u00e9\ud83d\ude00\"\\\/"')
    (spoiled / "manifest.json").write_text(text)
    code, out, err = check(velk, monkeypatch, spoiled, "fw_1000_CRC.hex", "--manifest",
                           "manifest.json", "--json")
    assert code == 0, err
    assert json.loads(out)["manifest"]["id"] == "1000-\u00e9\U0001F600\"\\/"


def damaged_manifests():
    good = json.dumps({"devices": [{"id": "1", "index": 0, "stamps": [], "records": [],
                                    "files": [{"name": "fw_1000_CRC.hex",
                                               "sha256": "0" * 64}]}]}).encode()
    cases = [pytest.param(good[:n], id=f"cut-at-{n}")
             for n in (0, 1, 2, 15, len(good) // 2, len(good) - 1)]
    rng = random.Random(38)
    cases += [pytest.param(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64))),
                           id=f"random-{k}") for k in range(6)]
    for k in range(6):
        flipped = bytearray(good)
        flipped[rng.randrange(len(good))] = rng.choice(b'{}[]",:\\x0-e')
        cases.append(pytest.param(bytes(flipped), id=f"flipped-{k}"))
    cases += [
        pytest.param(b"[" * 100000, id="nested-deep"),
        pytest.param(b'{"devices": "\\ud83d\\uzzzz"}', id="bad-escape"),
        pytest.param(b'{"devices": [1, 2,]}', id="trailing-comma"),
        pytest.param(b'{"devices": [-]}', id="minus-alone"),
        pytest.param(b'{"devices": [01]}', id="leading-zero"),
        pytest.param(b'{"devices": [{"id": 5}]}', id="id-not-text"),
        pytest.param(b'{"devices": [{"id": "1", "index": -1}]}', id="negative-index"),
        pytest.param(b'{"devices": []} x', id="text-after"),
        pytest.param(b'{"devices": [{"id": "1", "index": 0, "records": [], "files": [], '
                     b'"stamps": [{"place": "p", "address": 18446744073709551615, '
                     b'"value": "1", "bytes": "0102"}]}]}', id="bytes-past-64-bits"),
        pytest.param(b'{"devices": [{"id": "1", "index": 18446744073709551616}]}',
                     id="index-past-64-bits"),
        pytest.param(b'{"devices": [{"id": "1", "index": 1.5}]}', id="index-a-fraction"),
        pytest.param(b'{"devices": [{"id": "1", "index": 1e2}]}', id="index-an-exponent"),
        pytest.param(b'"\x01"', id="control-character"),
    ]
    return cases


@pytest.mark.parametrize("text", damaged_manifests())
def test_a_damaged_manifest_is_one_line(velk, monkeypatch, spoiled, text):
    (spoiled / "manifest.json").write_bytes(text)
    code, out, err = check(velk, monkeypatch, spoiled, "fw_1000_CRC.hex", "--manifest",
                           "manifest.json")
    assert code in (1, 2), err
    lines = err.strip().splitlines()
    if code == 2:
        assert len(lines) == 1 and lines[0].startswith("error: fw_1000_CRC.hex: ")
        assert "manifest.json" in lines[0]
    assert "Traceback" not in err


# FLASH --stamp's own device files, each checked as the station checks it.

FORMATS = ["hex", "bin", "elf"]
SERIALS = (2000, 2001, 2002)


@pytest.fixture(scope="module")
def flashed(run, tmp_path_factory):
    """A run of FLASH --stamp over the test's build: three devices, every format."""
    folder = tmp_path_factory.mktemp("flashed")
    (folder / "fw.elf").write_bytes((run / "fw.elf").read_bytes())
    code, out, err = captured(velk_crc.main, [
        "FLASH", str(folder / "fw.elf"), "--ncrc_value=crc-32/iso-hdlc", "--bin",
        "--stamp", "serial_no=serial:2000..2002", "--stamp", "mac_addr=mac:02:00:00:00:00:10",
        "--out", str(folder / "devices")])
    assert code == 0, out + err
    return folder


def device_words(serial, index):
    return ["--stamp", f"serial_no={serial}", "--stamp", f"mac_addr=02:00:00:00:00:{16 + index:02x}"]


@pytest.mark.parametrize("ext", FORMATS)
def test_every_device_file_flash_wrote_is_right(velk, monkeypatch, flashed, ext):
    devices = flashed / "devices"
    base = ["--base", "0x08000000"] if ext == "bin" else []
    for index, serial in enumerate(SERIALS):
        name = f"fw_{serial}_CRC.{ext}"
        # The bytes FLASH stamped, read by the test: the serial, the MAC, and
        # zlib's CRC-32 over what precedes the slot.
        if ext == "bin":
            img = (devices / name).read_bytes()
            assert img[SERIAL:SERIAL + 4] == struct.pack("<I", serial)
            assert img[MAC:MAC + 6] == bytes([2, 0, 0, 0, 0, 16 + index])
            assert img[CRC:CRC + 4] == struct.pack("<I", zlib.crc32(img[:CRC]))
        for words in (device_words(serial, index) + ["--elf", "../fw.elf",
                                                     "--ncrc_value=crc-32/iso-hdlc"],
                      ["--manifest", "manifest.json"] + base,
                      device_words(serial, index) + ["--manifest", "manifest.json"] + base):
            code, _, err = check(velk, monkeypatch, devices, name, *words)
            assert code == 0, err
            assert "mismatch" not in err
        report = velk_crc.check(devices / name, manifest=devices / "manifest.json",
                                stamp=[("serial_no", str(serial))],
                                base=0x08000000 if ext == "bin" else None)
        assert report.ok and report.manifest["id"] == str(serial)


@pytest.mark.parametrize("offset, named", FLIPS)
def test_a_flipped_byte_in_flashs_file_names_its_place(velk, monkeypatch, flashed, tmp_path,
                                                       offset, named):
    for p in (flashed / "devices").iterdir():
        (tmp_path / p.name).write_bytes(p.read_bytes())
    flip_hex_byte(tmp_path / "fw_2001_CRC.hex", LOAD + offset)
    code, _, err = check(velk, monkeypatch, tmp_path, "fw_2001_CRC.hex", "--manifest",
                         "manifest.json")
    assert code == 1, err
    assert named in err
    # Without the manifest: the stamp's line, the checksum's, or the build's
    # byte that differs.
    words = device_words(2001, 1) + ["--elf", str(flashed / "fw.elf"),
                                     "--ncrc_value=crc-32/iso-hdlc"]
    code, _, err = check(velk, monkeypatch, tmp_path, "fw_2001_CRC.hex", *words)
    assert code == 1, err
    at = {SERIAL + 1: named, MAC + 5: named, CRC: "checksum mismatch at 0x080000FC",
          0x10: "content mismatch at 0x08000010"}[offset]
    assert at in err


# A signed image per device: imgtool verifies each, and CHECK --mcuboot with
# the device's stamp and with the manifest finds each right.

IMGTOOL = shutil.which("imgtool", path=sysconfig.get_path("scripts")) or shutil.which("imgtool")
APP, ROOM = 0x08004000, 0x200


@pytest.fixture(scope="module")
def signed(tmp_path_factory):
    if IMGTOOL is None:
        pytest.skip("imgtool is a test dependency")
    folder = tmp_path_factory.mktemp("signed")
    key = folder / "ed.pem"
    subprocess.run([IMGTOOL, "keygen", "-k", key, "-t", "ed25519"], check=True)
    body = bytearray(ROOM) + bytearray((i * 7 + 3) & 0xFF for i in range(0x200))
    body[ROOM + SERIAL:ROOM + SERIAL + 4] = b"\xff" * 4
    body[-4:] = b"\xff" * 4
    elf = Elf(segments=[Segment(APP, bytes(body), section=".text")],
              symbols=[("serial_no", APP + ROOM + SERIAL, 4, STT_OBJECT),
                       ("crc_value", APP + len(body) - 4, 4, STT_OBJECT)],
              entry=APP + ROOM + 1)
    (folder / "app.elf").write_bytes(elf.build())
    code, out, err = captured(velk_crc.main, [
        "FLASH", str(folder / "app.elf"), f"--ncrc_value@0x{APP + ROOM:08X}", "--bin",
        "--mcuboot", f"key={key},header=0x200", "--stamp", "serial_no=serial:1..3",
        "--out", str(folder / "devices")])
    assert code == 0, out + err
    return folder


@pytest.mark.parametrize("serial", [1, 2, 3])
def test_each_signed_device_verifies(velk, monkeypatch, signed, serial):
    devices = signed / "devices"
    done = subprocess.run([IMGTOOL, "verify", "-k", signed / "ed.pem",
                           devices / f"app_{serial}_CRC.bin"], capture_output=True, text=True)
    assert done.returncode == 0 and "Image was correctly validated" in done.stdout, done
    mcuboot = ["--mcuboot", f"key={signed / 'ed.pem'}"]
    for words in (["--manifest", "manifest.json"],
                  ["--stamp", f"serial_no={serial}", "--elf", "../app.elf",
                   f"--ncrc_value@0x{APP + ROOM:08X}"]):
        code, _, err = check(velk, monkeypatch, devices, f"app_{serial}_CRC.hex", *mcuboot,
                             *words)
        assert code == 0, err
        assert re.search(r"MCUboot signature: ed25519 \(TLV 0x24\) by \S*ed\.pem, ok", err)
    # Another device's value: the stamp is wrong, the signature still the file's.
    code, _, err = check(velk, monkeypatch, devices, f"app_{serial}_CRC.hex", *mcuboot,
                         "--stamp", f"0x{APP + ROOM + SERIAL:08X}:4={serial % 3 + 1}")
    assert code == 1, err
    assert f"stamp mismatch at 0x{APP + ROOM + SERIAL:08X}" in err
