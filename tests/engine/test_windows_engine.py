"""The engine on Windows: scripts/windows_engine.sh cross-builds the engine
and its test program with mingw-w64, free of warnings, and CTest runs the
program under wine, where every check passes, the platform file's included."""

import os
import re
import shutil
import subprocess

import pytest

from conftest import ROOT

TOOLS = ("x86_64-w64-mingw32-g++-posix", "wine")


@pytest.fixture(scope="module")
def windows_run(tmp_path_factory):
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        pytest.skip(f"{' and '.join(missing)} not installed (Debian: "
                    "g++-mingw-w64-x86-64-posix, wine)")
    build = tmp_path_factory.mktemp("windows") / "build"
    return subprocess.run([os.path.join(ROOT, "scripts", "windows_engine.sh"), str(build)],
                          capture_output=True, text=True, timeout=900)


def test_the_engine_test_passes_under_wine(windows_run):
    out = windows_run.stdout + windows_run.stderr
    assert windows_run.returncode == 0, out
    counted = re.search(r"^2: engine test passed: (\d+) checks$", windows_run.stdout, re.M)
    assert counted, out
    assert int(counted.group(1)) > 1000
    assert "velk_engine_test.exe" in windows_run.stdout
    # Every platform check runs there, the read-only target's too.
    assert "platform test:" not in windows_run.stdout


def test_the_windows_build_is_free_of_warnings(windows_run):
    out = windows_run.stdout + windows_run.stderr
    assert windows_run.returncode == 0, out
    assert "warning:" not in out, out
