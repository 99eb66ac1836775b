import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import VELK_CRC  # noqa: E402

DATA = os.path.join(os.path.dirname(__file__), "data")


def crc32_mpeg2(data: bytes) -> int:
    """Bitwise CRC-32/MPEG-2, straight from the definition."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def run_python(code: str, **kwargs) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter: start-up only happens once a process."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=120, **kwargs)


@pytest.fixture
def velk():
    return VELK_CRC


@pytest.fixture
def data_file():
    return lambda name: os.path.join(DATA, name)
