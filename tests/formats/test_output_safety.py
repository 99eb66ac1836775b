"""The HEX file appears complete or not at all, and bad inputs never hang.

Each fault runs in a child process: resource limits, signals and dropped
privileges stay out of the test process.
"""

import os
import signal
import shutil
import stat
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import (linux_only, posix_only, run_command, velk_command,
                      without_root_override)
from elfwriter import Elf, Segment
from hexcheck import hex_record, read_hex

LOAD = 0x08000000
EARLIER = ":00000001FF\n"  # a good earlier output the failed run must keep

# Stopped and failed runs are made here with POSIX's signals, permission bits,
# FIFOs and flock; the Windows platform file has the same cases in the
# engine's own test program, run under wine.
pytestmark = posix_only("signals, permission bits, FIFOs and flock")
try:
    import fcntl
except ImportError:  # Windows, where the module skips
    fcntl = None
# None where there is no hang-up signal (Windows, where the module skips).
SIGHUP = getattr(signal, "SIGHUP", None)


def firmware(folder, size=0x8000):
    folder.mkdir(exist_ok=True)
    Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(range(256)) * (size // 256))],
        symbols=[("crc", LOAD + size)]).write(folder / "fw.elf")
    (folder / "fw_CRC.hex").write_text(EARLIER)
    return folder


def child(code, *, drop_root=False, timeout=60, env=None):
    prefix = without_root_override() if drop_root else []
    return subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **(env or {})})


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
@linux_only("macOS does not enforce an address-space limit")
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


# FLASH writes a set of files: after a failed run the names hold the earlier
# set, never this run's file beside an earlier run's counterpart.
SHIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "shim",
                    "fail_io.c")
EARLIER_ELF = b"the ELF file of an earlier run"


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    if not sys.platform.startswith("linux"):
        pytest.skip("Linux only: the failing calls come in through glibc's LD_PRELOAD")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer runtime is preloaded already")
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("a C compiler builds the preload shim")
    built = tmp_path_factory.mktemp("shim") / "fail_io.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(built), SHIM, "-ldl"], check=True)
    return str(built)


def flash_firmware(folder):
    """A build whose slot is its last word, so that FLASH writes both files."""
    folder.mkdir(exist_ok=True)
    Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(range(256)) * 32, section=".text")],
        symbols=[("crc", LOAD + 0x2000 - 4)]).write(folder / "fw.elf")
    (folder / "fw_CRC.hex").write_text(EARLIER)
    return folder


def earlier_pair(folder):
    folder = flash_firmware(folder)
    (folder / "fw_CRC.elf").write_bytes(EARLIER_ELF)
    return folder


def flash_child(folder, *, env=None, drop_root=False, preload=None):
    extra = dict(env or {})
    if preload:
        extra["LD_PRELOAD"] = preload
    return run_command("FLASH", folder / "fw.elf", "--ncrc", "--force", timeout=60,
                       wrapper=without_root_override() if drop_root else [],
                       env={**os.environ, **extra})


def assert_earlier_pair(folder, result, why):
    assert result.returncode == 255, result.stderr
    assert result.stdout == ""
    assert result.stderr.startswith("error: ") and why in result.stderr
    assert result.stderr.count("\n") == 1, result.stderr
    assert (folder / "fw_CRC.hex").read_text() == EARLIER
    assert (folder / "fw_CRC.elf").read_bytes() == EARLIER_ELF
    assert left_in(folder) == ["fw.elf", "fw_CRC.elf", "fw_CRC.hex"]


@pytest.mark.parametrize("env, why", [
    ({"VELK_FAIL_FSYNC": "1"}, "fw_CRC.hex: Input/output error"),
    ({"VELK_FAIL_CLOSE": "1"}, "fw_CRC.hex: Input/output error"),
    ({"VELK_FAIL_RENAME": "_CRC.hex"}, "fw_CRC.hex: Input/output error"),
    ({"VELK_FAIL_RENAME": "_CRC.elf"}, "fw_CRC.elf: Input/output error"),
], ids=["sync-fails", "close-fails", "first-rename-fails", "second-rename-fails"])
def test_failed_commit_keeps_the_earlier_pair(tmp_path, shim, env, why):
    folder = earlier_pair(tmp_path / "out")
    assert_earlier_pair(folder, flash_child(folder, env=env, preload=shim), why)


