"""Memory bounded by the input: small files whose addresses ask for
gigabytes (holes and padding) are answered in seconds within the size of
the bare import, three times the input and a few MiB.

Each run is a child process with an address-space limit set after a warm-up
run has loaded everything the modes load.
"""

import os

import pytest

from conftest import TESTS, linux_only, run_cli, run_python
from elfwriter import Elf, Segment
from hexcheck import hex_record

LOAD = 0x08000000
SLACK = 16 << 20

pytestmark = [pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                 reason="AddressSanitizer's shadow memory needs the room"),
              linux_only("the child's size is read from /proc and bounded by RLIMIT_AS")]


def bounded(argv, input_size, warm_up):
    """velk-crc <argv> in a child limited to its size after warming up plus
    3x the input and 16 MiB: (exit status, stdout, stderr)."""
    result = run_python(f"""
import resource, sys
sys.path.insert(0, {TESTS!r})
import pytest, VELK_CRC
from conftest import run_cli

with pytest.MonkeyPatch.context() as patch:
    run_cli(VELK_CRC, patch, *{warm_up!r})
    size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
    limit = size + 3 * {input_size} + {SLACK}
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    status, out, err = run_cli(VELK_CRC, patch, *{argv!r})
sys.stdout.write(out)
sys.stderr.write(err)
sys.exit(status)
""")
    return result.returncode, result.stdout, result.stderr


def one_byte_segments(count, path):
    """`count` one-byte segments 0x10001 apart: each gap is exactly 64 KiB,
    so they are all one cluster."""
    Elf(entry=LOAD + 1, segments=[Segment(LOAD + i * 0x10001, bytes([i & 0xFF]))
                                  for i in range(count)]).write(path)
    return os.path.getsize(path)


def warm_up_elf(folder):
    path = folder / "small.elf"
    Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(64), section=".text")],
        symbols=[("crc", LOAD + 60)]).write(path)
    return path


def test_thirty_thousand_segments_are_refused_at_once(tmp_path):
    size = one_byte_segments(30000, tmp_path / "fw.elf")
    warm = ["FLASH", str(warm_up_elf(tmp_path)), "--ncrc"]
    code, out, err = bounded(["FLASH", str(tmp_path / "fw.elf"), "--a4"], size, warm)
    assert code == 255, err
    fill = 29999 * 0x10001 + 1 - 30000 - 4  # the span less the data and the record
    end = LOAD + 29999 * 0x10001 + 1
    assert err == (f"error: {tmp_path / 'fw.elf'}: the image from 0x{LOAD:08X} to "
                   f"0x{end:08X} holds {fill} bytes ({fill >> 20} MiB) of 0xFF between its "
                   "segments and up to the checksum: more than any internal flash "
                   "(--force writes it anyway)\n")
    assert sorted(os.listdir(tmp_path)) == ["fw.elf", "small.elf", "small_CRC.elf",
                                            "small_CRC.hex"]


def test_forced_fill_is_never_held_in_memory(velk, monkeypatch, tmp_path):
    """260 segments: 17 MB of 0xFF written from a 9 KB input, more than the
    limit leaves room for."""
    size = one_byte_segments(260, tmp_path / "fw.elf")
    warm = ["FLASH", str(warm_up_elf(tmp_path)), "--ncrc"]
    code, out, err = bounded(["FLASH", str(tmp_path / "fw.elf"), "--a4", "--force"], size,
                             warm)
    assert code == 0, err
    # Every byte of the build is in the HEX and the rest of the image is 0xFF.
    assert run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex", "--a4", "--elf",
                   tmp_path / "fw.elf")[0] == 0


def test_hex_of_address_records_is_checked_within_bounds(tmp_path):
    """An extended address record for every 64 KiB page of the 4 GiB space,
    one data byte each: one cluster, checked up to the offset given."""
    lines = [hex_record(0, 0, bytes([0x11, 0x22, 0x33, 0x44, 0xFF, 0xFF, 0xFF, 0xFF]))]
    lines += [hex_record(4, 0, page.to_bytes(2, "big")) + hex_record(0, 0, b"\x5a")
              for page in range(1, 0x10000)]
    path = tmp_path / "pages.hex"
    path.write_text("".join(lines) + ":00000001FF\n")
    warm = ["CHECK", str(warm_up_elf(tmp_path)), "--a4"]
    code, out, err = bounded(["CHECK", str(path), "--a4", "--json"], path.stat().st_size,
                             warm)
    assert code == 1, err
    assert '"image": {"start": 0, "end": 4294901761}' in out
