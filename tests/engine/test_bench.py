import os
import shutil
import subprocess
import sys

from conftest import ROOT


def test_bench_script_runs():
    """Keeps the benchmark working; its figures are not checked here."""
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "bench.py"),
         "--sizes", "4096", "--repeat", "1", "--no-huge"],
        capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "crcmod compiled extension in use: True" in lines
    assert sum(" KiB " in line and line.split()[2] in ("name", "address", "block")
               for line in lines) == 3
    assert any("VELK blinky.elf --ncrc_value" in line for line in lines)
    # The CRC tables check each algorithm against crcmod, zlib or hashlib
    # before timing it.
    assert sum(line.startswith(("CRC-32/", "CRC-16/", "CRC-64/")) for line in lines) == 5 + 3
    assert sum(line.startswith(("sum-32/words ", "fletcher-32 ", "adler-32 ", "sha-256 "))
               for line in lines) == 4
    contenders = [line.split()[2] for line in lines if " KiB " in line]
    assert {"velk-crc", "fallback"} <= set(contenders)
    if shutil.which("srec_cat") and shutil.which("arm-none-eabi-objcopy"):
        # Only timed after its HEX was found equal to ours.
        assert "peer" in contenders
