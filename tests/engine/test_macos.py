"""The engine and its test program compile warning-free and link for macOS
with zig's clang (PyPI's ziglang), on a machine that cannot run them."""

import os
import subprocess
import sys

import pytest

from conftest import ROOT

SCRIPT = os.path.join(ROOT, "scripts", "macos_engine.sh")


@pytest.mark.parametrize(
    "target, magic",
    # One architecture here: a cold build of one takes minutes on two cores
    # (zig's cache then makes it a second); the script builds both.
    [pytest.param("aarch64-macos", b"\xcf\xfa\xed\xfe\x0c\x00\x00\x01", id="arm64")],
)
def test_engine_links_for_macos(target, magic):
    pytest.importorskip("ziglang", reason="zig comes from PyPI's ziglang")
    if not os.path.exists(SCRIPT):
        pytest.skip("the source tree's scripts are not here")
    built = subprocess.run(["bash", SCRIPT, target], cwd=ROOT, capture_output=True, text=True,
                           env={**os.environ, "PYTHON": sys.executable, "OPTIMISE": "-O0"})
    assert built.returncode == 0, built.stdout + built.stderr
    # A Mach-O 64-bit executable for the architecture asked: the magic word
    # then the CPU type, little-endian (arm64 is 0x0100000c).
    program = os.path.join(ROOT, "build-macos", target, "velk_engine_test")
    with open(program, "rb") as f:
        assert f.read(8) == magic
    # A warning would have failed the build (-Werror); it was silent.
    assert "warning" not in built.stderr
