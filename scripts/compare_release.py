"""Runs two installations of velk-crc side by side over the test firmware and
many option sets, and compares what each wrote and said: every output file
byte for byte, standard output, standard error and the exit status of
FLASH, CHECK and VELK, and the report of the Python API: unsigned runs,
signed MCUboot images with a key of each kind, the API's flash() and
check(), and mistakes a user makes.

    python scripts/compare_release.py OLD_PYTHON NEW_PYTHON [--runs N] [--seed S]

OLD_PYTHON and NEW_PYTHON are the interpreters of two virtual environments,
each with one release installed (its velk-crc beside it). Each option set
runs in a folder of its own for each side; the folder's name is replaced
by a placeholder before the texts are compared. Prints each difference and
the counts; exits 1 when anything differs.
"""

import argparse
import difflib
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


KEY_KINDS = {  # openssl genpkey words; whether the signature is the same each run
    "ed25519": (["-algorithm", "ed25519"], False),
    "p256": (["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"], True),
    "rsa2048": (["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"], True),
    "rsa3072": (["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:3072"], True),
}
SIGNED = ["header=0x200", "header=0x200,slot=0x20000,version=1.2.3+4",
          "header=0x200,slot=0x20000,pad", "header=0x200,slot=0x20000,confirm",
          "header=0x200,tlv=0xA0:01020304,dependency=1:1.0.0", "header=0x200,pubkey=full",
          "header=0x200,slot=0x20000,version=2.0.0,confirm"]


def make_keys(folder):
    os.mkdir(os.path.join(folder, "keys"))
    out = {}
    for kind, (words, _) in KEY_KINDS.items():
        out[kind] = os.path.join(folder, "keys", kind + ".pem")
        subprocess.run(["openssl", "genpkey", *words, "-out", out[kind]], check=True,
                       capture_output=True)
    return out


def signed_sets(rng, count, keys):
    """(firmware, FLASH words, random signature) of signed images."""
    out = []
    extras = [[], ["--bin"], ["--srec", "--uf2", "stm32f4"], ["--fill", "0x00"], ["--json"],
              ["--merge", os.path.join(DATA, "fw_mcuboot_loader.hex")], ["--be"]]
    for _ in range(count):
        name = rng.choice(["fw_mcuboot_app.elf", "fw_mcuboot_app_reserved.elf"])
        kind = rng.choice(sorted(KEY_KINDS))
        settings = f"key={keys[kind]}," + rng.choice(SIGNED)
        words = [[w] for w in rng.choice([["--ncrc_value"], []])]
        words += [["--mcuboot", settings]] + rng.sample(extras, rng.randrange(0, 3))
        if rng.random() < 0.3:
            rng.shuffle(words)
        out.append((name, [w for unit in words for w in unit], KEY_KINDS[kind][1]))
    return out


# Mistakes a user makes: each must be refused the same way, in the same
# words, with the same status, and write nothing.
MISTAKES = [
    ["FLASH", "fw_boot.elf", "--fil", "0x00"], ["FLASH", "fw_boot.elf", "--fill"],
    ["FLASH", "fw_boot.elf", "--fill", "0x100"], ["FLASH", "fw_boot.elf", "--fill", "zz"],
    ["FLASH", "fw_boot.elf", "--crc", "crc-33"], ["FLASH", "fw_boot.elf", "--uf2", "stm33"],
    ["FLASH", "fw_boot.elf", "--ncrc_valu"], ["FLASH", "fw_boot.elf", "--a13"],
    ["FLASH", "fw_boot.elf", "--s1000"], ["FLASH", "fw_boot.elf", "--ncrc_value", "--s4096"],
    ["FLASH", "fw_boot.elf", "--merge"], ["FLASH", "fw_boot.elf", "--merge", "nowhere.hex"],
    ["FLASH", "fw_boot.elf", "--entry", "0x"], ["FLASH", "fw_boot.elf", "--entry", "elsewhere"],
    ["FLASH", "fw_boot.elf", "--exclude", "0x08000100"],
    ["FLASH", "fw_boot.elf", "--exclude", "0x08000200-0x08000100"],
    ["FLASH", "fw_boot.elf", "--header", "nothing:crc@4"],
    ["FLASH", "fw_boot.elf", "--mcuboot", "header=0x200"],
    ["FLASH", "fw_boot.elf", "--mcuboot", "key=nokey.pem,header=0x200"],
    ["FLASH", "fw_boot.elf", "--mcuboot", "key=k.pem,header=zz"],
    ["FLASH", "fw_boot.elf", "--mcuboot", "key=k.pem,hedaer=0x200"],
    ["FLASH", "fw_boot.elf", "--ncrc_value", "--base", "0x08000000"],
    ["FLASH", "missing.elf", "--ncrc_value"], ["FLASH"], ["FLASH", "--help"],
    ["CHECK"], ["CHECK", "fw_boot.elf", "--bin"], ["CHECK", "fw_boot.elf", "--base", "zz"],
    ["CHECK", "fw_boot.elf", "--elf"], ["CHECK", "missing.hex", "--ncrc_value"],
    ["CHECK", "fw_boot.elf", "--mcuboot", "slot=0x20000,pad,confirm"],
    ["CHECK", "fw_boot.elf", "--mcuboot", "version=1.0.0"], ["CHECK", "--help"],
    ["FLASH", "fw_boot.elf", "--ncrc_value", "--uf2"], ["FLASH", "fw_boot.elf", "--be", "--be"],
    ["VELK", "fw_boot.elf"], ["VELK", "fw_boot.elf", "--fill", "0x00"], ["--help"], [],
]

