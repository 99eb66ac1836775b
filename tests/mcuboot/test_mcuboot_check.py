"""CHECK of signed MCUboot images, against images imgtool signs: every
header field, TLV, hash, signature, trailer and payload byte tampered with
is named; every format; the key that signed accepted and another refused."""

import json
import os
import re
import shutil
import struct
import subprocess
import sysconfig

import pytest
from cryptography.hazmat.primitives import serialization
from intelhex import IntelHex

import velk_crc
from conftest import DATA, run_cli, run_command
from elfwriter import Elf, Segment
from hexcheck import flip_hex_byte, read_hex
from test_merge_boot import write_uf2

LOAD = 0x08000000
HEADER = 0x200
SLOT = 0x2000
IMGTOOL = shutil.which("imgtool", path=sysconfig.get_path("scripts")) or shutil.which("imgtool")
pytestmark = pytest.mark.skipif(IMGTOOL is None, reason="imgtool is a test dependency")


def imgtool(*words):
    subprocess.run([IMGTOOL, *map(str, words)], check=True, capture_output=True)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    made = {}
    for name, kind in [("ed25519", "ed25519"), ("ecdsa", "ecdsa-p256"), ("rsa", "rsa-2048"),
                       ("other", "ed25519")]:
        made[name] = folder / f"{name}.pem"
        imgtool("keygen", "-k", made[name], "-t", kind)
    return made


def payload():
    """A vector table's first words, then bytes no two places share."""
    return struct.pack("<II", 0x20004000, LOAD + HEADER + 0x41) + bytes(
        (i * 7 + 3) & 0xFF for i in range(0x5F8))


def signed(folder, key=None, *extra, name="signed.bin", slot=SLOT):
    src = folder / "app.bin"
    src.write_bytes(payload())
    out = folder / name
    imgtool("sign", "--header-size", hex(HEADER), "--pad-header", "--slot-size", hex(slot),
            "-v", "1.2.3+4", *(["-k", key] if key else []), *extra, src, out)
    return out


def walk(image):
    """(type, offset, length) of every TLV entry, read here from the header's
    sizes: the test's own reading of the structure."""
    hdr_size, protect, img_size = struct.unpack_from("<HHI", image, 8)
    at, found = hdr_size + img_size, []
    for area in range(2 if protect else 1):
        magic, total = struct.unpack_from("<HH", image, at)
        assert magic == (0x6908 if protect and area == 0 else 0x6907)
        end, at = at + total, at + 4
        while at < end:
            kind, _, length = struct.unpack_from("<BBH", image, at)
            found.append((kind, at, length))
            at += 4 + length
    return found


def faults(report):
    return [f["what"] for f in report.mcuboot["faults"]]


# --- the key that signed, and another --------------------------------------

@pytest.mark.parametrize("kind", ["ed25519", "ecdsa", "rsa"])
@pytest.mark.parametrize("extra", [(), ("--pad", "--confirm")], ids=["bare", "confirmed"])
def test_imgtool_image_accepted_with_its_key_refused_with_another(tmp_path, keys, kind, extra):
    image = signed(tmp_path, keys[kind], *extra)
    report = velk_crc.check(image, base=LOAD, mcuboot={"key": keys[kind]})
    assert report.ok and report.mcuboot["signature"] == {
        "type": {"ed25519": "ed25519", "ecdsa": "ecdsa-p256", "rsa": "rsa-2048"}[kind],
        "checked": True, "ok": True}
    other = velk_crc.check(image, base=LOAD, mcuboot={"key": keys["other"]})
    assert not other.ok and other.verdict == "mismatch"
    assert "the key hash TLV (0x01)" in faults(other)
    if kind == "ed25519":
        assert "the ed25519 signature TLV (0x24)" in faults(other)


def test_public_key_alone_verifies(tmp_path, keys):
    public = tmp_path / "public.pem"
    subprocess.run(["openssl", "pkey", "-in", keys["ecdsa"], "-pubout", "-out", public],
                   check=True)
    report = velk_crc.check(signed(tmp_path, keys["ecdsa"]), base=LOAD,
                            mcuboot={"key": public})
    assert report.ok and report.mcuboot["key"]["ok"] is True


