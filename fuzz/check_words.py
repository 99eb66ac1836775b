"""Random CHECK words over FLASH's own files, a bounded count: records at
odd offsets and sizes, ranges from anywhere, --exclude, --header by address,
--crc, --words, --be, --fill, --base, --mcuboot settings at their edges.

    python fuzz/check_words.py --cases 1000 [--seed N] [--keep DIR]

Run it under the sanitizer build as fuzz/check_mutations.py is run: a case
that ends with a signal, an exit status other than 0, 1 or 2, a traceback
or a sanitizer report is a finding.
"""

import glob
import json
import os
import random
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "fuzz"))
from check_mutations import VELK, start_campaign  # noqa: E402

ALGORITHMS = ["CRC-32/MPEG-2", "CRC-24/BLE", "CRC-21/CAN-FD", "CRC-64/XZ", "CRC-8/SMBUS",
              "sum-32/words/neg", "fletcher-32", "adler-32", "sha-256", "CRC-16/XMODEM",
              "width=3,poly=0x3,init=0,refin=true,refout=true,xorout=7"]
EDGES = [0, 1, 2, 3, 4, 0x1C, 0x20, 0xFF, 0x100, 0x1FF, 0x200, 0x134, 0xFFFF, 0x10000,
         0xFFFFFFFF, 0x7FFFFFFF, 0x100000000]


def word(rng, keys):
    n = rng.random()
    hexnum = lambda: f"{rng.choice(EDGES) + rng.choice([0, 0, 1, -1, 4]) & 0xFFFFFFFFFFFF:X}"
    addr = lambda: f"0x{rng.choice([0x08000000, 0x08004000, 0x07FFFE00, 0x0800FFFF, 0, 0xFFFFFFFF]) + rng.choice(EDGES[:12]):08X}"
    if n < 0.2:
        w = "--a" + hexnum()
        if rng.random() < 0.3:
            w += "@" + addr()
        if rng.random() < 0.3:
            w += "=" + rng.choice(ALGORITHMS)
        return [w]
    if n < 0.25:
        return ["--s" + str(rng.choice([1, 2, 3, 4, 64, 256, 1024, 65536, 1 << 31, 0]))]
    if n < 0.35:
        return ["--ncrc_value" + rng.choice(["", "@" + addr(), "=" + rng.choice(ALGORITHMS)])]
    if n < 0.45:
        return ["--exclude", f"{addr()}-{addr()}" + rng.choice(["", ":crc_value", ":--a134"])]
    if n < 0.55:
        return ["--header", f"{addr()}+{rng.choice([1, 4, 16, 32, 0x100, 0xFFFF])}:" +
                rng.choice(["size@4", "size@8,crc@12,hcrc@16", "crc@0", "hcrc@4",
                            "crc@12=CRC-24/BLE", "size@0xFFFFFFFF"])]
    if n < 0.62:
        return ["--crc", rng.choice(ALGORITHMS)]
    if n < 0.68:
        return [rng.choice(["--words", "--be", "--force", "--lpc-vectors"])]
    if n < 0.72:
        return ["--fill", rng.choice(["0x00", "0xFF", "0x5A"])]
    if n < 0.76:
        return ["--base", addr()]
    settings = [rng.choice([f"key={keys['ed25519']}", f"key={keys['ec256']}", f"key={keys['rsa2048']}",
                            "key=/dev/null", ""])]
    if rng.random() < 0.5:
        settings.append(f"header=0x{rng.choice([0x20, 0x200, 0x400, 0xFFFF, 0x100]):X}")
    if rng.random() < 0.5:
        settings.append(f"slot=0x{rng.choice([1, 0x200, 0x800, 0x2000, 0x4000, 0xFFFFFFFF]):X}")
        if rng.random() < 0.5:
            settings.append(rng.choice(["pad", "confirm"]))
    return ["--mcuboot", ",".join(s for s in settings if s)]


def main():
    args, rng, work, keys, table, logs, env = start_campaign(__doc__, "velk-check-words-")
    counts = {"cases": 0, "exit0": 0, "exit1": 0, "exit2": 0, "findings": 0}
    for n in range(args.cases):
        path, words, _, elf = rng.choice(table)
        extra = []
        for _ in range(rng.choice([1, 2, 3])):
            extra += word(rng, keys)
        keep = words if rng.random() < 0.5 else [w for w in words if w.startswith("--elf")
                                                  or w.endswith(".elf")]
        cmd = [*VELK, "CHECK", path, *keep, *extra]
        for old in glob.glob(logs + "/*"):
            os.remove(old)
        try:
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=120, env=env)
            code, out = p.returncode, p.stdout + p.stderr
        except subprocess.TimeoutExpired:
            code, out = "timeout", ""
        counts["cases"] += 1
        if code in (0, 1, 2):
            counts[f"exit{code}"] += 1
        reports = glob.glob(logs + "/*")
        if code not in (0, 1, 2) or reports or "Traceback" in out:
            counts["findings"] += 1
            print(f"[{n}] exit {code}\n  $ {' '.join(cmd)}\n  {out[-1500:]}"
                  + (open(reports[0]).read()[:3000] if reports else ""), flush=True)
        if counts["cases"] % 100 == 0:
            print(json.dumps(counts), flush=True)
    print(json.dumps(counts))


if __name__ == "__main__":
    main()
