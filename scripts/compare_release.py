"""Runs two installations of velk-crc side by side over the test firmware and
many option sets, and compares what each wrote and said: every output file
byte for byte, standard output, standard error and the exit status of
FLASH, CHECK and VELK, and the report of the Python API.

    python scripts/compare_release.py OLD_PYTHON NEW_PYTHON [--runs N] [--seed S]

OLD_PYTHON and NEW_PYTHON are the interpreters of two virtual environments,
each with one release installed (its velk-crc beside it). Each option set
runs in a folder of its own for each side; the folder's name is replaced
by a placeholder before the texts are compared. Prints each difference and
the counts; exits 1 when anything differs.
"""

import argparse
import hashlib
import itertools
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "data")
sys.path.insert(0, os.path.join(ROOT, "tests"))

from elfwriter import Elf, Segment  # noqa: E402

LOAD = 0x08000000
ALGORITHMS = ["crc-8", "crc-16", "xmodem", "modbus", "kermit", "x-25", "crc-24",
              "CRC-32/ISO-HDLC", "crc-32c", "posix", "jamcrc", "CRC-32/MPEG-2", "crc-64",
              "crc-64-we", "crc-64-jones", "CRC-16/IBM-3740", "crc-8-maxim", "crc-16-dnp"]


def synthetic(folder):
    """Layouts the toolchain does not make on demand: data loaded elsewhere,
    a far segment, a slot in padding, big-endian ELF64."""
    out = {}
    rng = random.Random(5)
    code = rng.randbytes(0x200)
    out["two.elf"] = Elf(entry=LOAD + 1, segments=[
        Segment(LOAD, code[:0x100] + b"\xff" * 4, section=".text"),
        Segment(0x20000000, rng.randbytes(0x40), paddr=LOAD + 0x104, section=".data"),
        Segment(LOAD + 0x200, b"\xff" * 8, section=".crc")],
        symbols=[("crc", LOAD + 0x100), ("crc2", LOAD + 0x200), ("crc3", LOAD + 0x204),
                 ("mid", LOAD + 0x80)]).write(os.path.join(folder, "two.elf"))
    out["far.elf"] = Elf(entry=LOAD + 1, segments=[
        Segment(LOAD, code[:0x1FC] + b"\xff" * 4, section=".text"),
        Segment(0x90000000, rng.randbytes(0x20), section=".qspi")],
        symbols=[("crc", LOAD + 0x1FC)]).write(os.path.join(folder, "far.elf"))
    out["be64.elf"] = Elf(bits=64, endian=">", entry=LOAD + 1, segments=[
        Segment(LOAD, code[:0xFC] + b"\xff" * 4, section=".text")],
        symbols=[("crc", LOAD + 0xFC)]).write(os.path.join(folder, "be64.elf"))
    return out


def option_sets(rng, count):
    """(firmware, FLASH words) pairs, then CHECK words for what it wrote."""
    firmware = {
        "fw_boot.elf": ["--ncrc_value", "--a134", "--s4096", "--a200", "--ncrc_value@0x08000040"],
        "fw_data.elf": ["--ncrc_value", "--s1024"],
        "fw_clean.elf": ["--ncrc_value", "--aDC"],
        "fw_exidx.elf": ["--ncrc_value"],
        "fw_words.elf": ["--ncrc_value"],
        "fw_bootloaded_app.elf": ["--ncrc_value"],
        "fw_header_crc32.elf": ["--header app_header:size@8,crc@12,hcrc@16"],
        "fw_header_xmodem.elf": ["--header app_header:size@8,crc@12,hcrc@16"],
        "fw_aligned_vectors.elf": ["--ncrc_value"],
        "two.elf": ["--ncrc", "--ncrc --ncrc2@mid", "--ncrc3@0x08000100 --ncrc", "--ncrc2"],
        "far.elf": ["--ncrc", "--a1FC"],
        "be64.elf": ["--ncrc", "--aFC"],
    }
    extras = [[], ["--be"], ["--fill", "0x00"], ["--fill", "0x5A"], ["--bin"], ["--srec"],
              ["--uf2", "stm32f4"], ["--bin", "--srec", "--uf2", "rp2040"], ["--force"],
              ["--lpc-vectors"], ["--json"], ["--words"]]
    merges = [["--merge", os.path.join(DATA, "fw_bootloader.hex")],
              ["--merge", os.path.join(DATA, "fw_bootloader.srec")],
              ["--merge", os.path.join(DATA, "fw_bootloader.bin") + "@0x08000000"],
              ["--merge", os.path.join(DATA, "fw_bootloader.elf")]]
    out = []
    for _ in range(count):
        name = rng.choice(sorted(firmware))
        # Option units: an option and its value stay together when the
        # order is shuffled.
        selector = firmware[name][rng.randrange(len(firmware[name]))]
        units = [[w] for w in selector.split() if not w.startswith("--header")]
        if selector.startswith("--header"):
            units = [selector.split()]
        units += rng.sample(extras, rng.randrange(0, 3))
        if rng.random() < 0.3:
            units.append(["--crc", rng.choice(ALGORITHMS)])
        if name == "fw_bootloaded_app.elf" and rng.random() < 0.6:
            units.append(rng.choice(merges))
            if rng.random() < 0.3:
                units.append(["--uf2", "stm32f4"])
        if rng.random() < 0.3:
            rng.shuffle(units)
        out.append((name, [w for unit in units for w in unit]))
    return out


