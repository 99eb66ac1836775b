"""Files and streams that are not what a run expects: a FIFO or a device
named as a response file or a key (refused, never waited on or read without
end), a file far bigger than any of them, a closed standard output or one
whose reader has gone, and a key of a kind the cryptography package warns
of as it reads it."""

import os
import shutil
import subprocess
import sys
import warnings

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import dsa

from conftest import DATA, posix_only, run_command, run_python, velk_command

# FIFOs, character devices and a standard output closed or whose reader is
# gone are POSIX's.
pytestmark = posix_only("FIFOs, devices and SIGPIPE")

# A hang is what these guard against: a run that has not ended by then has
# waited for a writer or read a device without end.
BOUND = 60


@pytest.fixture
def folder(tmp_path):
    """fw.elf, a FIFO nobody writes, and files just past the bounds
    (sparse: no bytes are written)."""
    shutil.copy(os.path.join(DATA, "fw_mcuboot_app.elf"), tmp_path / "fw.elf")
    os.mkfifo(tmp_path / "fifo")
    with open(tmp_path / "huge.rsp", "wb") as f:
        f.truncate((16 << 20) + 1)
    with open(tmp_path / "huge.pem", "wb") as f:
        f.truncate((1 << 20) + 1)
    return tmp_path


FLASH = ["FLASH", "fw.elf", "--ncrc_value"]
CHECK = ["CHECK", "fw.elf", "--ncrc_value"]
SIGN = "--mcuboot", "header=0x200,key={}"

# (words, exit status, the error line after "error: fw.elf: ")
REFUSED = [
    pytest.param([*FLASH, "@fifo"], 255,
                 'cannot read the response file "fifo": not a regular file but a FIFO',
                 id="response-file-fifo"),
    pytest.param([*CHECK, "@fifo"], 2,
                 'cannot read the response file "fifo": not a regular file but a FIFO',
                 id="response-file-fifo-check"),
    pytest.param([*FLASH, "@/dev/urandom"], 255,
                 'cannot read the response file "/dev/urandom": not a regular file but a '
                 "character device", id="response-file-urandom"),
    pytest.param([*FLASH, "@huge.rsp"], 255,
                 'cannot read the response file "huge.rsp": larger than 16 MiB, more than a '
                 "response file holds", id="response-file-too-big"),
    pytest.param([*FLASH, SIGN[0], SIGN[1].format("fifo")], 255,
                 "--mcuboot: cannot read the key fifo: not a regular file but a FIFO",
                 id="key-fifo"),
    pytest.param([*FLASH, SIGN[0], SIGN[1].format("/dev/zero")], 255,
                 "--mcuboot: cannot read the key /dev/zero: not a regular file but a "
                 "character device", id="key-dev-zero"),
    pytest.param([*FLASH, SIGN[0], SIGN[1].format("huge.pem")], 255,
                 "--mcuboot: cannot read the key huge.pem: File too large",
                 id="key-too-big"),
    pytest.param([*CHECK, "--mcuboot", "key=fifo"], 2,
                 "cannot read the key fifo: not a regular file but a FIFO",
                 id="check-key-fifo"),
    pytest.param([*CHECK, "--mcuboot", "key=huge.pem"], 2,
                 "cannot read the key huge.pem: File too large", id="check-key-too-big"),
]


@pytest.mark.parametrize("words, status, line", REFUSED)
def test_a_fifo_a_device_or_a_huge_file_is_refused_at_once(folder, words, status, line):
    before = sorted(os.listdir(folder))
    done = run_command(*words, cwd=folder, timeout=BOUND)
    assert (done.returncode, done.stdout, done.stderr) == (status, "",
                                                           f"error: fw.elf: {line}\n")
    assert sorted(os.listdir(folder)) == before


API_KEY = """
import velk_crc
try:
    velk_crc.flash("fw.elf", symbol="crc_value", mcuboot={{"header": 0x200, "key": {key!r}}})
except velk_crc.Refused as refused:
    print(refused)
"""


@pytest.mark.parametrize("key, says", [
    pytest.param("fifo", "not a regular file but a FIFO", id="fifo"),
    pytest.param("/dev/zero", "not a regular file but a character device", id="dev-zero"),
])
def test_the_api_refuses_a_key_that_is_no_file(folder, key, says):
    done = run_python(API_KEY.format(key=key), cwd=folder)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"fw.elf: mcuboot: cannot read the key {key}: {says}\n"


# --- standard output --------------------------------------------------------------

def flash_files(folder):
    return {name: (folder / name).read_bytes() for name in os.listdir(folder)
            if "_CRC" in name}


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """FLASH's files from a run whose standard output was fine."""
    where = tmp_path_factory.mktemp("reference")
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), where / "fw.elf")
    done = run_command("FLASH", "fw.elf", "--ncrc_value", "--bin", cwd=where)
    assert done.returncode == 0, done.stderr
    return flash_files(where)