@pytest.mark.parametrize("key", [None, "ed25519"], ids=["unsigned", "signed"])
def test_without_a_key_the_signature_is_not_checked(velk, monkeypatch, tmp_path, keys, key):
    image = signed(tmp_path, keys[key] if key else None)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", image, "--base", hex(LOAD), "--mcuboot")
    assert code == 0
    held = "ed25519 (TLV 0x24)" if key else "none (an unsigned image)"
    assert f"MCUboot signature: {held}, not checked: no key" in out
    assert not re.search(r"signature[^\n]*ok", out)
    assert "MCUboot hash: SHA-256 " in out


# --- every byte tampered with in turn --------------------------------------

HEADER_FIELDS = [  # (offsets in the header, the fault that names it)
    ("magic", range(0, 4), "the header's magic"),
    ("load_addr", range(4, 8), "load_addr"),
    ("hdr_size", range(8, 10), "hdr_size"),
    ("protect_tlv_size", range(10, 12), "protect_tlv_size"),
    ("img_size", range(12, 16), "img_size"),
    # Flags and version have no value to compare with: the hash names them.
    ("flags", range(16, 20), "the hash TLV (0x10)"),
    ("version", range(20, 28), "the hash TLV (0x10)"),
    ("pad", range(28, 32), "the header's pad"),
]


@pytest.fixture(scope="module")
def full_image(tmp_path_factory, keys):
    """Confirmed, padded, with a security counter, a dependency and a custom
    TLV."""
    folder = tmp_path_factory.mktemp("full")
    path = signed(folder, keys["ed25519"], "--pad", "--confirm", "-s", "7",
                  "-d", "(1,2.3.4+5)", "--custom-tlv", "0xa0", "0x0102030405")
    return path, path.read_bytes()


def tampered(tmp_path, image, offset):
    data = bytearray(image)
    data[offset] ^= 0xFF
    path = tmp_path / "tampered.bin"
    path.write_bytes(bytes(data))
    return path


def check_all(tmp_path, keys, image, offsets, named):
    for offset in offsets:
        report = velk_crc.check(tampered(tmp_path, image, offset), base=LOAD,
                                mcuboot={"key": keys["ed25519"], "header": HEADER})
        assert report.verdict == "mismatch", hex(offset)
        assert named in faults(report), (hex(offset), faults(report))


@pytest.mark.parametrize("field,offsets,named", HEADER_FIELDS, ids=[f[0] for f in HEADER_FIELDS])
def test_each_header_byte_is_named(tmp_path, keys, full_image, field, offsets, named):
    check_all(tmp_path, keys, full_image[1], offsets, named)


TLV_PARTS = [  # (TLV type, which bytes, the fault that names them)
    (0x10, "value", "the hash TLV (0x10)"),
    (0x01, "value", "the key hash TLV (0x01)"),
    (0x24, "value", "the ed25519 signature TLV (0x24)"),
    # The protected TLVs are hashed: the hash names them.
    (0x50, "value", "the hash TLV (0x10)"),
    (0x40, "value", "the hash TLV (0x10)"),
    (0xA0, "value", "the hash TLV (0x10)"),
    (0x10, "length", "TLV 0x10's length"),
    (0x24, "length", "TLV 0x24's length"),
    (0x50, "length", "TLV 0x50's length"),
    (0x40, "length", "TLV 0x40's length"),
]


@pytest.mark.parametrize("kind,part,named", TLV_PARTS,
                         ids=[f"{t:#04x}-{p}" for t, p, _ in TLV_PARTS])
def test_each_tlv_byte_is_named(tmp_path, keys, full_image, kind, part, named):
    image = full_image[1]
    [(_, at, length)] = [e for e in walk(image) if e[0] == kind]
    offsets = range(at + 4, at + 4 + length) if part == "value" else range(at + 2, at + 3)
    check_all(tmp_path, keys, image, offsets, named)


def test_the_protected_tlvs_are_read_as_held(keys, full_image):
    report = velk_crc.check(full_image[0], base=LOAD, mcuboot={"key": keys["ed25519"]})
    assert report.ok
    held = {(t["type"], t["protected"]): t["value"] for t in report.mcuboot["tlvs"]}
    # Image 1, three pad bytes, then version 2.3.4+5 as major, minor,
    # revision u16, build u32.
    assert held[(0x40, True)] == struct.pack("<B3xBBHI", 1, 2, 3, 4, 5).hex()
    assert held[(0x50, True)] == struct.pack("<I", 7).hex()
    assert held[(0xA0, True)] == "0102030405"


