import os
import subprocess
import sys

import pytest

from conftest import ROOT, cxx_compiler


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="atheris brings libFuzzer of its own, which the preloaded "
                           "AddressSanitizer runtime does not take")
def test_fuzz_run_finds_nothing():
    """CI fuzzes for a minute over the modes; locally a few seconds."""
    pytest.importorskip("atheris")
    seconds = 60 if os.environ.get("CI") else 6
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "fuzz", "fuzz_pipeline.py"),
         "--seconds", str(seconds)],
        capture_output=True, text=True, timeout=seconds + 300)
    assert result.returncode == 0, result.stdout + result.stderr[-4000:]
    assert [line.split(":")[0] for line in result.stdout.splitlines()] == \
        ["name", "address", "block", "flash", "check"]


CORES = sorted(f for f in os.listdir(os.path.join(ROOT, "fuzz", "cores"))
               if f.startswith("fuzz_") and f.endswith(".cpp"))


@pytest.mark.parametrize("harness", CORES)
def test_each_core_harness_compiles_against_the_engine(harness):
    """The harnesses need clang's libFuzzer to run, which CI lacks; they
    are compiled here so that an engine change that breaks one is seen."""
    cxx_compiler()
    compiler = os.environ.get("CXX", "c++")
    result = subprocess.run(
        [compiler, "-std=c++17", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
         "-I", os.path.join(ROOT, "src"), os.path.join(ROOT, "fuzz", "cores", harness)],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-4000:]
