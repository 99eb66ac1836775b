"""--json's "mcuboot" object has one shape: what FLASH wrote and what CHECK
read of the same image hold the same keys at the same paths and the same
values, CHECK adding only its verdicts. The values are held against the
signed .bin as the test parses it, imgtool's own TLV names and the key's
SHA-256 as the cryptography package gives it."""

import hashlib
import json
import struct

import pytest
from cryptography.hazmat.primitives import serialization
from imgtool.image import TLV_VALUES

import velk_crc
from conftest import run_command
from test_mcuboot import SLOT, app_elf, keys, tlvs_of  # noqa: F401 (keys: a fixture)

# CHECK's verdicts: the whole image's, and a part's.
CHECKS_OWN = {"ok", "faults", "parts", "file_stops_at"}
PARTS_JUDGED = ("hash", "key", "signature")

IMGTOOLS_NAMES = {number: name for name, number in TLV_VALUES.items()}


def without_verdicts(checked):
    image = {k: v for k, v in checked.items() if k not in CHECKS_OWN}
    for part in PARTS_JUDGED:
        image[part] = {k: v for k, v in image[part].items() if k not in ("checked", "ok")}
    return image


def public_key_der(path):
    """The public key as MCUboot hashes it: SubjectPublicKeyInfo DER."""
    key = serialization.load_pem_private_key(path.read_bytes(), None)
    return key.public_key().public_bytes(serialization.Encoding.DER,
                                         serialization.PublicFormat.SubjectPublicKeyInfo)


SIGNED = [
    pytest.param("reserved", None, {}, id="unsigned-reserved"),
    pytest.param("added", "ed25519", {}, id="ed25519-added"),
    pytest.param("reserved", "ecdsa", {"slot": 0x4000, "confirm": True}, id="ecdsa-confirmed"),
    pytest.param("added", "ed25519", {"pubkey": "full", "counter": 7, "version": "2.5.300+70000",
                                      "dependency": [(1, "1.2.0")]}, id="full-key-protected"),
]


