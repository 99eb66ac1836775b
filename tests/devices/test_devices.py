"""FLASH with --stamp: one complete set of files per device, each device's
values stamped into the build's image and every record computed again over
that device's bytes. Checked against srec_cat stamping the same value and
computing the CRC-32 itself, CRCs worked out here from the catalogue's
parameters, imgtool's verify of each signed device, our own CHECK, and the
files' own SHA-256."""

import csv
import hashlib
import json
import os
import shutil
import struct
import subprocess
import zlib

import pytest

from conftest import installed, linux_only, run_command, velk_command
from crcref import CATALOGUE, crc
from elfwriter import Elf, Segment
from hexcheck import read_hex
from stamped_build import link

FLASH_START = 0x08000000
DEVICES = 100

FIRMWARE = r"""
#include <stdint.h>
void reset(void) { for (;;) ; }
__attribute__((section(".vectors"), used))
const uint32_t vectors[2] = {0x20001000u, (uint32_t)&reset};
__attribute__((used)) const uint32_t serial_no = 0xFFFFFFFFu;
__attribute__((used)) const uint8_t mac_addr[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
__attribute__((used)) const uint32_t in_use = 0x12345678u;
__attribute__((used)) const uint8_t table[200] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
__attribute__((section(".crc_value"), used)) const uint32_t crc_value = 0xFFFFFFFFu;
"""


@pytest.fixture(scope="module")
def fw(tmp_path_factory):
    """The build, linked once by the ARM GNU toolchain, its symbols and the
    image objcopy takes from it."""
    folder = tmp_path_factory.mktemp("devices-build")
    elf, found = link(folder, FIRMWARE)
    base = folder / "base.hex"
    subprocess.run([installed("arm-none-eabi-objcopy"), "-O", "ihex", str(elf), str(base)],
                   check=True)
    return {"elf": elf, "base": base, "symbols": found}


def flash_devices(fw, folder, *words, cwd=None):
    return run_command("FLASH", fw["elf"], "--out", folder, *words, cwd=cwd)


def loaded(path, start, end):
    memory = read_hex(path).memory
    return bytes(memory.get(a, 0xFF) for a in range(start, end))


def test_each_device_matches_srec_cat(fw, tmp_path):
    """Every device's HEX holds what srec_cat makes of the build with that
    serial stamped in and the CRC-32 computed over the filled image."""
    srec_cat = installed("srec_cat")
    out = tmp_path / "out"
    done = flash_devices(fw, out, "--ncrc_value=crc-32/iso-hdlc",
                         "--stamp", f"serial_no=serial:1000..{1000 + DEVICES - 1}")
    assert done.returncode == 0, done.stderr
    serial, _ = fw["symbols"]["serial_no"]
    slot, _ = fw["symbols"]["crc_value"]
    for n in range(DEVICES):
        theirs = tmp_path / f"srec_{n}.hex"
        subprocess.run([srec_cat, "(", "(", str(fw["base"]), "-intel",
                        "-exclude", hex(serial), hex(serial + 4),
                        "-exclude", hex(slot), hex(slot + 4), ")",
                        "-generate", hex(serial), hex(serial + 4),
                        "-constant-l-e", str(1000 + n), "4", ")",
                        "-fill", "0xFF", hex(FLASH_START), hex(slot),
                        "-crc32-l-e", hex(slot), "-o", str(theirs), "-intel"],
                       check=True, capture_output=True)
        mine = read_hex(out / f"fw_{1000 + n}_CRC.hex").memory
        assert mine == read_hex(theirs).memory, f"device {1000 + n}"


@pytest.mark.parametrize("algorithm", ["CRC-32/MPEG-2", "CRC-32/BZIP2", "CRC-32/ISCSI"],
                         ids=["mpeg2", "bzip2", "iscsi"])
