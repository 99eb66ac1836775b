"""A devices run of fw_boot.elf stopped by a signal at a point of the test's
choosing, resumed, and its folder checked without the module's own reading:
the manifest's files hashed with hashlib, each device's HEX read by the
tests' own reader for its serial number and its CRC-32/MPEG-2 worked out
bit by bit, and every file passed through our CHECK. Shared by the resume
test and scripts/devices_resume_fuzz.py."""
import csv
import hashlib
import json
import os
import subprocess

from conftest import DATA, crc32_mpeg2_fast, velk_command
from hexcheck import read_hex

import velk_crc

ELF = os.path.join(DATA, "fw_boot.elf")
# Two reserved words of fw_boot.elf's vector table, zero in the build: a
# placeholder the serial number goes into.
PLACE = 0x0800001C
START, SLOT = 0x08000000, 0x08000134  # the image, and crc_value after the rest of it
FIRST = 1000
ENDINGS = ("_CRC.elf", "_CRC.hex")
LEDGER = {"manifest.json", "manifest.csv", "manifest.state"}


def words(folder, count, *more):
    return velk_command("FLASH", ELF, "--ncrc_value", "--stamp",
                        f"0x{PLACE:08X}:4=serial:{FIRST}", "--count", count, "--out", folder,
                        *more)


def stopped_at(folder, count, names, signal_number):
    """Starts the run (or its resume, when `folder` holds one) and sends it
    `signal_number` as soon as the folder holds `names` entries (temporaries,
    device files, the state): wherever the run has got to then. The run's
    exit status, and its standard error."""
    more = ["--resume"] if os.path.exists(os.path.join(folder, "manifest.state")) else []
    run = subprocess.Popen(words(folder, count, *more), stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
    while run.poll() is None:
        try:
            there = len(os.listdir(folder))
        except FileNotFoundError:
            there = 0
        if there >= names:
            run.send_signal(signal_number)
            break
    _, err = run.communicate(timeout=120)
    return run.returncode, err


def resumed(folder, count):
    """The run taken to its end: --resume where a state is, a new run where
    the stopped one never got to make one."""
    more = ["--resume"] if os.path.exists(os.path.join(folder, "manifest.state")) else []
    done = subprocess.run(words(folder, count, *more), capture_output=True, text=True,
                          timeout=120)
    if done.returncode == 255 and "already complete" in done.stderr:
        return  # the signal came after the run's last step
    assert done.returncode == 0, done.stderr


def hidden_leftovers(folder):
    return sorted(name for name in os.listdir(folder) if name.startswith("."))


def check_folder(folder, count):
    """Exactly `count` whole, distinct device sets, as the manifests name
    them, and nothing else."""
    with open(os.path.join(folder, "manifest.json")) as f:
        manifest = json.load(f)
    devices = manifest["devices"]
    assert [d["index"] for d in devices] == list(range(count))
    assert [d["id"] for d in devices] == [str(FIRST + i) for i in range(count)]
    names = {w["name"] for d in devices for w in d["files"]}
    assert len(names) == count * len(ENDINGS)
    assert set(os.listdir(folder)) == names | LEDGER, "files the manifest does not name"

    digests = set()
    for i, device in enumerate(devices):
        assert [w["name"] for w in device["files"]] == [
            f"fw_boot_{FIRST + i}{ending}" for ending in ENDINGS]
        for written in device["files"]:
            path = os.path.join(folder, written["name"])
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            assert digest == written["sha256"], written["name"]
            digests.add(digest)
        hex_path = os.path.join(folder, f"fw_boot_{FIRST + i}_CRC.hex")
        image = read_hex(hex_path)
        assert image.bytes_at(PLACE, 4) == (FIRST + i).to_bytes(4, "little")
        stored = int.from_bytes(image.bytes_at(SLOT, 4), "little")
        assert stored == crc32_mpeg2_fast(image.bytes_at(START, SLOT - START)), hex_path
        assert velk_crc.check(hex_path, offset=SLOT - START).ok, hex_path
        assert velk_crc.check(os.path.join(folder, f"fw_boot_{FIRST + i}_CRC.elf"),
                              symbol="crc_value").ok
    assert len(digests) == count * len(ENDINGS), "two devices' files alike"

    with open(os.path.join(folder, "manifest.csv"), newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["id", f"0x{PLACE:08X}:4", "crc_value", *ENDINGS]
    assert [row[0] for row in rows[1:]] == [d["id"] for d in devices]
    assert [row[3:] for row in rows[1:]] == [[w["sha256"] for w in d["files"]]
                                             for d in devices]