@pytest.mark.parametrize("room, key, settings", SIGNED)
def test_flash_and_check_describe_one_image_alike(tmp_path, keys, room, key, settings):
    elf = tmp_path / "fw.elf"
    app_elf(elf, room)
    given = {"header": 0x200, **settings}
    if key:
        given["key"] = str(keys[key])
    written = velk_crc.flash(elf, symbol="crc_slot", bin=True, mcuboot=given).mcuboot
    check_settings = {k: v for k, v in given.items() if k in ("key", "header", "slot", "confirm")}
    checked = velk_crc.check(tmp_path / "fw_CRC.hex", elf=elf, symbol="crc_slot",
                             mcuboot=check_settings).mcuboot
    assert checked["ok"] is True and checked["faults"] == []
    assert without_verdicts(checked) == written

    image = (tmp_path / "fw_CRC.bin").read_bytes()
    start = written["slot"]
    assert start == SLOT
    (magic, load, hdr_size, protect, img_size, flags, major, minor, revision, build,
     pad) = struct.unpack_from("<IIHHIIBBHII", image)
    assert written["header"] == {
        "magic": magic, "load_addr": load, "hdr_size": hdr_size, "protect_tlv_size": protect,
        "img_size": img_size, "flags": flags, "version": f"{major}.{minor}.{revision}+{build}",
        "pad": pad}
    assert written["header_room"] == room
    assert written["tlv_area"] == start + hdr_size + img_size
    # Each TLV where the file holds it: its type byte at its address.
    listed = written["tlvs"]
    assert [(t["type"], bytes.fromhex(t["value"])) for t in listed] == tlvs_of(image, 0)
    for t in listed:
        at = t["address"] - start
        assert (image[at], struct.unpack_from("<H", image, at + 2)[0]) == (
            t["type"], len(t["value"]) // 2)
        assert t["protected"] == (t["address"] < written["tlv_area"] + protect)
        assert t["name"] == IMGTOOLS_NAMES[t["type"]]
    assert written["hash"]["value"] == hashlib.sha256(
        image[:hdr_size + img_size + protect]).hexdigest()
    if key:
        assert written["key"]["hash"] == hashlib.sha256(public_key_der(keys[key])).hexdigest()
        assert {p: (checked[p]["checked"], checked[p]["ok"]) for p in PARTS_JUDGED} == {
            p: (True, True) for p in PARTS_JUDGED}
    else:
        assert written["key"]["hash"] is None and written["signature"]["type"] is None
        assert (checked["signature"]["checked"], checked["signature"]["ok"]) == (False, None)
    if settings.get("confirm"):
        end = start + settings["slot"]
        assert written["trailer"] == {"address": end - 16, "image_ok": 1}
        assert written["image_end"] == end
    else:
        assert written["trailer"] is None
        assert written["image_end"] == start + len(image)


def test_the_command_lines_objects_are_the_apis(tmp_path, keys):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    settings = f"header=0x200,key={keys['ed25519']}"
    done = run_command("FLASH", "fw.elf", "--ncrc_slot", "--mcuboot", settings, "--json",
                       cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    written = json.loads(done.stdout)["mcuboot"]
    done = run_command("CHECK", "fw_CRC.hex", "--elf", "fw.elf", "--ncrc_slot", "--mcuboot",
                       settings, "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert without_verdicts(json.loads(done.stdout)["mcuboot"]) == written
    assert written == velk_crc.flash(elf, symbol="crc_slot", mcuboot={
        "header": 0x200, "key": str(keys["ed25519"])}).mcuboot


def stub_fields(name):
    """A TypedDict of the package's stub: (required keys, NotRequired keys)."""
    import ast
    import os
    stub = os.path.join(os.path.dirname(velk_crc.__file__), "__init__.pyi")
    with open(stub) as f:
        tree = ast.parse(f.read())
    [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name]
    fields = [(n.target.id, ast.unparse(n.annotation)) for n in cls.body
              if isinstance(n, ast.AnnAssign)]
    return ({k for k, a in fields if not a.startswith("NotRequired")},
            {k for k, a in fields if a.startswith("NotRequired")})


def test_the_stub_declares_both_objects_as_one_type(tmp_path, keys):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "reserved")
    given = {"header": 0x200, "key": str(keys["ed25519"])}
    written = velk_crc.flash(elf, symbol="crc_slot", mcuboot=given).mcuboot
    checked = velk_crc.check(tmp_path / "fw_CRC.hex", elf=elf, symbol="crc_slot",
                             mcuboot=given).mcuboot
    required, optional = stub_fields("Mcuboot")
    assert set(written) == required
    assert required <= set(checked) and set(checked) - required <= optional
    for part, name in [("header", "McubootHeader"), ("hash", "McubootHash"),
                       ("key", "McubootKey"), ("signature", "McubootSignature")]:
        required, optional = stub_fields(name)
        assert set(written[part]) == required, part
        assert set(checked[part]) == required | optional, part
    assert set(written["tlvs"][0]) == stub_fields("McubootTlv")[0]


# The unprotected types a bootloader carries beside the hash and signature
# (the encryption keys, the pure-signature flag), as imgtool numbers them.
CARRIED = [name for name in ("SIG_PURE", "ENCRSA2048", "ENCKW", "ENCEC256", "ENCX25519",
                             "ENCX25519_SHA512") if name in TLV_VALUES]


def test_check_names_every_unprotected_type_as_imgtool_does(tmp_path):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "reserved")
    velk_crc.flash(elf, symbol="crc_slot", bin=True, mcuboot={"header": 0x200})
    image = (tmp_path / "fw_CRC.bin").read_bytes()
    _, _, hdr_size, protect, img_size = struct.unpack_from("<IIHHI", image)
    area = hdr_size + img_size + protect
    # The unprotected area is outside the hash: entries appended to it
    # leave the image verifying.
    entries = image[area + 4:] + b"".join(
        struct.pack("<BBH", TLV_VALUES[name], 0, 4) + bytes(4) for name in CARRIED)
    rebuilt = image[:area] + struct.pack("<HH", 0x6907, 4 + len(entries)) + entries
    (tmp_path / "more.bin").write_bytes(rebuilt)
    checked = velk_crc.check(tmp_path / "more.bin", base=SLOT, mcuboot=True).mcuboot
    assert checked["hash"]["ok"] is True
    named = {t["type"]: t["name"] for t in checked["tlvs"]}
    assert {TLV_VALUES[name]: name for name in CARRIED} == {
        t: named[t] for t in named if t != TLV_VALUES["SHA256"]}