def test_each_info_header_byte_is_named(tmp_path, keys, full_image):
    image = full_image[1]
    protected = HEADER + len(payload())
    unprotected = protected + struct.unpack_from("<H", image, 10)[0]
    for at, area in [(protected, "the protected TLV area's"), (unprotected, "the TLV area's")]:
        check_all(tmp_path, keys, image, range(at, at + 2), area + " info magic")
        check_all(tmp_path, keys, image, range(at + 2, at + 4), area + " total")


@pytest.mark.parametrize("where,named", [
    ("magic", "the trailer's magic"),
    ("image_ok", "image_ok"),
    ("erased", "the slot's erased flash after the TLVs (1 byte)"),
    ("payload", "the hash TLV (0x10)"),
])
def test_each_trailer_and_payload_byte_is_named(tmp_path, keys, full_image, where, named):
    image = full_image[1]
    assert image[SLOT - 24] == 0x01  # imgtool's image_ok, confirmed
    offsets = {"magic": range(SLOT - 16, SLOT), "image_ok": [SLOT - 24],
               "erased": [walk(image)[-1][1] + 4 + walk(image)[-1][2], SLOT - 32, SLOT - 17],
               "payload": [HEADER, HEADER + 0x300, HEADER + len(payload()) - 1]}[where]
    check_all(tmp_path, keys, image, offsets, named)


@pytest.mark.parametrize("align", [1, 16, 32])
def test_a_confirmed_trailer_is_read_for_each_write_size(tmp_path, keys, align):
    slot = 0x4000  # room for the trailer of 32-byte writes
    image = signed(tmp_path, keys["ed25519"], "--confirm", "--align", align,
                   slot=slot).read_bytes()
    # image_ok's unit, max(8, align) bytes, lies before the magic's,
    # max(16, align) bytes, at the slot's end.
    image_ok = slot - max(16, align) - max(8, align)
    assert image[image_ok] == 0x01
    report = velk_crc.check(tmp_path / "signed.bin", base=LOAD,
                            mcuboot={"key": keys["ed25519"]})
    assert report.ok, faults(report)
    assert report.mcuboot["trailer"]["image_ok"] == 0x01
    assert report.mcuboot["parts"][-1] == {"start": LOAD + image_ok, "end": LOAD + slot,
                                           "what": "trailer (image_ok, magic)"}
    check_all(tmp_path, keys, image, [image_ok], "image_ok")


# --- each format ------------------------------------------------------------

def as_format(folder, image, kind):
    """The signed image at LOAD as `kind` (merged: after a bootloader)."""
    memory = {LOAD + i: b for i, b in enumerate(image)}
    if kind == "bin":
        path = folder / "img.bin"
        path.write_bytes(image)
        return path, ["--base", hex(LOAD)]
    if kind == "uf2":
        path = folder / "img.uf2"
        write_uf2(path, memory, 0xE48BFF56)
        return path, []
    hexed = IntelHex()
    if kind == "merged":
        memory = {a + 0x4000: b for a, b in memory.items()}
        memory.update({LOAD + i: (i * 13) & 0xFF for i in range(0x800)})
    for address, byte in memory.items():
        hexed[address] = byte
    path = folder / "img.hex"
    hexed.write_hex_file(str(path))
    if kind == "srec":
        out = folder / "img.srec"
        subprocess.run(["srec_cat", path, "-Intel", "-o", out, "-Motorola"], check=True)
        return out, []
    return path, []


@pytest.mark.parametrize("kind", ["bin", "hex", "srec", "uf2", "merged"])
def test_every_format_checked_and_tampering_named(velk, monkeypatch, tmp_path, keys,
                                                   full_image, kind):
    image = full_image[1]
    path, extra = as_format(tmp_path, image, kind)
    settings = f"key={keys['ed25519']},header=0x200"
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, *extra, "--mcuboot", settings)
    assert code == 0, out + err
    assert "MCUboot signature: ed25519 (TLV 0x24) by" in out and "confirmed" in out
    hash_at = [e for e in walk(image) if e[0] == 0x10][0][1] + 4
    bad, _ = as_format(tmp_path, bytes(tampered(tmp_path, image, hash_at + 5).read_bytes()),
                       kind)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", bad, *extra, "--mcuboot", settings)
    assert code == 1
    at = LOAD + (0x4000 if kind == "merged" else 0) + hash_at
    assert f"MCUboot mismatch: the hash TLV (0x10) at 0x{at:08X} holds" in out