def closed_stdout():
    os.close(1)


def run_to(stdout, words, cwd):
    """velk-crc <words> with its standard output closed ("closed") or a pipe
    whose reader has gone ("gone"); its standard error caught."""
    if stdout == "closed":
        return subprocess.run(velk_command(*words), cwd=cwd, stderr=subprocess.PIPE,
                              text=True, timeout=BOUND, preexec_fn=closed_stdout)
    write = gone_reader()
    try:
        return subprocess.run(velk_command(*words), cwd=cwd, stdout=write,
                              stderr=subprocess.PIPE, text=True, timeout=BOUND)
    finally:
        os.close(write)


def gone_reader():
    """A pipe's writing end whose reader has closed its end."""
    read, write = os.pipe()
    os.close(read)
    return write


@pytest.mark.parametrize("stdout, why", [
    pytest.param("closed", "Bad file descriptor", id="closed"),
    pytest.param("gone", "Broken pipe", id="reader-gone"),
])
@pytest.mark.parametrize("json", [[], ["--json"]], ids=["lines", "json"])
def test_flash_whose_report_is_lost_fails_with_its_files_in_place(tmp_path, reference,
                                                                  stdout, why, json):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    words = ["FLASH", "fw.elf", "--ncrc_value", "--bin", *json]
    done = run_to(stdout, words, tmp_path)
    # Not SIGPIPE's 141, and never 0: the report the build asked for is lost.
    assert done.returncode == 255, done.stderr
    assert done.stderr.splitlines()[-1] == (
        f"error: cannot write to standard output: {why}; the output files were written")
    assert "Traceback" not in done.stderr
    assert flash_files(tmp_path) == reference
    checked = run_command("CHECK", "fw_CRC.bin", "--ncrc_value", "--elf", "fw.elf",
                          cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr


@pytest.mark.parametrize("words", [
    pytest.param(["CHECK", "fw_CRC.hex", "--ncrc_value", "--elf", "fw.elf"], id="check"),
    pytest.param(["CHECK", "fw_CRC.hex", "--ncrc_value", "--elf", "fw.elf", "--json"],
                 id="check-json"),
    pytest.param(["--help"], id="help"),
])
def test_a_closed_standard_output_is_no_verdict(tmp_path, reference, words):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    (tmp_path / "fw_CRC.hex").write_bytes(reference["fw_CRC.hex"])
    done = run_to("closed", words, tmp_path)
    assert done.returncode == 2, done.stderr
    assert done.stderr.splitlines()[-1] == (
        "error: cannot write to standard output: Bad file descriptor")


# --- a key of a kind the library is dropping --------------------------------------

@pytest.fixture(scope="module")
def dsa_key(tmp_path_factory):
    where = tmp_path_factory.mktemp("dsa")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        key = dsa.generate_private_key(key_size=1024)
        (where / "dsa.pem").write_bytes(key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption()))
        (where / "dsa-public.pem").write_bytes(key.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    return where


DSA_API = """
import velk_crc
try:
    velk_crc.{call}
except velk_crc.Error as error:
    print(error)
"""


@pytest.mark.parametrize("interpreter", [[], ["-W", "error"]], ids=["default", "W-error"])
@pytest.mark.parametrize("mode, key, kind, status, call", [
    pytest.param("FLASH", "dsa.pem", "DSAPrivateKey", 255,
                 'flash("fw.elf", symbol="crc_value", mcuboot={"header": 0x200, "key": '
                 '"dsa.pem"})', id="flash"),
    pytest.param("CHECK", "dsa-public.pem", "DSAPublicKey", 2,
                 'check("fw.elf", symbol="crc_value", mcuboot={"key": "dsa-public.pem"})',
                 id="check"),
])
def test_a_dsa_key_is_one_line_whatever_the_warning_filters(tmp_path, dsa_key, interpreter,
                                                             mode, key, kind, status, call):
    shutil.copy(os.path.join(DATA, "fw_mcuboot_app.elf"), tmp_path / "fw.elf")
    shutil.copy(dsa_key / key, tmp_path / key)
    line = (f"fw.elf: {key} holds a key of another kind ({kind}): MCUboot signs with "
            "Ed25519, ECDSA P-256 or P-384, RSA-2048 or RSA-3072")
    settings = f"key={key}" + (",header=0x200" if mode == "FLASH" else "")
    done = subprocess.run([sys.executable, *interpreter, "-m", "velk_crc", mode, "fw.elf",
                           "--ncrc_value", "--mcuboot", settings], cwd=tmp_path,
                          capture_output=True, text=True, timeout=BOUND)
    assert (done.returncode, done.stdout, done.stderr) == (status, "", f"error: {line}\n")
    done = subprocess.run([sys.executable, *interpreter, "-c", DSA_API.format(call=call)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=BOUND)
    assert (done.returncode, done.stdout, done.stderr) == (0, line + "\n", "")