def test_the_files_are_on_the_disk_before_their_names(tmp_path, shim):
    """Each new file is synced before any is renamed into place, and the
    folder after: after a power cut no name holds an empty file."""
    folder = earlier_pair(tmp_path / "out")
    log = tmp_path / "calls"
    result = flash_child(folder, env={"VELK_LOG_SYNC": str(log)}, preload=shim)
    assert result.returncode == 0, result.stderr
    calls = [line.split(" ") for line in log.read_text().splitlines()]
    renames = [i for i, call in enumerate(calls) if call[0] == "rename"]
    placed = {os.path.basename(calls[i][2]): os.path.basename(calls[i][1])
              for i in renames if calls[i][1].endswith(".tmp")}
    assert sorted(placed) == ["fw_CRC.elf", "fw_CRC.hex"]
    synced_first = {os.path.basename(call[1]) for call in calls[:renames[0]]
                    if call[0] == "fsync"}
    assert set(placed.values()) <= synced_first
    assert ["fsync", os.path.realpath(folder)] in calls[renames[-1]:]


def test_close_failure_keeps_the_earlier_velk_output(tmp_path, shim):
    """A write the file system reports at close() never replaces the file."""
    folder = firmware(tmp_path / "out")
    result = child(f"""
        import VELK_CRC
        try:
            VELK_CRC.velk_crc_calc({str(folder / 'fw.elf')!r}, "crc", None, None)
        except OSError as exc:
            print(exc.errno, exc.filename)
    """, env={"LD_PRELOAD": shim, "VELK_FAIL_CLOSE": "1"})
    assert result.stdout == f"5 {folder / 'fw_CRC.hex'}\n"
    assert (folder / "fw_CRC.hex").read_text() == EARLIER
    assert left_in(folder) == ["fw.elf", "fw_CRC.hex"]


def test_earlier_elf_of_another_user_keeps_the_pair(tmp_path):
    """A sticky shared folder: the earlier _CRC.elf is not ours to replace."""
    if os.geteuid() != 0:
        pytest.skip("making files of another user needs root")
    folder = earlier_pair(tmp_path / "out")
    # Writable by all, so that only the sticky folder stands in the way.
    (folder / "fw_CRC.elf").chmod(0o666)
    os.chown(folder / "fw_CRC.elf", 12345, 12345)
    os.chown(folder, 12345, 12345)
    folder.chmod(0o1777)
    assert_earlier_pair(folder, flash_child(folder, drop_root=True),
                        "fw_CRC.elf: Operation not permitted")


def test_directory_in_the_way_writes_nothing(tmp_path):
    folder = flash_firmware(tmp_path / "out")
    (folder / "fw_CRC.elf").mkdir()
    result = flash_child(folder)
    assert result.returncode == 255
    assert result.stderr == (f"error: {folder / 'fw.elf'}: cannot write "
                             f"{folder / 'fw_CRC.elf'}: Is a directory\n")
    assert (folder / "fw_CRC.hex").read_text() == EARLIER
    assert left_in(folder) == ["fw.elf", "fw_CRC.elf", "fw_CRC.hex"]


def test_directory_at_a_name_this_run_clears_is_left_alone(tmp_path):
    """Without --bin an earlier fw_CRC.bin goes; a directory of that name is
    not an earlier output."""
    folder = flash_firmware(tmp_path / "out")
    (folder / "fw_CRC.bin").mkdir()
    (folder / "fw_CRC.bin" / "kept").write_text("kept")
    result = flash_child(folder)
    assert result.returncode == 0 and "fw_CRC.bin" not in result.stderr, result.stderr
    assert (folder / "fw_CRC.bin" / "kept").read_text() == "kept"
    assert left_in(folder) == ["fw.elf", "fw_CRC.bin", "fw_CRC.elf", "fw_CRC.hex"]