def test_other_algorithms_per_device(fw, tmp_path, algorithm):
    out = tmp_path / "out"
    done = flash_devices(fw, out, f"--ncrc_value={algorithm}", "--bin",
                         "--stamp", "serial_no=serial:0x00A0..0x00A3",
                         "--stamp", "mac_addr=mac:02:00:00:00:00:FE")
    assert done.returncode == 0, done.stderr
    serial, _ = fw["symbols"]["serial_no"]
    mac, _ = fw["symbols"]["mac_addr"]
    slot, _ = fw["symbols"]["crc_value"]
    params = CATALOGUE[algorithm]
    width = (params.width + 7) // 8
    for n in range(4):
        image = (out / f"fw_0x{0xA0 + n:04X}_CRC.bin").read_bytes()
        assert struct.unpack_from("<I", image, serial - FLASH_START)[0] == 0xA0 + n
        # Counting up carries into the next byte, stored in printed order.
        assert image[mac - FLASH_START:mac - FLASH_START + 6] == \
            (0x0200000000FE + n).to_bytes(6, "big")
        stored = int.from_bytes(image[slot - FLASH_START:slot - FLASH_START + width], "little")
        assert stored == crc(params, image[:slot - FLASH_START]), f"device {n}"


def test_files_pass_check_and_manifest_holds_them(fw, tmp_path):
    """Each device's files pass our CHECK; the manifest, its CSV and the
    --json stream name every file with the SHA-256 of its bytes."""
    out = tmp_path / "out"
    done = flash_devices(fw, out, "--ncrc_value", "--bin", "--srec", "--json",
                         "--stamp", "serial_no=serial:7..11")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    streamed = [json.loads(line) for line in lines[:-1]]
    summary = json.loads(lines[-1])
    assert summary["verdict"] == "written"
    assert summary["devices"]["count"] == 5 and summary["devices"]["made"] == 5
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["devices"] == streamed
    assert manifest["input_sha256"] == hashlib.sha256(fw["elf"].read_bytes()).hexdigest()
    slot, _ = fw["symbols"]["crc_value"]
    with open(out / "manifest.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [row["id"] for row in rows] == ["7", "8", "9", "10", "11"]
    for entry, row in zip(manifest["devices"], rows):
        assert {f["name"][len(f"fw_{entry['id']}"):] for f in entry["files"]} == \
            {"_CRC.hex", "_CRC.elf", "_CRC.bin", "_CRC.srec"}
        for f in entry["files"]:
            digest = hashlib.sha256((out / f["name"]).read_bytes()).hexdigest()
            assert f["sha256"] == digest
            assert row[f["name"][len(f"fw_{entry['id']}"):]] == digest
        [record] = entry["records"]
        image = (out / f"fw_{entry['id']}_CRC.bin").read_bytes()
        assert bytes.fromhex(record["bytes"]) == image[slot - FLASH_START:slot - FLASH_START + 4]
        assert entry["stamps"][0]["bytes"] == struct.pack("<I", int(entry["id"])).hex()
        checked = run_command("CHECK", out / f"fw_{entry['id']}_CRC.elf", "--ncrc_value")
        assert checked.returncode == 0, checked.stdout + checked.stderr
        checked = run_command("CHECK", out / f"fw_{entry['id']}_CRC.hex",
                              f"--a{slot - FLASH_START:#x}")
        assert checked.returncode == 0, checked.stdout + checked.stderr
        # At the station: the device's value named, or its manifest entry.
        for words in (["--stamp", f"serial_no={entry['id']}", "--elf", fw["elf"],
                       "--ncrc_value"],
                      ["--manifest", out / "manifest.json"]):
            for ending in ("_CRC.hex", "_CRC.bin", "_CRC.srec"):
                based = ["--base", hex(FLASH_START)] if ending == "_CRC.bin" else []
                checked = run_command("CHECK", out / f"fw_{entry['id']}{ending}", *words,
                                      *based)
                assert checked.returncode == 0, checked.stdout + checked.stderr


REFUSED = [
    ("no-out", ["--stamp", "serial_no=serial:1..3"], "--out"),
    ("out-alone", ["--out", "{out}"], "--stamp"),
    ("count-alone", ["--count", "3"], "--stamp"),
    ("resume-alone", ["--resume"], "--stamp"),
    ("on-record", ["--out", "{out}", "--stamp", "crc_value=serial:1..3"], "crc_value"),
    ("on-data", ["--out", "{out}", "--stamp", "in_use=serial:1..3"], "78 56 34 12"),
    ("outside", ["--out", "{out}", "--stamp", "0x20000000:4=serial:1..3"], "outside"),
    ("overlap", ["--out", "{out}", "--stamp", "serial_no=serial:1..3",
                 "--stamp", "0x{serial_less_2}:4=serial:5..7"], "overlaps the stamp"),
    ("two-step", ["--out", "{out}", "--stamp", "serial_no=serial:1..3",
                  "--mcuboot", "key=k.pem,sign=digest"], "two steps"),
    ("no-symbol", ["--out", "{out}", "--stamp", "no_such=serial:1..3"], "no_such"),
]


@pytest.mark.parametrize("words,said", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_refused_before_anything_is_written(fw, tmp_path, words, said):
    out = tmp_path / "out"
    serial, _ = fw["symbols"]["serial_no"]
    words = [w.format(out=out, serial_less_2=f"{serial - 2:08X}") for w in words]
    done = run_command("FLASH", fw["elf"], "--ncrc_value", *words, cwd=tmp_path)
    assert done.returncode == 255
    assert len(done.stderr.splitlines()) == 1 and "Traceback" not in done.stderr
    assert said in done.stderr
    assert not out.exists()
    assert sorted(os.listdir(tmp_path)) == []


def test_data_in_a_place_is_written_with_force(fw, tmp_path):
    done = flash_devices(fw, tmp_path / "out", "--ncrc_value", "--force",
                         "--stamp", "in_use=serial:1..2")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "out" / "fw_2_CRC.hex").exists()


def test_existing_files_refused_without_force(fw, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "fw_2_CRC.hex").write_text("earlier\n")
    (out / "fw_3_CRC.elf").write_text("earlier\n")
    done = flash_devices(fw, out, "--ncrc_value", "--stamp", "serial_no=serial:1..3")
    assert done.returncode == 255
    assert len(done.stderr.splitlines()) == 1
    assert "fw_2_CRC.hex" in done.stderr and "1 more" in done.stderr
    assert sorted(os.listdir(out)) == ["fw_2_CRC.hex", "fw_3_CRC.elf"]
    assert (out / "fw_2_CRC.hex").read_text() == "earlier\n"
    done = flash_devices(fw, out, "--ncrc_value", "--force",
                         "--stamp", "serial_no=serial:1..3")
    assert done.returncode == 0, done.stderr
    assert (out / "fw_2_CRC.hex").read_text().startswith(":")


def test_forced_run_takes_away_the_formats_it_no_longer_writes(fw, tmp_path):
    """As FLASH does beside the build: a device's .bin from an earlier run
    with --bin, left beside this run's files, would be flashed with the
    earlier image."""
    out = tmp_path / "out"
    done = flash_devices(fw, out, "--ncrc_value", "--bin", "--stamp", "serial_no=serial:1..3")
    assert done.returncode == 0, done.stderr
    done = flash_devices(fw, out, "--ncrc_value", "--force", "--stamp", "serial_no=serial:1..3")
    assert done.returncode == 0, done.stderr
    with open(out / "manifest.json") as f:
        named = {w["name"] for d in json.load(f)["devices"] for w in d["files"]}
    assert named == {f"fw_{n}_CRC{e}" for n in (1, 2, 3) for e in (".elf", ".hex")}
    assert set(os.listdir(out)) == named | {"manifest.json", "manifest.csv", "manifest.state"}


def test_api_writes_the_same_files(fw, tmp_path):
    import velk_crc as velk
    cli, api = tmp_path / "cli", tmp_path / "api"
    done = flash_devices(fw, cli, "--ncrc_value", "--bin", "--stamp", "serial_no=serial:1..4",
                         "--stamp", "mac_addr=mac:02:00:00:00:00:01")
    assert done.returncode == 0, done.stderr
    report = velk.flash(str(fw["elf"]), symbol="crc_value", bin=True, out=str(api),
                        stamp=[("serial_no", "serial:1..4"),
                               ("mac_addr", "mac:02:00:00:00:00:01")])
    assert report.verdict == "written"
    assert report.devices["count"] == 4 and report.devices["folder"] == str(api)
    names = sorted(n for n in os.listdir(cli) if n.startswith("fw_"))
    assert names == sorted(n for n in os.listdir(api) if n.startswith("fw_"))
    assert len(names) == 12
    for name in names:
        assert (cli / name).read_bytes() == (api / name).read_bytes(), name


# A signed image: the slot's header room, then the application with its
# serial's placeholder and its CRC in the payload's last word.
SLOT, HEADER, BODY = 0x08020000, 0x200, 0x400


def private_key(kind):
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa
    if kind == "ecdsa-p256":
        return ec.generate_private_key(ec.SECP256R1())
    if kind == "rsa-2048":
        return rsa.generate_private_key(public_exponent=65537, key_size=2048)
    return ed25519.Ed25519PrivateKey.generate()


# Each key type MCUboot signs with: an ECDSA signature's length varies with
# its value, so one device's TLVs need not be the next one's size.
@pytest.fixture(scope="module", params=["ed25519", "ecdsa-p256", "rsa-2048"])
def signed_build(tmp_path_factory, request):
    from cryptography.hazmat.primitives import serialization
    folder = tmp_path_factory.mktemp("devices-signed")
    key = folder / "key.pem"
    key.write_bytes(private_key(request.param).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    code = SLOT + HEADER
    body = bytearray((i * 7 + 3) & 0xFF for i in range(BODY))
    struct.pack_into("<II", body, 0, 0x20002000, code + 0x41)
    body[0x100:0x104] = b"\xff" * 4        # serial_no
    body[BODY - 4:] = b"\xff" * 4           # crc_slot
    elf = folder / "app.elf"
    elf.write_bytes(Elf(segments=[Segment(SLOT, bytes(HEADER) + bytes(body),
                                          section=".text")],
                        symbols=[("serial_no", code + 0x100, 4, 1),
                                 ("crc_slot", code + BODY - 4, 4, 1)],
                        entry=code + 0x41).build())
    return {"elf": elf, "key": key}


def test_signed_devices_pass_imgtool_verify(signed_build, tmp_path):
    imgtool = shutil.which("imgtool", path=os.path.dirname(os.sys.executable))
    if imgtool is None:
        pytest.skip("imgtool is not installed (pip install imgtool==2.5.0)")
    out = tmp_path / "out"
    done = run_command("FLASH", signed_build["elf"], "--ncrc_slot", "--bin", "--out", out,
                       "--stamp", "serial_no=serial:500..502", "--mcuboot",
                       f"key={signed_build['key']},header={HEADER:#x}")
    assert done.returncode == 0, done.stderr
    hashes = set()
    for n in (500, 501, 502):
        image = (out / f"fw_{n}_CRC.bin".replace("fw", "app")).read_bytes()
        code = HEADER
        assert struct.unpack_from("<I", image, code + 0x100)[0] == n
        crc_at = code + BODY - 4
        assert struct.unpack_from("<I", image, crc_at)[0] == \
            crc(CATALOGUE["CRC-32/MPEG-2"], image[:crc_at])
        verified = subprocess.run([imgtool, "verify", "-k", str(signed_build["key"]),
                                   str(out / f"app_{n}_CRC.bin")],
                                  capture_output=True, text=True, timeout=120)
        assert "Image was correctly validated" in verified.stdout, verified.stdout
        checked = run_command("CHECK", out / f"app_{n}_CRC.hex", "--manifest",
                              out / "manifest.json", "--mcuboot", f"key={signed_build['key']}")
        assert checked.returncode == 0, checked.stdout + checked.stderr
        hashes.add(image[HEADER + BODY:])
    assert len(hashes) == 3  # each device's own hash and signature


def test_stamp_in_signed_header_refused(signed_build, tmp_path):
    done = run_command("FLASH", signed_build["elf"], "--ncrc_slot", "--out", tmp_path / "out",
                       "--stamp", f"{SLOT + 0x10:#x}:4=serial:1..2", "--mcuboot",
                       f"key={signed_build['key']},header={HEADER:#x}")
    assert done.returncode == 255, done.stderr
    assert "MCUboot image's header" in done.stderr
    assert not (tmp_path / "out").exists()


def test_merged_files_per_device(fw, tmp_path):
    """Each device's merged HEX holds the other file's bytes beside that
    device's own image, the file read once for all."""
    extra = tmp_path / "config.hex"
    payload = bytes(range(16))
    record = bytes([16, 0x00, 0x00, 0]) + payload
    lines = [":020000040801F1",
             ":" + (record + bytes([(-sum(record)) & 0xFF])).hex().upper(),
             ":00000001FF"]
    extra.write_text("\n".join(lines) + "\n")
    out = tmp_path / "out"
    done = flash_devices(fw, out, "--ncrc_value", "--merge", extra,
                         "--stamp", "serial_no=serial:40..42")
    assert done.returncode == 0, done.stderr
    serial, _ = fw["symbols"]["serial_no"]
    for n in (40, 41, 42):
        own = read_hex(out / f"fw_{n}_CRC.hex").memory
        merged = read_hex(out / f"fw_{n}_CRC_merged.hex").memory
        assert bytes(merged[0x08010000 + i] for i in range(16)) == payload
        assert all(merged[a] == b for a, b in own.items())
        assert bytes(merged[serial + i] for i in range(4)) == struct.pack("<I", n)


@linux_only("syncfs(2), counted by strace")
def test_a_batch_is_synced_once_not_file_by_file(fw, tmp_path):
    """40 devices are two batches: two syncs of the file system, and far
    fewer fsync calls than the 80 files (the folder's and the ledger's)."""
    strace = installed("strace")
    log = tmp_path / "calls.log"
    done = subprocess.run([strace, "-f", "-qq", "-e", "trace=fsync,syncfs", "-o", str(log),
                           *velk_command("FLASH", fw["elf"], "--ncrc_value", "--out",
                                         tmp_path / "out", "--stamp", "serial_no=serial:1..40")],
                          capture_output=True, text=True, timeout=120)
    if "ptrace" in done.stderr:
        pytest.skip("strace cannot trace here: " + done.stderr.strip())
    assert done.returncode == 0, done.stderr
    calls = log.read_text()
    assert calls.count("syncfs(") == 2
    assert calls.count("fsync(") < 20


API_REFUSED = [
    ("no-out", {"stamp": [("serial_no", "serial:1..3")]}, "out="),
    ("out-alone", {"out": "{out}"}, "stamp="),
    ("resume-alone", {"resume": True}, "stamp="),
    ("on-record", {"out": "{out}", "stamp": ("crc_value", "serial:1..3")}, "crc_value"),
]


@pytest.mark.parametrize("words,said", [r[1:] for r in API_REFUSED],
                         ids=[r[0] for r in API_REFUSED])
def test_api_refusals_write_nothing(fw, tmp_path, words, said):
    import velk_crc
    out = tmp_path / "out"
    words = {k: (v.format(out=out) if isinstance(v, str) else v) for k, v in words.items()}
    with pytest.raises(velk_crc.Refused) as refused:
        velk_crc.flash(str(fw["elf"]), symbol="crc_value", **words)
    assert said in str(refused.value)
    assert not out.exists()


@pytest.mark.parametrize("stamp", [("serial_no",), [("serial_no", 5)], "serial_no=serial:1"],
                         ids=["one-item", "not-text", "command-line-word"])
def test_api_stamp_of_another_type_is_a_type_error(fw, tmp_path, stamp):
    import velk_crc
    with pytest.raises(TypeError, match="stamp"):
        velk_crc.flash(str(fw["elf"]), symbol="crc_value", out=str(tmp_path / "out"),
                       stamp=stamp)
    assert not (tmp_path / "out").exists()


def test_stamp_on_an_image_header_field_refused(tmp_path):
    """The header's crc field is computed over each device's bytes: no
    stamp may take it, even with --force."""
    elf = os.path.join(os.path.dirname(os.path.dirname(__file__)), "data",
                       "fw_header_crc32.elf")
    done = run_command("FLASH", elf, "--header", "app_header:size@8,crc@12,hcrc@16", "--crc",
                       "CRC-32/ISO-HDLC", "--force", "--out", tmp_path / "out",
                       "--stamp", "0x0800004C:4=serial:1..3")
    assert done.returncode == 255
    assert "overlaps app_header.crc" in done.stderr and len(done.stderr.splitlines()) == 1
    assert not (tmp_path / "out").exists()


def test_a_symbol_of_no_size_is_refused(tmp_path):
    """A label the symbol table gives no size has no width to stamp."""
    data = bytearray(b"\xff" * 64)
    elf = tmp_path / "label.elf"
    elf.write_bytes(Elf(segments=[Segment(FLASH_START, bytes(data), section=".text")],
                        symbols=[("serial_label", FLASH_START + 8, 0, 1),
                                 ("crc_value", FLASH_START + 60, 4, 1)],
                        entry=FLASH_START + 1).build())
    done = run_command("FLASH", elf, "--ncrc_value", "--out", tmp_path / "out",
                       "--stamp", "serial_label=serial:1..2")
    assert done.returncode == 255
    assert "serial_label" in done.stderr and "no size" in done.stderr
    assert len(done.stderr.splitlines()) == 1
    assert not (tmp_path / "out").exists()