# The API's calls: flash() with these keywords, then check() of each file it
# wrote with the records' keywords. Each prints its report or its error.
API_CALLS = [
    ("fw_boot.elf", {"symbol": "crc_value"}),
    ("fw_boot.elf", {"offset": 0x134, "crc": "CRC-32/ISO-HDLC", "bin": True}),
    ("fw_boot.elf", {"block": 4096, "fill": 0x00, "srec": True}),
    ("fw_boot.elf", {"symbol": ["crc_value"], "uf2": "stm32f4", "be": True}),
    ("fw_data.elf", {"symbol": "crc_value", "words": True}),
    ("fw_boot.elf", {"symbol": "crc_value@0x08000040"}),
    ("fw_header_crc32.elf", {"header": "app_header:size@8,crc@12,hcrc@16"}),
    ("fw_bootloaded_app.elf", {"symbol": "crc_value",
                               "merge": [os.path.join(DATA, "fw_bootloader.hex")]}),
    ("fw_bootloaded_app.elf", {"symbol": "crc_value", "entry": "elf",
                               "merge": [os.path.join(DATA, "fw_bootloader.bin")
                                         + "@0x08000000"]}),
    ("fw_boot.elf", {"symbol": "crc_value", "exclude": "0x08000100-0x08000200"}),
    ("fw_boot.elf", {"symbol": "crc_valu"}), ("fw_boot.elf", {"fill": 256}),
    ("fw_boot.elf", {"crc": "crc-33", "symbol": "crc_value"}),
    ("fw_boot.elf", {"offset": 0x13}), ("missing.elf", {"symbol": "crc_value"}),
    ("fw_mcuboot_app.elf", {"symbol": "crc_value", "mcuboot": {"key": "KEY", "header": 0x200}}),
    ("fw_mcuboot_app_reserved.elf", {"mcuboot": {"key": "KEY", "header": 0x200,
                                                 "slot": 0x20000, "confirm": True,
                                                 "version": "1.2.3"}}),
    ("fw_mcuboot_app.elf", {"mcuboot": {"key": "KEY", "header": "zz"}}),
    ("fw_mcuboot_app.elf", {"mcuboot": {"header": 0x200}}),
]
API_SCRIPT = r"""
import json, sys, velk_crc
name, keywords = sys.argv[1], json.loads(sys.argv[2])
def show(what, call, *args, **kw):
    try:
        report = call(*args, **kw)
        print(what, report.ok, json.dumps(report.as_dict(), sort_keys=True, default=str))
        return report
    except velk_crc.Error as e:
        print(what, type(e).__name__, e, json.dumps(e.report, sort_keys=True, default=str)
              if getattr(e, "report", None) is not None else None)
    except (TypeError, ValueError) as e:
        print(what, type(e).__name__, e)
report = show("flash", velk_crc.flash, name, **keywords)
records = {k: v for k, v in keywords.items()
           if k in ("symbol", "offset", "block", "header", "crc", "fill", "be", "words")}
if "mcuboot" in keywords:
    records["mcuboot"] = {k: v for k, v in keywords["mcuboot"].items()
                          if k in ("key", "header", "slot", "confirm")}
if report is not None:
    for written in report.as_dict().get("files", []):
        path = written["path"] if isinstance(written, dict) else str(written)
        if not path.endswith("_CRC.elf"):
            show("check " + path, velk_crc.check, path, elf=name, **records)
"""


def api_side(python, folder, name, keywords, key):
    if "mcuboot" in keywords and "key" in keywords["mcuboot"]:
        keywords = dict(keywords, mcuboot=dict(keywords["mcuboot"], key=key))
    done = subprocess.run([python, "-c", API_SCRIPT, name, json.dumps(keywords)], cwd=folder,
                          capture_output=True, timeout=300)
    return [(done.returncode, done.stdout, done.stderr), files_of(folder)]


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


def check_settings(words):
    """CHECK's --mcuboot settings for what FLASH's signed: the key, the
    header's size, the slot and its trailer."""
    if "--mcuboot" not in words:
        return []
    settings = words[words.index("--mcuboot") + 1].split(",")
    kept = [s for s in settings
            if s.split("=")[0] in ("key", "header", "slot", "pad", "confirm")]
    return ["--mcuboot", ",".join(kept)]