def test_no_elf_this_run_removes_the_earlier_one(tmp_path):
    """The record lies in padding: no _CRC.elf can hold it, and an earlier one
    would not match the new HEX."""
    folder = earlier_pair(tmp_path / "out")
    result = run_command("FLASH", folder / "fw.elf", "--a2000", timeout=60)
    assert result.returncode == 0, result.stderr
    assert f"note: no {folder / 'fw_CRC.elf'} written (the earlier one is removed" \
        in result.stderr
    assert left_in(folder) == ["fw.elf", "fw_CRC.hex"]


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, SIGHUP])
@pytest.mark.parametrize("mode", ["FLASH", "VELK", "FLASH-merged"])
def test_termination_during_the_write_leaves_no_temporary(tmp_path, shim, signal_number,
                                                          mode):
    """kill (or a closed terminal) while the files are written: the earlier
    files stay, the temporaries go, and the process ends by that signal;
    merged files are written on a second thread, which stops too."""
    folder = earlier_pair(tmp_path / "out")
    words = [mode, folder / "fw.elf", "--a100000"]
    if mode == "FLASH-merged":
        # A bootloader far below: its merged files are as long as the application's.
        (tmp_path / "boot.hex").write_text(
            hex_record(4, 0, b"\x07\xf0") + hex_record(0, 0, bytes(16)) + hex_record(1, 0))
        words = ["FLASH", *words[1:], f"--merge={tmp_path / 'boot.hex'}"]
    proc = subprocess.Popen(velk_command(*words),
                            stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE,
                            env={**os.environ, "LD_PRELOAD": shim, "VELK_SLOW_WRITE": "200"})
    deadline = time.monotonic() + 30
    while not any(name.endswith(".tmp") for name in os.listdir(folder)):
        assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
        time.sleep(0.01)
    proc.send_signal(signal_number)
    assert proc.wait(timeout=30) == -signal_number
    proc.stderr.close()
    assert (folder / "fw_CRC.hex").read_text() == EARLIER
    assert (folder / "fw_CRC.elf").read_bytes() == EARLIER_ELF
    assert left_in(folder) == ["fw.elf", "fw_CRC.elf", "fw_CRC.hex"]


# Runs that write the same names (fw.elf and fw.axf both make fw_CRC.*) take
# turns: each pair leaves one run's set whole, and nothing hidden.
@pytest.mark.parametrize("merged", [False, True], ids=["plain", "one-merged"])
def test_runs_on_the_same_names_leave_one_whole_set(tmp_path, shim, merged):
    """With one run merging a bootloader its files come first, and still the
    two runs take the same lock."""
    folder = tmp_path / "out"
    folder.mkdir()
    (tmp_path / "boot.hex").write_text(
        hex_record(4, 0, b"\x07\xf0") + hex_record(0, 0, bytes(16)) + hex_record(1, 0))
    text = {name: bytes([fill]) * 0xFFC + b"\xff" * 4
            for name, fill in (("fw.elf", 0x11), ("fw.axf", 0x22))}
    for name, data in text.items():
        Elf(entry=LOAD + 1, segments=[Segment(LOAD, data, section=".text")],
            symbols=[("crc", LOAD + 0xFFC)]).write(folder / name)
    slow = {**os.environ, "LD_PRELOAD": shim, "VELK_SLOW_RENAME": "20"}
    for _ in range(4):
        extra = {"fw.elf": [], "fw.axf": [f"--merge={tmp_path / 'boot.hex'}"] * merged}
        runs = [subprocess.Popen(velk_command("FLASH", folder / name, "--ncrc", "--bin",
                                              *extra[name]),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 text=True, env=slow) for name in text]
        # Notes alone: the merged files' start address, an earlier run's
        # merged files removed.
        errors = "".join(run.communicate(timeout=60)[1] for run in runs)
        assert all(line.startswith("note: ") for line in errors.splitlines()), errors
        assert bool(errors) == merged
        assert [run.returncode for run in runs] == [0, 0]
        hexed = read_hex(folder / "fw_CRC.hex")
        image = bytes(hexed.memory[LOAD + i] for i in range(0x1000))
        assert (folder / "fw_CRC.bin").read_bytes() == image
        name = next(n for n, data in text.items() if data[0] == image[0])
        made = (folder / name).read_bytes().replace(text[name], image)
        assert (folder / "fw_CRC.elf").read_bytes() == made
        won_merged = extra[name] != []
        assert left_in(folder) == ["fw.axf", "fw.elf", "fw_CRC.bin", "fw_CRC.elf",
                                   "fw_CRC.hex"] + ["fw_CRC_merged.bin",
                                                    "fw_CRC_merged.hex"] * won_merged
        if won_merged:
            joined = read_hex(folder / "fw_CRC_merged.hex").memory
            assert bytes(joined[LOAD + i] for i in range(0x1000)) == image


