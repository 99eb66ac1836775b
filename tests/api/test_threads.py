"""FLASH and CHECK from Python threads: the engine works without the
interpreter's lock, so other threads run meanwhile, and runs on different
builds at once give the bytes each gives alone."""

import os
import random
import threading
from pathlib import Path

import pytest

import velk_crc
from elfwriter import Elf, Segment

LOAD = 0x08000000


def build(path, size, seed):
    """An image of `size` bytes of its own, ending in the checksum's slot."""
    data = random.Random(seed).randbytes(size - 4) + b"\xff" * 4
    return Elf(entry=LOAD + 1, segments=[Segment(LOAD, data, section=".text")],
               symbols=[("crc", LOAD + size - 4)]).write(path)


def test_other_threads_run_while_a_flash_works(tmp_path):
    """A 64 MiB build in a worker thread; the main thread's Python loop goes
    on while the worker's output files are being written. A run that held
    the interpreter's lock would let it count nothing in that time."""
    path = build(tmp_path / "big.elf", 64 << 20, 1)
    done, outcome = threading.Event(), []

    def work():
        try:
            outcome.append(velk_crc.flash(path, symbol="crc"))
        finally:
            done.set()

    worker = threading.Thread(target=work)
    worker.start()
    writing, counted = False, 0
    while not done.is_set():
        if writing:
            counted += 1
        else:
            writing = any(name.endswith(".tmp") for name in os.listdir(tmp_path))
    worker.join()
    assert outcome and outcome[0].ok
    assert writing and counted > 1000


def test_eight_runs_at_once_give_what_each_gives_alone(tmp_path):
    names = [f"fw{i}" for i in range(8)]
    for i, name in enumerate(names):
        (tmp_path / name).mkdir()
        build(tmp_path / name / "fw.elf", (1 << 20) + 4096 * i, 100 + i)

    def run(name):
        folder = tmp_path / name
        written = velk_crc.flash(folder / "fw.elf", symbol="crc", bin=True)
        checked = velk_crc.check(folder / "fw_CRC.hex", symbol="crc", elf=folder / "fw.elf")
        files = {f: Path(f).read_bytes() for f in written.files}
        return written.as_dict(), checked.as_dict(), files

    alone = {name: run(name) for name in names}
    for name in names:
        for f in alone[name][2]:
            os.remove(f)
    together, failures = {}, []

    def in_thread(name):
        try:
            together[name] = run(name)
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=in_thread, args=(name,)) for name in names]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert together == alone
