"""Devices runs stopped again and again at random points, then resumed to
their end: each must leave exactly its devices, whole and distinct, their
files matching the manifest's SHA-256 and passing our CHECK.

    python scripts/devices_resume_fuzz.py [--rounds 50] [--seed 1] [--keep DIR]

A round picks a device count, then stops the run (and each resume) one to
three times with SIGKILL, SIGINT or SIGTERM, once the folder holds a random
number of entries (temporaries, device files, the state), now and then
leaving the state with a torn last line as a power cut would; then resumes it
to its end and checks the folder (tests/devices/resume_run.py). The module
used is whatever PYTHONPATH gives, as for the tests; tests/devices/
test_resume.py runs a few fixed points of the same.
"""

import argparse
import os
import random
import shutil
import signal
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "tests", "devices"))
from resume_run import check_folder, resumed, stopped_at  # noqa: E402

SIGNALS = (signal.SIGKILL, signal.SIGINT, signal.SIGTERM)


def round_of(rng, folder, done):
    """One round, what it does said in `done` for the report of a failure."""
    count = rng.randrange(20, 110)
    done.append(f"count {count}")
    for _ in range(rng.randrange(1, 4)):
        sig = rng.choice(SIGNALS)
        names = rng.randrange(0, 2 * count + 6)
        status, err = stopped_at(folder, count, names, sig)
        done.append(f"{sig.name} at {names} entries: status {status}")
        state = os.path.join(folder, "manifest.state")
        if sig == signal.SIGKILL and os.path.exists(state) and rng.random() < 0.3:
            # A power cut in the middle of an append: the state ends in part
            # of a line, which the resume drops.
            with open(state, "ab") as f:
                f.write(b"device\t" + bytes(rng.choice(b"0123456789\t ab")
                                            for _ in range(rng.randrange(0, 60))))
            done.append("a torn line appended")
        if status not in (0, -sig, 128 + sig, 255) or "Traceback" in err:
            raise AssertionError(f"the stopped run ended badly: {err.strip()}")
    resumed(folder, count)
    check_folder(folder, count)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=50)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", help="a folder to keep each failed round's devices in")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    failed = 0
    scratch = tempfile.mkdtemp(prefix="velk-resume-")
    try:
        for n in range(args.rounds):
            folder = os.path.join(scratch, f"round{n}")
            done = []
            try:
                round_of(rng, folder, done)
                print(f"round {n}: ok ({'; '.join(done)})")
            except AssertionError as e:
                failed += 1
                print(f"round {n}: FAILED ({'; '.join(done)}): {e!r}")
                if args.keep:
                    shutil.copytree(folder, os.path.join(args.keep, f"round{n}"))
            shutil.rmtree(folder, ignore_errors=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{args.rounds - failed} of {args.rounds} rounds whole (seed {args.seed})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
