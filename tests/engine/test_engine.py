"""The engine of FLASH and CHECK is a C++ library with no Python in it: no
file of it includes Python.h or names the interpreter's API, and it builds
its own test program without an interpreter's headers, which CTest runs."""

import os
import re
import subprocess

import pytest

from conftest import ROOT

ENGINE = os.path.join(ROOT, "src", "engine")
PYTHON_API = re.compile(r"Python\.h|\bPy[A-Z_][A-Za-z_]*|\bPyObject\b")


def engine_sources():
    for folder, _, names in os.walk(ENGINE):
        for name in names:
            if name.endswith((".h", ".cpp")):
                yield os.path.join(folder, name)


def test_no_file_of_the_engine_reaches_for_python():
    found = []
    for path in engine_sources():
        with open(path) as f:
            for number, line in enumerate(f, 1):
                if PYTHON_API.search(line) or re.search(r'#include "[^"]*(velk|binding)/', line):
                    found.append(f"{os.path.relpath(path, ROOT)}:{number}: {line.strip()}")
    assert found == []


@pytest.fixture(scope="module")
def engine_build(engine_only_build):
    """The engine and its test program, built without the interpreter's
    headers."""
    cache = (engine_only_build / "CMakeCache.txt").read_text()
    assert "Python_INCLUDE_DIRS" not in cache
    return engine_only_build


@pytest.fixture(scope="module")
def engine_test_program(engine_build):
    return engine_build / "velk_engine_test"


# Twice: the second run starts from a fresh folder, not the first run's files.
@pytest.mark.parametrize("runs", [1, 2])
def test_ctest_runs_the_engine_test(engine_build, runs):
    for _ in range(runs):
        run = subprocess.run(["ctest", "--verbose"], cwd=engine_build,
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stdout + run.stderr
    assert re.search(r"^2: engine test passed: \d+ checks$", run.stdout, re.M), run.stdout
    assert sorted(os.listdir(engine_build / "engine_test_scratch")) == [
        "fw.elf", "fw_CRC.bin", "fw_CRC.elf", "fw_CRC.hex", "spoilt.hex"]


def test_the_engine_runs_without_an_interpreter(engine_test_program, tmp_path):
    run = subprocess.run([engine_test_program, os.path.join(ROOT, "tests", "data"),
                          tmp_path], capture_output=True, text=True, timeout=120)
    # The last line counts the checks; a check this system cannot make (a
    # read-only file, to root) says so on a line of its own before it.
    assert run.returncode == 0, run.stdout + run.stderr
    assert re.fullmatch(r"(platform test: .*\n)*engine test passed: \d+ checks\n",
                        run.stdout), run.stdout
    assert int(run.stdout.split()[-2]) > 1000
    assert sorted(os.listdir(tmp_path)) == ["fw.elf", "fw_CRC.bin", "fw_CRC.elf",
                                            "fw_CRC.hex", "spoilt.hex"]


@pytest.mark.parametrize("folders, says", [
    pytest.param(("no-such-data", "{scratch}"), "FAILED: cannot read no-such-data/fw_boot.elf: "
                 "No such file or directory (the first argument is the tests/data folder)",
                 id="no-data-folder"),
    pytest.param(("{data}", "{scratch}/no-such-folder"), "FAILED: fw.elf made",
                 id="no-scratch-folder"),
])
def test_the_engine_test_fails_with_a_line_on_bad_folders(engine_test_program, tmp_path,
                                                           folders, says):
    words = [f.format(data=os.path.join(ROOT, "tests", "data"), scratch=tmp_path)
             for f in folders]
    run = subprocess.run([engine_test_program, *words], capture_output=True, text=True,
                         timeout=120)
    # A failed check, said as such, not an abort (-6) from an exception.
    assert run.returncode == 1, run.stderr
    assert re.fullmatch(r"(platform test: .*\n)*engine test failed: \d+ checks\n",
                        run.stdout), run.stdout
    assert says in run.stderr.splitlines()
    assert "terminate called" not in run.stderr