@pytest.mark.parametrize("killed, env", [
    ("while-writing", {}),
    ("between-renames", {}),
    ("between-renames", {"VELK_FAIL_RENAME": "_CRC.hex"}),
], ids=["killed-while-writing", "killed-between-renames", "then-a-failed-commit"])
def test_next_run_clears_what_a_killed_run_left(tmp_path, shim, killed, env):
    """The next run removes the killed run's temporaries and puts back the
    earlier file its commit had moved aside: when that run fails too, the
    earlier pair stands whole."""
    folder = earlier_pair(tmp_path / "out")
    if killed == "while-writing":
        proc = subprocess.Popen(velk_command("FLASH", folder / "fw.elf", "--ncrc", "--force"),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env={**os.environ, "LD_PRELOAD": shim,
                                     "VELK_SLOW_WRITE": "200"})
        while not any(name.endswith(".tmp") for name in os.listdir(folder)):
            assert proc.poll() is None
            time.sleep(0.01)
        proc.kill()
        proc.wait()
    else:
        gone = subprocess.Popen(["true"])
        gone.wait()
        (folder / f".fw_CRC.hex.{gone.pid}-0.tmp").write_text(":10000000")
        (folder / "fw_CRC.elf").rename(folder / f".fw_CRC.elf.{gone.pid}-1.old")
    assert any(name.startswith(".") for name in os.listdir(folder))
    result = flash_child(folder, env=env, preload=shim)
    if env:
        assert_earlier_pair(folder, result, "fw_CRC.hex: Input/output error")
    else:
        assert result.returncode == 0, result.stderr
        assert left_in(folder) == ["fw.elf", "fw_CRC.elf", "fw_CRC.hex"]
        assert read_hex(folder / "fw_CRC.hex").bytes_at(LOAD, 4) == bytes(range(4))


# A run waiting for another to finish with the names answers Ctrl-C and kill
# at once, with nothing written, however long the other takes (a run stopped
# in a debugger, a build host gone to sleep).
@pytest.mark.parametrize("signal_number, after_the_note", [
    (signal.SIGINT, False),
    (signal.SIGTERM, False),
    (SIGHUP, False),
    (signal.SIGTERM, True),
], ids=["ctrl-c", "kill", "hangup", "kill-after-the-note"])
@linux_only("a run's open files are seen in /proc")
def test_a_run_waiting_for_the_names_can_be_stopped(tmp_path, signal_number,
                                                      after_the_note):
    folder = earlier_pair(tmp_path / "out")
    lock = folder / ".fw_CRC.lock"
    holder = os.open(lock, os.O_RDWR | os.O_CREAT, 0o666)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX)
        proc = subprocess.Popen(velk_command("FLASH", folder / "fw.elf", "--ncrc", "--force"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # It opens the lock file once its temporaries are written.
        deadline = time.monotonic() + 30
        while not has_open(proc.pid, lock):
            assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
            time.sleep(0.01)
        said = proc.stderr.readline() if after_the_note else ""
        proc.send_signal(signal_number)
        out, err = proc.communicate(timeout=10)
    finally:
        os.close(holder)
    assert said == (f"note: waiting for {lock}: another velk-crc run is writing these "
                    f"files\n" if after_the_note else "")
    assert proc.returncode == -signal_number
    assert out == ""
    assert err == ("error: interrupted; the output files are all new or all as they were\n"
                   if signal_number == signal.SIGINT else
                   f"error: {folder / 'fw.elf'}: terminated while waiting for {lock}; "
                   f"nothing was written\n")
    assert (folder / "fw_CRC.hex").read_text() == EARLIER
    assert (folder / "fw_CRC.elf").read_bytes() == EARLIER_ELF
    assert left_in(folder) == [".fw_CRC.lock", "fw.elf", "fw_CRC.elf", "fw_CRC.hex"]


def has_open(pid, path):
    fds = f"/proc/{pid}/fd"
    try:
        return any(os.readlink(os.path.join(fds, fd)) == str(path) for fd in os.listdir(fds))
    except OSError:  # ended, or closing files as it ends
        return False