@pytest.mark.parametrize("what", ["file", "key"])
def test_what_cannot_be_read_is_exit_2(velk, monkeypatch, tmp_path, keys, full_image, what):
    key = keys["ed25519"] if what == "file" else tmp_path / "no-such.pem"
    path = full_image[0] if what == "key" else tmp_path / "gone.bin"
    code, _, err = run_cli(velk, monkeypatch, "CHECK", path, "--base", hex(LOAD),
                           f"--mcuboot=key={key}")
    assert code == 2 and err.startswith("error: ")


@pytest.mark.parametrize("password, code, says", [
    ("s3cret", 0, "MCUboot signature: ed25519 (TLV 0x24) by"),
    ("wrong", 2, "VELK_KEY_PASSWORD is wrong"),
    (None, 2, "is encrypted: give its password in VELK_KEY_PASSWORD"),
], ids=["right", "wrong", "none"])
def test_an_encrypted_key_opens_with_the_password_from_the_environment(
        velk, monkeypatch, tmp_path, keys, full_image, password, code, says):
    private = serialization.load_pem_private_key(keys["ed25519"].read_bytes(), None)
    encrypted = tmp_path / "encrypted.pem"
    encrypted.write_bytes(private.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.BestAvailableEncryption(b"s3cret")))
    if password is None:
        monkeypatch.delenv("VELK_KEY_PASSWORD", raising=False)
    else:
        monkeypatch.setenv("VELK_KEY_PASSWORD", password)
    got, out, err = run_cli(velk, monkeypatch, "CHECK", full_image[0], "--base", hex(LOAD),
                            f"--mcuboot=key={encrypted}")
    assert got == code and says in out + err, out + err
    assert "s3cret" not in out + err


# --- with the build: every byte accounted for --------------------------------

@pytest.fixture
def build(tmp_path):
    """A build that reserves the header's room, with a CRC slot in its
    payload; FLASH's HEX of it signed by imgtool."""
    body = bytes(HEADER) + payload()[:-4] + b"\xff" * 4
    elf = Elf(segments=[Segment(LOAD, body, section=".text")],
              symbols=[("crc", LOAD + len(body) - 4)])
    (tmp_path / "fw.elf").write_bytes(elf.build())
    return tmp_path / "fw.elf"


def test_build_signed_by_imgtool_accounts_for_every_byte(velk, monkeypatch, tmp_path, keys,
                                                        build):
    # The CRC covers the application, not the header written after it.
    crc = f"--ncrc@0x{LOAD + HEADER:08X}"
    assert run_cli(velk, monkeypatch, "FLASH", build, crc)[0] == 0
    signed_hex = tmp_path / "signed.hex"
    imgtool("sign", "--header-size", hex(HEADER), "--slot-size", hex(SLOT), "--pad",
            "-k", keys["ed25519"], "-v", "1.0.0", tmp_path / "fw_CRC.hex", signed_hex)
    words = ["CHECK", signed_hex, "--elf", build, crc, "--mcuboot",
             f"key={keys['ed25519']}", "--json"]
    code, out, _ = run_cli(velk, monkeypatch, *words)
    report = json.loads(out)
    assert code == 0, report
    parts = report["mcuboot"]["parts"]
    held = read_hex(signed_hex).memory
    covered = {a for p in parts for a in range(p["start"], p["end"])}
    assert covered >= set(held)
    assert parts[-1] == {"start": LOAD + SLOT - 24, "end": LOAD + SLOT,
                         "what": "trailer (image_ok, magic)"}
    assert [p["what"] for p in parts][:3] == [
        "MCUboot header", f"the header's room, {build}'s bytes",
        f"application, {build} with its records"]
    flip_hex_byte(signed_hex, LOAD + HEADER + 0x100)
    code, out, _ = run_cli(velk, monkeypatch, *words[:-1])
    assert code == 1
    assert f"content mismatch at 0x{LOAD + HEADER + 0x100:08X}" in out
    assert "MCUboot mismatch: the hash TLV (0x10)" in out


