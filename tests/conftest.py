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


def _table():
    table = []
    for index in range(256):
        crc = index << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
        table.append(crc)
    return table


_TABLE = _table()


def crc32_mpeg2_fast(data: bytes, crc: int = 0xFFFFFFFF) -> int:
    """The same CRC a byte at a time, from a table made by the bitwise rule:
    for images too large for the bitwise loop."""
    for byte in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ _TABLE[(crc >> 24) ^ byte]
    return crc


def words_reversed(data: bytes) -> bytes:
    """Each 4-byte group with its bytes reversed: what a CRC unit fed
    little-endian 32-bit words takes in, most significant byte first."""
    assert len(data) % 4 == 0
    return b"".join(data[i:i + 4][::-1] for i in range(0, len(data), 4))


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


def run_cli(velk, monkeypatch, *argv):
    """velk-crc <argv> in this process: (exit status, stdout, stderr), the
    status as the shell sees it."""
    import contextlib
    import io
    monkeypatch.setattr(sys, "argv", ["velk-crc", *map(str, argv)])
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        with pytest.raises(SystemExit) as info:
            velk.runmain()
    code = info.value.code
    status = 0 if code is None else code & 0xFF
    return status, out.getvalue(), err.getvalue()
