"""MCUboot's own bootloader code as the judge: scripts/bootutil_oracle.sh
builds MCUboot's bootutil on the host (Ed25519, and the hash alone) and runs
FLASH's signed images and rearranged TLV areas through it. MCUboot's sources
are not part of this repository, so the module is skipped unless
VELK_MCUBOOT_SRC names a checkout (or git repository) of MCUboot, with
VELK_MBEDTLS_SRC for Mbed TLS 3.6 where the checkout has no
ext/mbedtls-3.6.0."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import velk_command

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "bootutil_oracle.sh"

pytestmark = pytest.mark.skipif(not os.environ.get("VELK_MCUBOOT_SRC"),
                                reason="VELK_MCUBOOT_SRC names no MCUboot sources")


@pytest.fixture(scope="module")
def verdicts(tmp_path_factory):
    """Every verdict of one run of the script over the Ed25519 and hash-only
    bootloaders: {("image"|"control", config, image, mode): verdict} and
    {("tlvs", config, case): (MCUboot's verdict, CHECK's exit status)}."""
    work = tmp_path_factory.mktemp("oracle")
    results = work / "results.tsv"
    env = dict(os.environ, VELK_CRC=" ".join(velk_command()))
    done = subprocess.run(["bash", str(SCRIPT), "--config", "sha256", "--config", "ed25519",
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


def test_mcuboot_starts_every_image_flash_signs(verdicts):
    images = {key: verdict for key, verdict in verdicts.items() if key[0] == "image"}
    assert {key[1] for key in images} == {"sha256", "ed25519"}
    made = {key[2] for key in images}
    assert made >= {"added", "reserved", "pad", "reserved-confirm", "merged", "erased-00-pad"}
    if shutil.which("arm-none-eabi-gcc"):
        assert "default-ld" in made
    assert {key: verdict for key, verdict in images.items() if verdict != "accepted"} == {}


def test_mcuboot_refuses_a_changed_byte_and_another_key(verdicts):
    controls = {key: verdict for key, verdict in verdicts.items() if key[0] == "control"}
    assert len(controls) == 6
    assert {key: verdict for key, verdict in controls.items() if verdict != "refused"} == {}


# What MCUboot's TLV walk decides, read from bootutil_img_validate: every
# SHA-256 TLV must match; a signature counts only after a key hash of a key
# the bootloader holds (compared as a prefix of the key's hash, however short),
# and the last such signature decides.
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
    "unknown-tlv-0x77-unprotected": "accepted",
    "bytes-after-tlvs": "accepted",
    "cut-one-byte-short": "refused",
}


@pytest.mark.parametrize("case", MCUBOOT)
def test_mcuboot_judges_a_rearranged_tlv_area(verdicts, case):
    assert verdicts["tlvs", "ed25519", case][0] == MCUBOOT[case]


# A key hash shorter than 16 bytes: MCUboot accepts it, CHECK refuses it
# with a line that says so.
SHORT_KEY_HASH = {"keyhash-prefix-1", "keyhash-empty"}


@pytest.mark.parametrize("case", sorted(set(MCUBOOT) - SHORT_KEY_HASH))
def test_check_agrees_with_mcuboot(verdicts, case):
    mcuboot, check_status = verdicts["tlvs", "ed25519", case]
    assert (check_status == 0) == (mcuboot == "accepted")
