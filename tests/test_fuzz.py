import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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
