"""MCUboot's own bootloader code as the judge: scripts/bootutil_oracle.sh
builds MCUboot's bootutil on the host (Ed25519 over a SHA-256 or SHA-512
digest, pure Ed25519, and the hash alone) and runs FLASH's signed images and
rearranged TLV areas through it. MCUboot's sources
are not part of this repository, so those tests are skipped unless
VELK_MCUBOOT_SRC names a checkout (or git repository) of MCUboot, with
VELK_MBEDTLS_SRC for Mbed TLS 3.6 where the checkout has no
ext/mbedtls-3.6.0. The rearranged TLV areas themselves are checked always,
against the format as the test reads it."""

import hashlib
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from conftest import run_command, velk_command

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "bootutil_oracle.sh"
REARRANGE = ROOT / "scripts" / "bootutil" / "rearrange.py"
APP = ROOT / "tests" / "data" / "fw_mcuboot_app.elf"

needs_mcuboot = pytest.mark.skipif(not os.environ.get("VELK_MCUBOOT_SRC"),
                                   reason="VELK_MCUBOOT_SRC names no MCUboot sources")


@pytest.fixture(scope="module")
def verdicts(tmp_path_factory):
    """Every verdict of one run of the script over the Ed25519 (SHA-256,
    SHA-512 and pure) and hash-only bootloaders:
    {("image"|"control", config, image, mode): verdict} and
    {("tlvs", config, case): (MCUboot's verdict, CHECK's exit status)}."""
    work = tmp_path_factory.mktemp("oracle")
    results = work / "results.tsv"
    env = dict(os.environ, VELK_CRC=" ".join(velk_command()))
    done = subprocess.run(["bash", str(SCRIPT), "--config", "sha256", "--config", "ed25519",
                           "--config", "ed25519-sha512", "--config", "ed25519-pure",
                           "--skip-fill", "--keep", str(work / "build"),
                           "--results", str(results)],
                          capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode in (0, 1), done.stdout + done.stderr
    found = {}
    for line in results.read_text().splitlines():
        kind, config, case, *rest = line.split("\t")
        if kind in ("image", "control"):
            found[kind, config, case, rest[0]] = rest[1]
        else:
            found[kind, config, case] = (rest[0], int(rest[1]))
    return found


@needs_mcuboot
def test_mcuboot_starts_every_image_flash_signs(verdicts):
    images = {key: verdict for key, verdict in verdicts.items() if key[0] == "image"}
    assert {key[1] for key in images} == {"sha256", "ed25519", "ed25519-sha512", "ed25519-pure"}
    made = {key[2] for key in images}
    assert made >= {"added", "reserved", "pad", "reserved-confirm", "merged", "erased-00-pad"}
    if shutil.which("arm-none-eabi-gcc"):
        assert "default-ld" in made
    assert {key: verdict for key, verdict in images.items() if verdict != "accepted"} == {}


@needs_mcuboot
def test_mcuboot_refuses_a_changed_byte_and_another_key(verdicts):
    controls = {key: verdict for key, verdict in verdicts.items() if key[0] == "control"}
    assert len(controls) == 14
    assert {key: verdict for key, verdict in controls.items() if verdict != "refused"} == {}


# What MCUboot's TLV walk decides, read from bootutil_img_validate: every
# SHA-256 TLV must match; a signature counts only after a key hash of a key
# the bootloader holds (compared as a prefix of the key's hash, however short),
# and the last such signature decides; an unprotected TLV outside the allow
# list (hashes, keys, signatures, encryption keys) fails the image, as the
# ports build MCUboot.
MCUBOOT = {
    "as-signed": "accepted",
    "sha256-twice-second-wrong": "refused",
    "sha256-wrong-after-signature": "refused",
    "signature-before-keyhash": "refused",
    "keyhash-sig-twice-second-corrupt": "refused",
    "keyhash-sig-twice-first-corrupt": "accepted",
    "ours-then-wrong-keyhash-then-sig": "refused",
    "other-key-before-ours": "accepted",
    "other-key-after-ours": "accepted",
    "wrong-keyhash-before-right": "accepted",
    "other-signature-under-our-keyhash": "refused",
    "our-signature-under-other-keyhash": "refused",
    "keyhash-prefix-16": "accepted",
    "keyhash-prefix-1": "accepted",
    "keyhash-empty": "accepted",
    "keyhash-33-bytes": "refused",
    "no-keyhash": "refused",
    "no-signature": "refused",
    "no-sha256": "refused",
    "unknown-tlv-0x77-unprotected": "refused",
    "bytes-after-tlvs": "accepted",
    "cut-one-byte-short": "refused",
}


@needs_mcuboot
@pytest.mark.parametrize("case", MCUBOOT)
def test_mcuboot_judges_a_rearranged_tlv_area(verdicts, case):
    assert verdicts["tlvs", "ed25519", case][0] == MCUBOOT[case]


# A key hash shorter than 16 bytes: MCUboot accepts it, CHECK refuses it
# with a line that says so.
SHORT_KEY_HASH = {"keyhash-prefix-1", "keyhash-empty"}


@needs_mcuboot
@pytest.mark.parametrize("case", sorted(set(MCUBOOT) - SHORT_KEY_HASH))
def test_check_agrees_with_mcuboot(verdicts, case):
    mcuboot, check_status = verdicts["tlvs", "ed25519", case]
    assert (check_status == 0) == (mcuboot == "accepted")


def unprotected_tlvs(image):
    """The unprotected TLVs (type, value), and where the area starts and
    ends, as the test reads the format."""
    magic, _, hdr_size, protect, img_size = struct.unpack_from("<IIHHI", image, 0)
    assert magic == 0x96F3B83D
    start = at = hdr_size + img_size + protect
    info, total = struct.unpack_from("<HH", image, at)
    assert info == 0x6907
    entries, end, at = [], at + total, at + 4
    while at < end:
        kind, length = struct.unpack_from("<HH", image, at)
        entries.append((kind, image[at + 4:at + 4 + length]))
        at += 4 + length
    assert at == end, "the TLVs overrun the area's total"
    return entries, start, end


@pytest.fixture(scope="module")
def rearranged(tmp_path_factory):
    """The rearranged areas of one image signed by key a and by key b, and
    each key's hash (SHA-256 of its SubjectPublicKeyInfo, as imgtool and
    MCUboot's keys.c hold an Ed25519 key)."""
    work = tmp_path_factory.mktemp("rearranged")
    images, hashes = [], []
    for name in "ab":
        key = ed25519.Ed25519PrivateKey.generate()
        pem = work / f"{name}.pem"
        pem.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                          serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
        hashes.append(hashlib.sha256(key.public_key().public_bytes(
            serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)).digest())
        elf = work / f"{name}.elf"
        shutil.copy(APP, elf)
        done = run_command("FLASH", elf, "--ncrc_value", "--bin", "--mcuboot",
                           f"key={pem},header=0x200")
        assert done.returncode == 0, done.stderr
        images.append(work / f"{name}_CRC.bin")
    subprocess.run([sys.executable, str(REARRANGE), *map(str, images), str(work / "cases")],
                   check=True, capture_output=True, timeout=60)
    return work / "cases", images[0].read_bytes(), hashes


H, K, S, X = 0x10, 0x01, 0x24, 0x77
# Each case's unprotected TLVs: kind and whose value ("a": as key a's image
# holds it, "b": key b's, "~": changed, a number: the first bytes of a's).
LAYOUTS = {
    "as-signed": [(H, "a"), (K, "a"), (S, "a")],
    "sha256-twice-second-wrong": [(H, "a"), (H, "~"), (K, "a"), (S, "a")],
    "signature-before-keyhash": [(H, "a"), (S, "a"), (K, "a")],
    "keyhash-sig-twice-second-corrupt": [(H, "a"), (K, "a"), (S, "a"), (K, "a"), (S, "~")],
    "ours-then-wrong-keyhash-then-sig": [(H, "a"), (K, "a"), (K, "~"), (S, "a")],
    "other-key-before-ours": [(H, "a"), (K, "b"), (S, "b"), (K, "a"), (S, "a")],
    "wrong-keyhash-before-right": [(H, "a"), (K, "~"), (K, "a"), (S, "a")],
    "keyhash-prefix-16": [(H, "a"), (K, 16), (S, "a")],
    "keyhash-empty": [(H, "a"), (K, 0), (S, "a")],
    "no-sha256": [(K, "a"), (S, "a")],
    "unknown-tlv-0x77-unprotected": [(H, "a"), (X, "~"), (K, "a"), (S, "a")],
}


@pytest.mark.parametrize("case", LAYOUTS)
def test_a_rearranged_area_holds_the_tlvs_it_names(rearranged, case):
    cases, ours, hashes = rearranged
    image = (cases / f"{case}.bin").read_bytes()
    signed, start, _ = unprotected_tlvs(ours)
    values = dict(signed)
    assert values[K] == hashes[0]
    found, area, end = unprotected_tlvs(image)
    assert (area, end) == (start, len(image))
    assert image[:start] == ours[:start]
    assert [kind for kind, _ in found] == [kind for kind, _ in LAYOUTS[case]]
    for (kind, value), (_, whose) in zip(found, LAYOUTS[case]):
        if whose == "a":
            assert value == values[kind]
        elif whose == "b" and kind == K:
            assert value == hashes[1]
        elif whose == "b":
            assert value != values[kind] and len(value) == len(values[kind])
        elif whose == "~" and kind in values:
            assert value != values[kind] and len(value) == len(values[kind])
        elif isinstance(whose, int):
            assert value == values[kind][:whose]


def test_the_cut_and_extended_files_keep_the_signed_area(rearranged):
    cases, ours, _ = rearranged
    assert (cases / "bytes-after-tlvs.bin").read_bytes() == ours + b"\xa5" * 16
    assert (cases / "cut-one-byte-short.bin").read_bytes() == ours[:-1]
