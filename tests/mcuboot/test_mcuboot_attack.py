"""Faults and bad input against the signing, hashing and encryption
settings: CHECK of broken images (scripts/mcuboot_check_fuzz.py's cases,
its random part cut short) ends with 0, 1 or 2 and one line at most, never
a traceback; and a pure signature's mark holding another value than the
one a bootloader boots is named."""

import os
import re
import sys

import pytest

import velk_crc
from conftest import run_command
from test_mcuboot import app_elf

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import mcuboot_check_fuzz as fuzz  # noqa: E402


@pytest.fixture(scope="module")
def seeds(tmp_path_factory):
    """FLASH's images of every seed kind, and the keys that made them."""
    work = tmp_path_factory.mktemp("attack")
    images, keys = fuzz.build_seeds(str(work))
    return work, images, keys


def test_check_survives_every_broken_image(seeds):
    work, images, keys = seeds
    cases = [(name, data, words) for name, (data, words) in
             fuzz.targeted(images, keys).items()]
    cases += list(fuzz.random_cases(images, 12, seed=37))
    found = [bad for name, data, words in cases
             if (bad := fuzz.run_case(str(work), name, data, words))]
    assert not found, found


def pure_mark(images, value):
    image = fuzz.Image(images["ed-pure"][0])
    image.set(0x25, value)
    return image.build()


@pytest.mark.parametrize("value", [b"\x00", b"\x02", b"\xff"], ids=["00", "02", "ff"])
def test_a_pure_mark_the_bootloader_refuses_is_named(seeds, value):
    work, images, keys = seeds
    path = work / f"pure-{value.hex()}.bin"
    path.write_bytes(pure_mark(images, value))
    done = run_command("CHECK", str(path), "--base", hex(fuzz.SLOT), "--mcuboot",
                       f"key={keys['ed']}")
    assert done.returncode == 1, done.stdout + done.stderr
    assert re.search(f"MCUboot mismatch: TLV 0x25 at 0x[0-9A-F]{{8}} holds {value.hex()}; it "
                     "should hold 01, the mark of a pure signature a bootloader reads",
                     done.stdout), done.stdout
    report = velk_crc.check(path, base=fuzz.SLOT, mcuboot={"key": keys["ed"]})
    assert report.verdict == "mismatch"
    assert any("0x25" in f["what"] for f in report.mcuboot["faults"]), report.mcuboot


def test_the_pure_mark_flash_writes_passes(seeds):
    work, images, keys = seeds
    path = work / "pure-01.bin"
    path.write_bytes(pure_mark(images, b"\x01"))
    assert velk_crc.check(path, base=fuzz.SLOT, mcuboot={"key": keys["ed"]}).ok
