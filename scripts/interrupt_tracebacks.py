"""Ctrl-C at a random moment of a velk-crc run: how many runs end in a
traceback from our code instead of the one interrupted line.

    python scripts/interrupt_tracebacks.py [N] [--ms FROM TO] [--velk-crc PATH]

Each run is `velk-crc FLASH fw.elf ...` on a small build, sent SIGINT at a
random moment 0-40 ms (--ms) after it starts: in the interpreter's start-up,
the package's import, the native half's loading or the run itself. A traceback counts as ours when a
frame of it lies in the velk_crc package or VELK_CRC, or it went through
the console script's call of runmain (whose own frames a traceback leaves
out, as VELK mode's always did); those from the package's own import are
counted apart. Exits 1 when any traceback is from our code.
"""

import argparse
import collections
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from elfwriter import Elf, Segment  # noqa: E402

LOAD = 0x08000000
OUR_FRAME = re.compile(r'^  File "(?:[^"]*[/\\]velk_crc[/\\][^"]*|VELK_CRC)", line \d+',
                       re.MULTILINE)
THROUGH_RUNMAIN = re.compile(r'^  File "[^"]*", line \d+, in <module>\n\s+.*\brunmain\(\)',
                             re.MULTILINE)
THROUGH_IMPORT = re.compile(r'^  File "[^"]*", line \d+, in <module>\n\s+from velk_crc import',
                            re.MULTILINE)


def build(folder):
    Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(range(256)) * 32, section=".text")],
        symbols=[("crc", LOAD + 0x2000 - 4)]).write(os.path.join(folder, "fw.elf"))


def one_run(command, delay):
    proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)
    time.sleep(delay)
    try:
        proc.send_signal(signal.SIGINT)
    except ProcessLookupError:
        pass
    _, err = proc.communicate(timeout=60)
    return proc.returncode, err


OURS = "traceback from our code"
IMPORT = "traceback in the package's import"


def kind(status, err):
    if "Traceback (most recent call last)" not in err:
        if status == -signal.SIGINT and err.startswith("error: interrupted"):
            return "the interrupted line, ended by SIGINT"
        if status == -signal.SIGINT and not err:
            return "ended by SIGINT before the interpreter's handler"
        if status == 0:
            return "finished before the signal"
        if status == -signal.SIGINT:
            return "ended by SIGINT after the run, as the interpreter ended"
        return f"status {status}: {err.strip()[:80]!r}"
    if THROUGH_IMPORT.search(err):
        return IMPORT
    if THROUGH_RUNMAIN.search(err) or OUR_FRAME.search(err):
        return OURS
    return "traceback from the interpreter's start-up"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("runs", type=int, nargs="?", default=400)
    parser.add_argument("--ms", type=float, nargs=2, default=(0, 40), metavar=("FROM", "TO"),
                        help="when the signal goes, after the start (a slower machine "
                        "reaches our code later)")
    parser.add_argument("--velk-crc", default=shutil.which(
        "velk-crc", path=sysconfig.get_path("scripts")) or shutil.which("velk-crc"))
    parser.add_argument("--show", action="store_true", help="print each traceback of ours")
    args = parser.parse_args()
    folder = tempfile.mkdtemp()
    try:
        build(folder)
        command = [args.velk_crc, "FLASH", os.path.join(folder, "fw.elf"), "--ncrc",
                   "--force"]
        counts = collections.Counter()
        for _ in range(args.runs):
            status, err = one_run(command, random.uniform(*args.ms) / 1000)
            found = kind(status, err)
            counts[found] += 1
            if args.show and found in (OURS, IMPORT):
                print(err, file=sys.stderr)
    finally:
        shutil.rmtree(folder)
    for name, count in sorted(counts.items()):
        print(f"{count:5d}  {name}")
    print(f"{counts[OURS]} of {args.runs} runs ended in a traceback from our code, "
          f"{counts[IMPORT]} in the package's import")
    return 1 if counts[OURS] else 0


if __name__ == "__main__":
    sys.exit(main())
