"""The guide's production-line sections (docs/guide.md, "One image per
device", "The manifest", "CHECK at the station") run as written: each `$`
command of their blocks runs in a shell in a project folder holding what
the commands name (fw.elf built by the ARM GNU toolchain from
tests/data/firmware/stamped.c, whose declarations and linker rule are the
guide's; line.csv; keys/*.bin), and the lines the guide shows after a
command are the lines it prints. The Python snippet runs too. Each
device's stamped bytes and CRC are read back here by the tests' own HEX
reader and a CRC worked out bit by bit."""

import csv
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import zlib

import pytest

from conftest import (DATA, crc32_mpeg2, guide_commands, installed, posix_only, run_python,
                      velk_on_path)
from hexcheck import read_hex

GUIDE = os.path.join(os.path.dirname(DATA), os.pardir, "docs", "guide.md")
FIRMWARE = os.path.join(DATA, "firmware")
M4 = ["-mcpu=cortex-m4", "-mthumb", "-Os", "-ffreestanding", "-fno-unwind-tables",
      "-fno-asynchronous-unwind-tables", "-nostartfiles", "-nostdlib"]
DEVICES = 100
STOPPED_AFTER = 60  # devices in place when the guide's resumed run was stopped


def sections():
    """(language, text) of every fenced block of the three sections."""
    with open(GUIDE) as f:
        text = f.read()
    body = text[text.index("\n### One image per device: "):text.index("\n## 13. ")]
    return re.findall(r"```(\w*)\n(.*?)```", body, re.S)


BLOCKS = sections()


SHELL = [c for kind, text in BLOCKS if kind in ("", "text") and text.startswith("$ ")
         for c in guide_commands(text)]
PYTHON = [text for kind, text in BLOCKS if kind == "python"]


def test_the_sections_hold_the_commands_this_module_runs():
    assert [c.split()[:2] + [w for w in c.split() if w.startswith("--out")
                                               or w.startswith("--manifest")]
            for c, _ in SHELL] == [
        ["velk-crc", "FLASH", "--out"], ["velk-crc", "FLASH", "--out"],
        ["velk-crc", "FLASH", "--out"], ["velk-crc", "FLASH", "--out"],
        ["velk-crc", "CHECK", "--manifest"], ["velk-crc", "CHECK"]]
    assert len(PYTHON) == 1


def test_the_build_declares_the_places_as_the_guide_does():
    """The guide's declarations and linker rule, word for word, are those of
    the firmware the lines come from."""
    declared = next(text for kind, text in BLOCKS if kind == "c")
    rule = next(text for kind, text in BLOCKS if kind == "ld")
    with open(os.path.join(FIRMWARE, "stamped.c")) as f:
        source = " ".join(f.read().split())
    with open(os.path.join(FIRMWARE, "stamped.ld")) as f:
        script = " ".join(f.read().split())
    for line in declared.splitlines():
        if line.startswith(("const", "__attribute__")):
            assert line in source
    assert " ".join(rule.split()) in script


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    gcc = installed("arm-none-eabi-gcc")
    folder = tmp_path_factory.mktemp("guide-devices-build")
    subprocess.run([gcc, *M4, "-I", FIRMWARE, "-T", os.path.join(FIRMWARE, "stamped.ld"),
                    "-o", str(folder / "fw.elf"), os.path.join(FIRMWARE, "stamped.c")],
                   check=True, capture_output=True)
    return folder / "fw.elf"


def keys():
    return [hashlib.sha256(b"board %d" % i).digest() for i in range(DEVICES)]


@pytest.fixture
def project(tmp_path, build):
    """What the guide's commands name: fw.elf, line.csv (a serial a device,
    the first column), keys/ (a 32-byte key a device), and `velk-crc` on
    PATH as the one under test."""
    shutil.copy(build, tmp_path / "fw.elf")
    with open(tmp_path / "line.csv", "w", newline="") as f:
        rows = csv.writer(f)
        rows.writerow(["serial", "batch"])
        rows.writerows([str(5000 + i), "7"] for i in range(DEVICES))
    (tmp_path / "keys").mkdir()
    for i, key in enumerate(keys()):
        (tmp_path / "keys" / f"board{i:03}.bin").write_bytes(key)
    return tmp_path, velk_on_path(tmp_path)