# --- FLASH's signed image with a size field damaged --------------------------

BUILD_SLOT = 0x08004000  # where fw_mcuboot_app.ld puts the slot, the header's room before it


@pytest.fixture(scope="module")
def flashed(tmp_path_factory, keys):
    """FLASH's signed .bin and HEX of the test application, with a security
    counter so that both TLV areas are there; the sizes as the test reads
    them from the header."""
    folder = tmp_path_factory.mktemp("flashed")
    elf = folder / "fw_mcuboot_app.elf"
    shutil.copy(os.path.join(DATA, "fw_mcuboot_app.elf"), elf)
    done = run_command("FLASH", elf, "--ncrc_value", "--mcuboot",
                       f"key={keys['ecdsa']},header=0x200,slot=0x20000,confirm,counter=auto",
                       "--bin")
    assert done.returncode == 0, done.stderr
    image = (folder / "fw_mcuboot_app_CRC.bin").read_bytes()
    return folder, image, dict(zip(("hdr", "protect", "img"), struct.unpack_from("<HHI", image, 8)))


# (case, the field's offset from the header's sizes, its width, the value written, its
# name); it should hold what FLASH wrote there.
SIZE_FIELDS = [
    ("none", None, 0, 0, None),
    ("hdr_size-high", lambda s: 8, 2, 0xFFF0, "hdr_size"),
    ("hdr_size-low", lambda s: 8, 2, 0x100, "hdr_size"),
    ("img_size", lambda s: 12, 4, 0xFFFFFFF0, "img_size"),
    ("protect_tlv_size", lambda s: 10, 2, 0x40, "protect_tlv_size"),
    ("protected-total", lambda s: s["hdr"] + s["img"] + 2, 2, 0xFFFF,
     "the protected TLV area's total"),
    ("unprotected-total", lambda s: s["hdr"] + s["img"] + s["protect"] + 2, 2, 0xFFFF,
     "the TLV area's total"),
]


@pytest.mark.parametrize("kind", ["bin", "hex"])
@pytest.mark.parametrize("case,where,width,value,named", SIZE_FIELDS,
                         ids=[f[0] for f in SIZE_FIELDS])
def test_a_damaged_size_is_named_and_nothing_else_noted(velk, monkeypatch, keys, flashed, kind,
                                                         case, where, width, value, named):
    folder, image, sizes = flashed
    at = where(sizes) if where else 0
    data = bytearray(image)
    data[at:at + width] = value.to_bytes(width, "little")
    if kind == "bin":
        path, extra = folder / f"{case}.bin", ["--base", hex(BUILD_SLOT)]
        path.write_bytes(bytes(data))
    else:
        path, extra = folder / f"{case}.hex", []
        hexed = IntelHex(str(folder / "fw_mcuboot_app_CRC.hex"))
        for i in range(width):
            hexed[BUILD_SLOT + at + i] = data[at + i]
        hexed.write_hex_file(str(path))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", *extra,
                             "--elf", folder / "fw_mcuboot_app.elf", "--mcuboot",
                             f"key={keys['ecdsa']}")
    assert "note:" not in err and "holds no MCUboot header" not in out, out + err
    assert code == (1 if where else 0), out + err
    if where:
        wanted = int.from_bytes(image[at:at + width], "little")
        assert (f"MCUboot mismatch: {named} at 0x{BUILD_SLOT + at:08X} holds 0x{value:X}; "
                f"it should hold 0x{wanted:X}") in out, out


def test_run_without_mcuboot_loads_no_crypto(tmp_path):
    code = ("import sys, velk_crc\n"
            "velk_crc.check(sys.argv[1], base=0x08000000, offset=0x10)\n"
            "print('cryptography' in sys.modules, 'hashlib' in sys.modules)\n")
    (tmp_path / "a.bin").write_bytes(bytes(0x40))
    done = subprocess.run([os.sys.executable, "-c", code, str(tmp_path / "a.bin")],
                          capture_output=True, text=True)
    assert done.stdout.strip() == "False False", done.stderr
