"""Signed images whose records lie past the build's last byte (--a, --s):
FLASH pads the payload with erased flash up to the record and signs it
all; CHECK of each file with --elf must read the same payload. The image's
own structure is read here from the HEX (header sizes, the TLV area, the
SHA-256 over header and payload) and imgtool verifies the .bin."""

import hashlib
import os
import shutil
import struct
import subprocess
import sysconfig

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

import velk_crc
from conftest import DATA, linux_only, run_command
from hexcheck import read_hex

IMGTOOL = shutil.which("imgtool", path=sysconfig.get_path("scripts")) or shutil.which("imgtool")
IMAGE_MAGIC = 0x96F3B83D
TLV_INFO_MAGIC = 0x6907
TLV_SHA256 = 0x10


@pytest.fixture(scope="module")
def key(tmp_path_factory):
    path = tmp_path_factory.mktemp("key") / "key.pem"
    path.write_bytes(ed25519.Ed25519PrivateKey.generate().private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    return path


def sha256_tlv(image, slot):
    """The header's sizes and the SHA-256 TLV's value, walked here."""
    hdr_size, protect, img_size = struct.unpack_from("<HHI", image.bytes_at(slot + 8, 8))
    at = slot + hdr_size + img_size + protect
    magic, total = struct.unpack("<HH", image.bytes_at(at, 4))
    assert magic == TLV_INFO_MAGIC
    end, at = at + total, at + 4
    while at < end:
        kind, _, length = struct.unpack("<BBH", image.bytes_at(at, 4))
        if kind == TLV_SHA256:
            return hdr_size, img_size, image.bytes_at(at + 4, length)
        at += 4 + length
    raise AssertionError("no SHA-256 TLV")


# (build, record words, API keywords, where the payload ends)
PLACED = [
    pytest.param("fw_mcuboot_app.elf", ["--a400"], {"offset": 0x400}, 0x08004604,
                 id="added-header-offset"),
    pytest.param("fw_mcuboot_app.elf", ["--s1024"], {"block": 1024}, 0x08004604,
                 id="added-header-block"),
    pytest.param("fw_mcuboot_app_reserved.elf", ["--a400"], {"offset": 0x400}, 0x08004404,
                 id="reserved-room-offset"),
    pytest.param("fw_bootloaded_app.elf", ["--a134"], {"offset": 0x134}, 0x08004138,
                 id="just-past-the-build"),
    # The build ends at 0x0800026F; the header's body runs to its image's
    # end, a word further.
    pytest.param("fw_header_crc32.elf", ["--header", "app_header:size@8,crc@12,hcrc@16"],
                 {"header": "app_header:size@8,crc@12,hcrc@16"}, 0x08000270,
                 id="header-record-image-rounded"),
]


@pytest.mark.parametrize("slot_words", ["", ",slot=0x1000", ",slot=0x1000,confirm"],
                         ids=["no-slot", "slot", "confirmed-slot"])
@pytest.mark.parametrize("elf, words, keyword, payload_end", PLACED)
def test_a_record_past_the_build_is_signed_and_checked_with_the_build(
        tmp_path, key, elf, words, keyword, payload_end, slot_words):
    shutil.copy(f"{DATA}/{elf}", tmp_path)
    settings = f"key={key},header=0x200" + slot_words
    made = run_command("FLASH", elf, *words, "--bin", "--mcuboot", settings, cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    root = tmp_path / elf[:-4]
    image = read_hex(f"{root}_CRC.hex")
    slot = min(image.memory)
    assert struct.unpack("<I", image.bytes_at(slot, 4))[0] == IMAGE_MAGIC
    hdr_size, img_size, digest = sha256_tlv(image, slot)
    # The payload reaches the record's image's end, padding and all.
    assert slot + hdr_size + img_size == payload_end
    assert digest == hashlib.sha256(image.bytes_at(slot, hdr_size + img_size)).digest()
    if IMGTOOL:
        subprocess.run([IMGTOOL, "verify", "-k", str(key), f"{root}_CRC.bin"], check=True,
                       capture_output=True)
    for suffix in ("_CRC.hex", "_CRC.bin"):
        checked = run_command("CHECK", f"{root}{suffix}", *words, "--elf", elf,
                              "--mcuboot", settings, cwd=tmp_path)
        assert checked.returncode == 0, suffix + ": " + checked.stdout + checked.stderr
    mcuboot = {"key": str(key), "header": 0x200}
    if slot_words:
        mcuboot.update(slot=0x1000, confirm="confirm" in slot_words)
    report = velk_crc.check(f"{root}_CRC.hex", elf=tmp_path / elf, **keyword, mcuboot=mcuboot)
    assert report.ok


# Records whose slot lies among the header's first 32 bytes, the header
# written over the build's own room at 0x08004000.
IN_THE_HEADER = [
    pytest.param(["--a10"], {"offset": 0x10}, "--a10 at 0x08004010", id="flags"),
    pytest.param(["--a1C"], {"offset": 0x1C}, "--a1C at 0x0800401C", id="pad"),
    pytest.param(["--a1C", "--force"], {"offset": 0x1C, "force": True}, "--a1C at 0x0800401C",
                 id="pad-forced"),
    pytest.param(["--lpc-vectors"], {"lpc_vectors": True}, "at 0x0800401C", id="lpc-vectors"),
]


@pytest.mark.parametrize("words, keyword, named", IN_THE_HEADER)
def test_a_record_in_the_header_fields_is_refused_not_an_internal_error(
        tmp_path, words, keyword, named):
    elf = "fw_mcuboot_app_reserved.elf"
    shutil.copy(f"{DATA}/{elf}", tmp_path)
    made = run_command("FLASH", elf, *words, "--mcuboot", "header=0x200", cwd=tmp_path)
    assert made.returncode == 255, made.stderr
    assert made.stderr.count("\n") == 1 and named in made.stderr
    assert "MCUboot header's fields (0x08004000 to 0x0800401F)" in made.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == [elf]
    with pytest.raises(velk_crc.Refused, match="MCUboot header's fields") as info:
        velk_crc.flash(tmp_path / elf, **keyword, mcuboot={"header": 0x200})
    assert type(info.value) is velk_crc.Refused


@pytest.fixture(scope="module")
def merged(tmp_path_factory, key):
    """FLASH's signed image merged after a bootloader that holds the
    header's magic; the image's slot and where its TLVs end, read here."""
    folder = tmp_path_factory.mktemp("merged")
    shutil.copy(f"{DATA}/fw_mcuboot_app.elf", folder)
    made = run_command("FLASH", "fw_mcuboot_app.elf", "--ncrc_value", "--merge",
                       f"{DATA}/fw_mcuboot_loader.hex", "--mcuboot", f"key={key},header=0x200",
                       cwd=folder)
    assert made.returncode == 0, made.stderr
    path = folder / "fw_mcuboot_app_CRC_merged.hex"
    image = read_hex(path)
    slot = 0x08004000
    assert struct.unpack("<I", image.bytes_at(slot, 4))[0] == IMAGE_MAGIC
    hdr_size, img_size, _ = sha256_tlv(image, slot)
    _, total = struct.unpack("<HH", image.bytes_at(slot + hdr_size + img_size, 4))
    return path, slot, slot + hdr_size + img_size + total


COPY_AT = 0x08002000  # unused flash between the bootloader and the slot


# (how the image at the slot is spoiled, given its slot and TLV end)
SPOILED = [
    pytest.param(lambda slot, end: {slot + 0x250: None}, id="payload-byte"),
    pytest.param(lambda slot, end: {end - 8: None}, id="signature-byte"),
    pytest.param(lambda slot, end: {a: "gone" for a in range(end - 0x40, end)}, id="tlvs-cut"),
]


@pytest.mark.parametrize("spoil", SPOILED)
def test_a_spoiled_image_beside_a_whole_copy_is_not_ok(tmp_path, key, merged, spoil):
    from intelhex import IntelHex
    path, slot, end = merged
    ih = IntelHex(str(path))
    for a in range(slot, end):
        ih[COPY_AT + a - slot] = ih[a]
    for a, how in spoil(slot, end).items():
        if how == "gone":
            del ih[a]
        else:
            ih[a] ^= 0xFF
    bad = tmp_path / "bad.hex"
    ih.write_hex_file(str(bad))
    checked = run_command("CHECK", bad, "--mcuboot", f"key={key}")
    assert checked.returncode == 1, checked.stdout + checked.stderr
    assert f"MCUboot mismatch: the image at 0x{slot:08X}: " in checked.stdout
    report = velk_crc.check(bad, mcuboot={"key": str(key)})
    assert not report.ok


def test_two_whole_images_pass(tmp_path, key, merged):
    from intelhex import IntelHex
    path, slot, end = merged
    ih = IntelHex(str(path))
    for a in range(slot, end):
        ih[COPY_AT + a - slot] = ih[a]
    both = tmp_path / "both.hex"
    ih.write_hex_file(str(both))
    checked = run_command("CHECK", both, "--mcuboot", f"key={key}")
    assert checked.returncode == 0, checked.stdout + checked.stderr
    # The loader's literal of the magic is no image; the copy is one.
    other = f"another image at 0x{slot:08X}" if f"image at 0x{COPY_AT:08X}:" in checked.stdout \
        else f"another image at 0x{COPY_AT:08X}"
    assert other + ", whose header, TLVs and hash agree too" in checked.stderr
    assert f"also at 0x{COPY_AT:08X}" not in checked.stderr
    assert f"also at 0x{slot:08X}" not in checked.stderr


def limited_memory():
    """A child's address space bounded to 1 GiB: an image read whole beyond
    that fails. Under AddressSanitizer, whose shadow memory takes terabytes
    of address space, the sanitizer's own allocation limit bounds it."""
    import resource
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


@linux_only("the child's address space is bounded by RLIMIT_AS")
def test_a_trailer_far_away_is_not_read_into_memory(tmp_path, key, merged):
    """Sixteen bytes of a trailer's magic 4 GiB up, in a file of a few
    hundred bytes: no slot is that large, they are bytes not checked."""
    from intelhex import IntelHex
    path, slot, end = merged
    ih = IntelHex(str(path))
    for i, b in enumerate(bytes.fromhex("77c295f360d2ef7f3552500f2cb67980")):
        ih[0xFFFFFFF0 + i] = b
    far = tmp_path / "far.hex"
    ih.write_hex_file(str(far))
    checked = run_command("CHECK", far, "--mcuboot", f"key={key}", preexec_fn=limited_memory)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert "0xFFFFFFF0 to 0x100000000: not checked" in checked.stdout


@pytest.mark.parametrize("settings", ["slot=0x20000000,pad", "slot=0xFFFFFFFF,confirm"])
@linux_only("the child's address space is bounded by RLIMIT_AS")
def test_a_padded_slot_beyond_any_device_is_refused(tmp_path, key, merged, settings):
    """slot= that large over a file that holds bytes that far: refused
    rather than read whole; over the file alone, its trailer is missing."""
    from intelhex import IntelHex
    path, slot, end = merged
    ih = IntelHex(str(path))
    ih[0xFFFFFFF0] = 0
    far = tmp_path / "far.hex"
    ih.write_hex_file(str(far))
    checked = run_command("CHECK", far, "--mcuboot", f"key={key},{settings}",
                          preexec_fn=limited_memory)
    assert checked.returncode == 2, checked.stdout + checked.stderr
    assert "CHECK reads a padded slot of at most 256 MiB" in checked.stderr
    slot_size = int(settings.split(",")[0][5:], 16)
    with pytest.raises(velk_crc.CannotVerify, match="at most 256 MiB"):
        velk_crc.check(far, mcuboot={"key": str(key), "slot": slot_size, "pad": True})
    alone = run_command("CHECK", path, "--mcuboot", f"key={key},{settings}")
    assert alone.returncode == 1 and "the trailer's magic" in alone.stdout
