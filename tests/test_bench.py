import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_bench_script_runs():
    """Keeps the benchmark working; its figures are not checked here."""
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "bench.py"),
         "--sizes", "4096", "--repeat", "1"],
        capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "crcmod compiled extension in use: True" in lines
    assert sum(" KiB " in line and line.split()[2] in ("name", "address", "block")
               for line in lines) == 3
    assert any("velk-crc VELK" in line for line in lines)
