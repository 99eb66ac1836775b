"""The HEX file appears complete or not at all, and bad inputs never hang.

Each fault runs in a child process: resource limits, signals and dropped
privileges stay out of the test process.
"""

import os
import shutil
import stat
import subprocess
import sys
import textwrap

import pytest

from elfwriter import Elf, Segment
from hexcheck import read_hex

LOAD = 0x08000000
EARLIER = ":00000001FF\n"  # a good earlier output the failed run must keep


def firmware(folder, size=0x8000):
    folder.mkdir(exist_ok=True)
    Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(range(256)) * (size // 256))],
        symbols=[("crc", LOAD + size)]).write(folder / "fw.elf")
    (folder / "fw_CRC.hex").write_text(EARLIER)
    return folder


def child(code, *, drop_root=False, timeout=60):
    prefix = []
    if drop_root and os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("setpriv is needed to drop root's permission override")
        prefix = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner"]
    return subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


def left_in(folder):
    return sorted(p.name for p in folder.iterdir())


def test_file_size_limit(tmp_path):
    folder = firmware(tmp_path / "out")
    result = child(f"""
        import resource, VELK_CRC
        resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))
        try:
            VELK_CRC.velk_crc_calc({str(folder / 'fw.elf')!r}, "crc", None, None)
        except OSError as exc:
            print(type(exc).__name__, exc.errno, exc.filename)
    """)
    assert result.stdout == f"OSError 27 {folder / 'fw_CRC.hex'}\n"
    assert (folder / "fw_CRC.hex").read_text() == EARLIER
    assert left_in(folder) == ["fw.elf", "fw_CRC.hex"]


def test_read_only_directory(tmp_path):
    folder = firmware(tmp_path / "out")
    folder.chmod(0o555)
    try:
        result = child(f"""
            import VELK_CRC
            try:
                VELK_CRC.velk_crc_calc({str(folder / 'fw.elf')!r}, "crc", None, None)
            except PermissionError as exc:
                print("PermissionError", exc.errno, exc.filename)
        """, drop_root=True)
    finally:
        folder.chmod(0o755)
    assert result.stdout == f"PermissionError 13 {folder / 'fw_CRC.hex'}\n"
    assert (folder / "fw_CRC.hex").read_text() == EARLIER
    assert left_in(folder) == ["fw.elf", "fw_CRC.hex"]


def test_keyboard_interrupt_during_the_write(tmp_path):
    """Ctrl-C arrives while the temporary file is being written."""
    folder = firmware(tmp_path / "out", size=0x400000)
    result = child(f"""
        import os, signal, VELK_CRC
        folder = {str(folder)!r}
        seen = []

        def interrupt(signum, frame):
            if any(name.endswith(".tmp") for name in os.listdir(folder)):
                seen.append(True)
                raise KeyboardInterrupt

        signal.signal(signal.SIGALRM, interrupt)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            VELK_CRC.velk_crc_calc(os.path.join(folder, "fw.elf"), "crc", None, None)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted while writing:", bool(seen))
        signal.setitimer(signal.ITIMER_REAL, 0)
    """)
    assert result.stdout == "interrupted while writing: True\n"
    assert (folder / "fw_CRC.hex").read_text() == EARLIER
    assert left_in(folder) == ["fw.elf", "fw_CRC.hex"]


def test_symlink_at_the_output_is_replaced(velk, tmp_path, capfd):
    folder = firmware(tmp_path / "out", size=256)
    target = tmp_path / "elsewhere.hex"
    target.write_text("not ours to write\n")
    (folder / "fw_CRC.hex").unlink()
    (folder / "fw_CRC.hex").symlink_to(target)
    assert velk.velk_crc_calc(str(folder / "fw.elf"), "crc", None, None) is None
    assert not (folder / "fw_CRC.hex").is_symlink()
    assert read_hex(folder / "fw_CRC.hex").bytes_at(LOAD, 4) == bytes(range(4))
    assert target.read_text() == "not ours to write\n"


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_new_file_permissions_follow_the_umask(tmp_path, umask):
    folder = firmware(tmp_path / "out", size=256)
    (folder / "fw_CRC.hex").unlink()
    result = child(f"""
        import os, VELK_CRC
        os.umask({umask})
        VELK_CRC.velk_crc_calc({str(folder / 'fw.elf')!r}, "crc", None, None)
    """)
    assert result.returncode == 0, result.stderr
    mode = stat.S_IMODE((folder / "fw_CRC.hex").stat().st_mode)
    assert mode == 0o666 & ~umask


def test_fifo_as_elf_file_returns_at_once(tmp_path):
    fifo = tmp_path / "fw.elf"
    os.mkfifo(fifo)
    result = child(f"""
        import VELK_CRC
        print(VELK_CRC.velk_crc_calc({str(fifo)!r}, "crc", None, None))
    """, timeout=30)
    assert result.stdout == "-1\n"
    assert result.stderr.startswith("Traceback (most recent call last):\n")
    assert result.stderr.endswith(
        f"OSError: [Errno 22] Not a regular file but a FIFO: '{fifo}'\n")


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory does not fit an address-space limit")
def test_forged_segment_size_under_a_memory_limit(tmp_path):
    """A 4 GiB p_filesz is refused before pyelftools would read it."""
    path = Elf(segments=[Segment(LOAD, bytes(64), filesz=0xFFFFFF00, memsz=0xFFFFFF00)],
               symbols=[("crc", LOAD + 0x20)]).write(tmp_path / "fw.elf")
    result = child(f"""
        import resource, VELK_CRC
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        print(VELK_CRC.velk_crc_calc({path!r}, "crc", None, None))
    """)
    assert result.stdout == 'elf error "p_filesz" runs past the end of the file!\n-1\n'
    assert not (tmp_path / "fw_CRC.hex").exists()