def side(python, folder, name, words):
    """FLASH, then CHECK of each file, then VELK: every outcome in order."""
    outcomes = []
    outcomes.append(run(python, ["FLASH", name, *words], folder))
    written = sorted(f for f in os.listdir(folder) if "_CRC" in f)
    outcomes.append(files_of(folder))
    signed = check_settings(words)
    for argv in checks_for(name, words, written):
        outcomes.append(run(python, argv + signed, folder))
        if signed:
            outcomes.append(run(python, argv + ["--mcuboot"], folder))
    selector = next((w for w in words if w.startswith(("--n", "--a", "--s")) and "@" not in w),
                    None)
    if selector:
        outcomes.append(run(python, ["VELK", name, selector], folder))
        outcomes.append(files_of(folder))
    return outcomes


# What a run's --json (or the API's report) may hold differently on purpose
# between the two releases: the signed image's object, which FLASH and
# CHECK now write in one shape. A key named here is taken out of both
# objects before they are compared, and the run is counted as compared
# without it.
ADDED = {"mcuboot"}
# Signatures made with a random nonce (ECDSA, RSA-PSS) differ from run to
# run: their runs compare the files' names and every CHECK over them, and
# long hex strings in the texts are masked.
HEX = re.compile(rb"[0-9a-fA-F]{64,}")
# A .bin's trailing bytes that equal erased flash are not told from fill:
# how many bytes a signed .bin holds past the build follows the signature's
# last bytes.
HELD = re.compile(rb"holds \d+ bytes")


def without_added(out):
    """A --json object (or each line's trailing object: the API's reports)
    with the intended differences taken out, and whether there were any."""
    try:
        report = json.loads(out)
    except ValueError:
        lines, added = [], False
        for line in out.split(b"\n"):
            at = line.find(b"{")
            if at >= 0:
                inner, more = without_added(line[at:])
                if more:
                    line, added = line[:at] + json.dumps(inner, sort_keys=True).encode(), True
            lines.append(line)
        return b"\n".join(lines), added
    if not isinstance(report, dict):
        return out, False
    added = False
    for key in ADDED & set(report):
        del report[key]
        added = True
    return report, added


def normalised(outcome, folder, intended, random_signature):
    if isinstance(outcome, dict):
        return sorted(outcome) if random_signature else outcome
    status, out, err = outcome
    token = folder.encode()
    out, err = out.replace(token, b"<dir>"), err.replace(token, b"<dir>")
    if random_signature:
        out, err = HEX.sub(b"<hex>", out), HEX.sub(b"<hex>", err)
        out, err = HELD.sub(b"holds <n> bytes", out), HELD.sub(b"holds <n> bytes", err)
    out, added = without_added(out)
    intended[0] += added
    return status, out, err


def textwise(a, b):
    """The lines in which two outcomes differ, as a diff (a few of them)."""
    lines = [repr(x).replace("\\n", "\n").splitlines() for x in (a, b)]
    diff = difflib.unified_diff(*lines, "old", "new", n=0, lineterm="")
    return "\n".join("  " + line[:200] for line in itertools.islice(diff, 2, 24))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--runs", type=int, default=400)
    parser.add_argument("--signed", type=int, default=60)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    compared = differing = commands = 0
    intended = [0]  # --json objects that had additions taken out
    with tempfile.TemporaryDirectory() as top:
        made = synthetic(top)
        keys = make_keys(top)
        cases = [("flash", name, words, False) for name, words in option_sets(rng, args.runs)]
        cases += [("flash", *case) for case in signed_sets(rng, args.signed, keys)]
        cases += [("mistake", "fw_boot.elf", argv, False) for argv in MISTAKES]
        for kind in sorted(KEY_KINDS):
            cases += [("api", name, (kw, keys[kind]), KEY_KINDS[kind][1])
                      for name, kw in API_CALLS
                      if "mcuboot" in kw or kind == "ed25519"]
        for number, (how, name, words, random_signature) in enumerate(cases):
            results = []
            for python in (args.old, args.new):
                folder = os.path.join(top, f"run{number}")
                os.mkdir(folder)
                for source in {made.get(name) or os.path.join(DATA, name),
                               os.path.join(DATA, "fw_boot.elf")}:
                    if os.path.exists(source):
                        shutil.copy(source, os.path.join(folder, os.path.basename(source)))
                if how == "flash":
                    outcomes = side(python, folder, name, words)
                elif how == "api":
                    outcomes = api_side(python, folder, name, *words)
                else:
                    outcomes = [run(python, words, folder), files_of(folder)]
                results.append([normalised(o, folder, intended, random_signature)
                                for o in outcomes])
                shutil.rmtree(folder)
            compared += 1
            commands += sum(1 for o in results[0] if not isinstance(o, (dict, list)))
            if results[0] != results[1]:
                differing += 1
                print(f"differs: {how} {name} {words}")
                for a, b in itertools.zip_longest(*results):
                    if a != b:
                        print(textwise(a, b))
                        break
    print(f"{compared} cases, {commands} commands each side, {differing} differ "
          f"({intended[0]} --json objects compared without "
          f"{', '.join(sorted(ADDED)) or 'nothing'})")
    sys.exit(1 if differing else 0)


if __name__ == "__main__":
    main()
