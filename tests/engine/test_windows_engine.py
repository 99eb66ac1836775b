"""The engine on Windows: scripts/windows_engine.sh cross-builds the engine
and its test program with mingw-w64, free of warnings, and CTest runs the
program under wine, where every check passes, the platform file's included."""

import re
import shutil

import pytest

from conftest import WINDOWS_TOOLS, windows_engine_run


@pytest.fixture(scope="module")
def windows_run():
    missing = [tool for tool in WINDOWS_TOOLS if shutil.which(tool) is None]
    if missing:
        pytest.skip(f"{' and '.join(missing)} not installed (Debian: "
                    "g++-mingw-w64-x86-64-posix, wine)")
    # Started as the session began (conftest.py).
    return windows_engine_run()


def test_the_engine_test_passes_under_wine(windows_run):
    status, out = windows_run
    assert status == 0, out
    counted = re.search(r"^2: engine test passed: (\d+) checks$", out, re.M)
    assert counted, out
    assert int(counted.group(1)) > 1000
    assert "velk_engine_test.exe" in out
    # Every platform check runs there, the read-only target's too.
    assert "platform test:" not in out


def test_the_windows_build_is_free_of_warnings(windows_run):
    status, out = windows_run
    assert status == 0, out
    assert "warning:" not in out, out