def run(python, argv, cwd):
    exe = os.path.join(os.path.dirname(python), "velk-crc")
    done = subprocess.run([exe, *argv], cwd=cwd, capture_output=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def files_of(folder):
    out = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                out[name] = hashlib.sha256(f.read()).hexdigest()
    return out


def checks_for(name, words, written):
    """CHECK runs over what FLASH wrote: each file with the same records,
    with and without the build."""
    records = []
    skip = False
    for w in words:
        if skip:
            skip = False
            records.append(w)
            continue
        if w in ("--crc", "--fill", "--header"):
            records.append(w)
            skip = True
        elif w.startswith(("--n", "--a", "--s", "--header")) or w in ("--be", "--words",
                                                                      "--lpc-vectors",
                                                                      "--force"):
            records.append(w)
    runs = []
    for f in written:
        if f.endswith(".elf") and not f.endswith("_CRC.elf"):
            continue
        runs.append(["CHECK", f, *records, "--elf", name])
        runs.append(["CHECK", f, *records])
    return runs


def side(python, folder, name, words):
    """FLASH, then CHECK of each file, then VELK: every outcome in order."""
    outcomes = []
    outcomes.append(run(python, ["FLASH", name, *words], folder))
    written = sorted(f for f in os.listdir(folder) if "_CRC" in f)
    outcomes.append(files_of(folder))
    for argv in checks_for(name, words, written):
        outcomes.append(run(python, argv, folder))
    selector = next((w for w in words if w.startswith(("--n", "--a", "--s")) and "@" not in w),
                    None)
    if selector:
        outcomes.append(run(python, ["VELK", name, selector], folder))
        outcomes.append(files_of(folder))
    return outcomes


# What the new release adds on purpose: each --json record's "bytes", its
# slot's bytes in hex, and "ranges", the pieces its range is made of.
ADDED = {"bytes", "ranges"}
# CHECK's line for a right header checksum field now names its algorithm:
# "app_header.crc ok: [0x...] at 0x... (CRC-32/MPEG-2, fed bytes)".
NAMED_FIELD = re.compile(rb"^(\S+\.h?crc ok: \[0x[0-9A-F]+\] at 0x[0-9A-F]+) \([^()]*\)",
                         re.MULTILINE)


def without_added(out):
    """A --json object with the intended additions taken out, and whether
    there were any."""
    try:
        report = json.loads(out)
    except ValueError:
        return out, False
    if not isinstance(report, dict):
        return out, False
    added = False
    for record in report.get("records", []):
        for key in ADDED & set(record):
            del record[key]
            added = True
    return report, added


def normalised(outcome, folder, intended):
    if isinstance(outcome, dict):
        return outcome
    status, out, err = outcome
    token = folder.encode()
    out, named = NAMED_FIELD.subn(rb"\1", out)
    out, added = without_added(out.replace(token, b"<dir>"))
    intended[0] += added or named > 0
    return status, out, err.replace(token, b"<dir>")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--runs", type=int, default=400)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    compared = differing = commands = 0
    intended = [0]  # --json objects that had additions taken out
    with tempfile.TemporaryDirectory() as top:
        made = synthetic(top)
        for number, (name, words) in enumerate(option_sets(rng, args.runs)):
            results = []
            for python in (args.old, args.new):
                folder = os.path.join(top, f"run{number}")
                os.mkdir(folder)
                source = made.get(name) or os.path.join(DATA, name)
                shutil.copy(source, os.path.join(folder, name))
                results.append([normalised(o, folder, intended)
                                for o in side(python, folder, name, words)])
                shutil.rmtree(folder)
            compared += 1
            commands += sum(1 for o in results[0] if not isinstance(o, dict))
            if results[0] != results[1]:
                differing += 1
                print(f"differs: {name} {' '.join(words)}")
                for a, b in itertools.zip_longest(*results):
                    if a != b:
                        print(f"  old: {a!r}\n  new: {b!r}")
                        break
    print(f"{compared} option sets, {commands} commands each side, {differing} differ "
          f"({intended[0]} outputs compared without the records' added "
          f"{', '.join(sorted(ADDED))} or a header field's algorithm)")
    sys.exit(1 if differing else 0)


if __name__ == "__main__":
    main()
