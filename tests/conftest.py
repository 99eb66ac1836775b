import contextlib
import io
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, TESTS)

import VELK_CRC  # noqa: E402

DATA = os.path.join(TESTS, "data")
ROOT = os.path.dirname(TESTS)  # the repository


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


def installed(name):
    """The path of a tool a test runs; without it the test is skipped."""
    exe = shutil.which(name)
    if exe is None:
        pytest.skip(f"{name} is not installed (.ci/run installs it from Debian's srecord, "
                    "binutils or binutils-arm-none-eabi)")
    return exe


@pytest.fixture
def velk():
    return VELK_CRC


@pytest.fixture
def data_file():
    return lambda name: os.path.join(DATA, name)


def captured(function, *args):
    """function(*args) with its standard output and error caught:
    (result, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        result = function(*args)
    return result, out.getvalue(), err.getvalue()


def runmain_exit(velk, monkeypatch, argv):
    """runmain with sys.argv exactly `argv`, program name and all: the value
    it gave sys.exit, before the shell makes a status of it."""
    monkeypatch.setattr(sys, "argv", argv)
    with pytest.raises(SystemExit) as info:
        velk.runmain()
    return info.value.code


def run_cli(velk, monkeypatch, *argv):
    """velk-crc <argv> in this process, as the console script runs it:
    (exit status, stdout, stderr), the status as the shell sees it. VELK
    mode's words reach VELK_CRC.runmain through sys.argv."""
    import velk_crc
    monkeypatch.setattr(sys, "argv", ["velk-crc"])
    code, out, err = captured(velk_crc.main, [str(word) for word in argv])
    return code & 0xFF, out, err


def velk_command(*argv):
    """The words that start velk-crc <argv>: the command installed beside this
    interpreter (else the first on PATH), or the package run as a module
    where none is installed."""
    exe = (shutil.which("velk-crc", path=sysconfig.get_path("scripts"))
           or shutil.which("velk-crc"))
    return [*([exe] if exe else [sys.executable, "-m", "velk_crc"]), *map(str, argv)]


@pytest.fixture(scope="session")
def engine_only_build(tmp_path_factory):
    """The engine and its test program, configured without the interpreter:
    unoptimised and as few translation units as possible, which compiles
    fastest. Built once: a test build of VELK_CRC links its engine."""
    if shutil.which("cmake") is None or shutil.which("ctest") is None:
        pytest.skip("cmake is not installed")
    cxx_compiler()
    build = tmp_path_factory.mktemp("engine")
    configure = ["cmake", "-S", ROOT, "-B", str(build), "-DVELK_ENGINE_ONLY=ON",
                 "-DCMAKE_BUILD_TYPE=", "-DCMAKE_UNITY_BUILD=ON",
                 "-DCMAKE_UNITY_BUILD_BATCH_SIZE=16"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    built = subprocess.run(["cmake", "--build", str(build), "-j2"], capture_output=True,
                           text=True)
    assert built.returncode == 0, built.stdout + built.stderr
    return build


def velk_on_path(folder, *more):
    """A PATH for the guide's shell blocks: `velk-crc` the one under test (a
    script in folder/bin), then the folders `more`, then the tests' own."""
    shim = folder / "bin"
    shim.mkdir()
    script = shim / "velk-crc"
    script.write_text("#!/bin/sh\nexec " + " ".join(f"'{w}'" for w in velk_command())
                      + ' "$@"\n')
    script.chmod(0o755)
    return os.pathsep.join([str(shim), *more, os.environ.get("PATH", "")])


def guide_commands(block):
    """[(command, the lines the guide shows after it)] of a block of `$`
    lines, a command's continued lines joined."""
    out = []
    lines = iter(block.splitlines())
    for line in lines:
        if line.startswith("$ "):
            command = line[2:]
            while command.endswith("\\"):
                command = command[:-1] + next(lines).strip()
            out.append((command, []))
        elif out:
            out[-1][1].append(line)
    return out


def run_command(*argv, cwd=None, wrapper=(), **kwargs):
    """velk-crc <argv> in a child process, under `wrapper` (a command such as
    setpriv that runs the rest): the finished process, its output as text."""
    kwargs.setdefault("timeout", 120)
    return subprocess.run([*wrapper, *velk_command(*argv)], cwd=cwd, capture_output=True,
                          text=True, **kwargs)


def cxx_compiler():
    """Skips a test that builds C++ where no compiler is reachable (an
    installed wheel needs none); CMake looks for the same ones."""
    if os.name == "nt":
        # Windows' wheel is built by clang-cl inside Visual Studio's
        # environment, which a plain CMake run here does not set up; the
        # engine's Windows build is tested with mingw-w64 under wine.
        pytest.skip("Windows: the module and engine come from the wheel")
    if not any(shutil.which(name) for name in
               [os.environ.get("CXX", ""), "c++", "g++", "clang++"] if name):
        pytest.skip("no C++ compiler: the module and engine come from the wheel")


# The wheels run this suite on Windows and macOS as well. A test whose means
# are another system's (signals, permission bits, special files, /proc, the
# loader's LD_PRELOAD) skips there and says so; Linux runs every test.
def posix_only(why):
    return pytest.mark.skipif(os.name != "posix", reason=f"POSIX only: {why}")


def linux_only(why):
    return pytest.mark.skipif(not sys.platform.startswith("linux"),
                              reason=f"Linux only: {why}")


def without_root_override():
    """The words that run a command without root's permission override, as a
    build user would meet permissions; none when not root."""
    if os.name != "posix" or os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv is needed to drop root's permission override")
    return ["setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner"]


# The Windows build of the engine (scripts/windows_engine.sh) is compiled
# and run under wine in the background from the start of the session, on
# the core the other tests leave idle; its test waits for it.
WINDOWS_TOOLS = ("x86_64-w64-mingw32-g++-posix", "wine")
_windows_engine = {}


def pytest_collection_modifyitems(session, config, items):
    windows = [item for item in items if "test_windows_engine.py" in item.nodeid]
    if not windows:
        return
    # Last, so that the build has the whole session to finish in.
    items[:] = [item for item in items if item not in windows] + windows
    if any(shutil.which(tool) is None for tool in WINDOWS_TOOLS):
        return
    folder = tempfile.mkdtemp(prefix="velk-windows-")
    log = open(os.path.join(folder, "log"), "w+")
    _windows_engine.update(folder=folder, log=log)
    _windows_engine["run"] = subprocess.Popen(
        ["nice", os.path.join(ROOT, "scripts", "windows_engine.sh"),
         os.path.join(folder, "build")],
        stdout=log, stderr=subprocess.STDOUT, text=True, start_new_session=True)


def windows_engine_run():
    """The background Windows build's exit status and output; None when it
    was not started (the tools are missing)."""
    run = _windows_engine.get("run")
    if run is None:
        return None
    status = run.wait(timeout=900)
    log = _windows_engine["log"]
    log.seek(0)
    return status, log.read()


def pytest_sessionfinish(session, exitstatus):
    run = _windows_engine.get("run")
    if run is None:
        return
    if run.poll() is None:
        # The script's compilers and wine with it.
        os.killpg(run.pid, signal.SIGKILL)
        run.wait()
    _windows_engine["log"].close()
    shutil.rmtree(_windows_engine["folder"], ignore_errors=True)