def run(project, index, status=0, shell=("sh",)):
    """The guide's `index`th command, in a shell in the project; the lines
    it shows after it, if any, are the lines printed."""
    root, path = project
    command, shown = SHELL[index]
    done = subprocess.run([*shell, "-c", command], cwd=root, capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PATH": path})
    assert done.returncode == status, f"{command}\n{done.stdout}\n{done.stderr}"
    if shown and status == 0:
        assert done.stdout.splitlines() == shown
    return done


def symbol(elf, name):
    nm = subprocess.run([installed("arm-none-eabi-nm"), "-S", str(elf)], capture_output=True,
                        text=True, check=True).stdout
    fields = next(line.split() for line in nm.splitlines() if line.endswith(" " + name))
    return int(fields[0], 16), int(fields[1], 16)


def device(root, hex_path, place):
    """A device file's memory and the bytes at a place of the build."""
    memory = read_hex(root / hex_path).memory
    address, size = symbol(root / "fw.elf", place)
    return memory, bytes(memory[address + i] for i in range(size))


def stored_crc(memory, root):
    """crc_value as stored, and CRC-32/MPEG-2 over flash before it."""
    slot, _ = symbol(root / "fw.elf", "crc_value")
    image = bytes(memory[a] for a in range(0x08000000, slot))
    return struct.unpack("<I", bytes(memory[slot + i] for i in range(4)))[0], image


@posix_only("the guide's commands are POSIX shell")
def test_a_serial_range(project):
    root, _ = project
    run(project, 0)
    assert len(list((root / "line").glob("fw_*_CRC.bin"))) == DEVICES
    for serial in (1000, 1057, 1099):
        memory, stamped = device(root, f"line/fw_{serial}_CRC.hex", "serial_no")
        assert stamped == serial.to_bytes(4, "little")
        stored, image = stored_crc(memory, root)
        assert stored == crc32_mpeg2(image)


@posix_only("the guide's commands are POSIX shell")
def test_a_csv_a_mac_and_a_key_a_device(project):
    root, _ = project
    # bash refusing a pattern that matches no file, as zsh does by default:
    # the guide's pattern reaches velk-crc whole.
    run(project, 1, shell=(installed("bash"), "-O", "failglob"))
    for i in (0, 41, 99):
        name = f"fw_{5000 + i}_CRC.hex"
        _, serial = device(root, "keyed/" + name, "serial_no")
        _, mac = device(root, "keyed/" + name, "mac_addr")
        memory, key = device(root, "keyed/" + name, "device_key")
        assert serial == (5000 + i).to_bytes(4, "little")
        assert mac == bytes([2, 0, 0, 0, 0, 0x10 + i])
        assert key == keys()[i]
        stored, image = stored_crc(memory, root)
        assert stored == crc32_mpeg2(image)
    # The manifest as "The manifest" tells it: a row a device (id, each
    # stamp, each record, each file's SHA-256 under its ending); each
    # device's key file named.
    with open(root / "keyed" / "manifest.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["id", "serial_no", "mac_addr", "device_key", "crc_value", "_CRC.elf",
                       "_CRC.hex"]
    last = rows[DEVICES]
    assert last[:4] == ["5099", "5099", "02:00:00:00:00:73", "board099.bin"]
    assert last[5] == hashlib.sha256((root / "keyed" / "fw_5099_CRC.elf").read_bytes()).hexdigest()
    with open(root / "keyed" / "manifest.json") as f:
        entry = json.load(f)["devices"][99]
    assert entry["stamps"][2] == {"place": "device_key", "address": symbol(
        root / "fw.elf", "device_key")[0], "value": "board099.bin", "bytes": keys()[99].hex()}


@posix_only("the guide's commands are POSIX shell")
def test_a_stopped_run_resumes_with_the_guides_words(project, tmp_path_factory):
    """The first run's folder as a stop after STOPPED_AFTER devices leaves
    it: the state's journal up to them, their files, no manifests. The
    guide's --resume makes the rest, leaves the first ones' files as they
    were, and the folder is the uninterrupted run's."""
    root, _ = project
    run(project, 0)
    whole = root / "whole"
    shutil.copytree(root / "line", whole)
    folder = root / "line"
    state = (folder / "manifest.state").read_text().splitlines(keepends=True)
    head = [line for line in state if not line.startswith("device\t")]
    kept = [line for line in state if line.startswith("device\t")][:STOPPED_AFTER]
    (folder / "manifest.state").write_text("".join(head + kept))
    (folder / "manifest.json").unlink()
    (folder / "manifest.csv").unlink()
    for serial in range(1000 + STOPPED_AFTER, 1000 + DEVICES):
        for f in folder.glob(f"fw_{serial}_CRC.*"):
            f.unlink()
    before = {f.name: f.stat().st_ino for f in folder.iterdir()}
    run(project, 2)
    assert all((folder / name).stat().st_ino == ino for name, ino in before.items()
               if name.startswith("fw_"))
    for name in os.listdir(whole):
        if name != "manifest.state":
            assert (folder / name).read_bytes() == (whole / name).read_bytes(), name


@posix_only("the guide's commands are POSIX shell")
def test_check_at_the_station(project):
    """The guide's FLASH, then its two CHECKs of device 1007 with their
    lines; then the same CHECKs of a file with a flipped serial byte fail."""
    root, _ = project
    run(project, 3)
    memory, serial = device(root, "devices/fw_1007_CRC.hex", "serial_no")
    assert serial == (1007).to_bytes(4, "little")
    slot, _ = symbol(root / "fw.elf", "crc_value")
    image = bytes(memory[a] for a in range(0x08000000, slot))
    assert bytes(memory[slot + i] for i in range(4)) == \
        zlib.crc32(image).to_bytes(4, "little")
    run(project, 4)
    run(project, 5)
    # The API's words as the section gives them, on the same file.
    with open(GUIDE) as f:
        section = next(text for text in f.read().split("\n### ")
                       if text.startswith("CHECK at the station"))
    call = re.search(r"`(check\(path, stamp=.*?\))`", " ".join(section.split()))
    done = run_python("import velk_crc\npath = 'devices/fw_1007_CRC.hex'\n"
                      f"report = velk_crc.{call.group(1)}\nassert report.ok, report\n"
                      "assert report.manifest['id'] == '1007'\n", cwd=root)
    assert done.returncode == 0, done.stderr
    # The same words on device 1008's file, renamed as 1007's: the serial
    # and MAC differ, exit 1 naming them.
    shutil.copy(root / "devices" / "fw_1008_CRC.hex", root / "devices" / "fw_1007_CRC.hex")
    for index in (4, 5):
        done = run(project, index, status=1)
        assert "stamp mismatch at 0x080001F0 (serial_no)" in done.stdout + done.stderr


def test_the_python_snippet(project):
    """The snippet run as written in the project folder; a line `expr  # value`
    is an expectation."""
    root, _ = project
    lines = []
    for line in PYTHON[0].splitlines():
        expr, _, value = line.partition("#")
        lines.append(f"assert {expr.strip()} == {value.strip()}, {expr.strip()}"
                     if value and expr.strip() else line)
    done = run_python("import velk_crc\n" + "\n".join(lines), cwd=root)
    assert done.returncode == 0, done.stderr
    with open(root / "line-api" / "manifest.json") as f:
        manifest = json.load(f)
    assert len(manifest["devices"]) == DEVICES
    assert {w["name"] for w in manifest["devices"][7]["files"]} == {
        "fw_1007_CRC.elf", "fw_1007_CRC.hex", "fw_1007_CRC.bin"}
