"""A devices run and CHECK of its files under a careless or hostile
production line: files gone from a folder a resume goes on in, manifests
edited by hand, names a file system would cut short. Each is refused in one
line, and nothing is left that a flashing step could take for a good set."""

import json
import os
import shutil

import pytest

import velk_crc
from conftest import posix_only, run_command, without_root_override
from stamped_build import link

FIRMWARE = r"""
#include <stdint.h>
void reset(void) { for (;;) ; }
__attribute__((section(".vectors"), used))
const uint32_t vectors[2] = {0x20001000u, (uint32_t)&reset};
__attribute__((used)) const uint32_t serial_no = 0xFFFFFFFFu;
__attribute__((section(".crc_value"), used)) const uint32_t crc_value = 0xFFFFFFFFu;
"""

DEVICES = 4
STAMP = f"serial_no=serial:1..{DEVICES}"


@pytest.fixture(scope="module")
def fw(tmp_path_factory):
    """The build, linked once by the ARM GNU toolchain, and one complete run
    of its devices that each test copies what it needs from."""
    folder = tmp_path_factory.mktemp("attack-build")
    elf, _ = link(folder, FIRMWARE)
    done = folder / "done"
    made = run_command("FLASH", elf, "--ncrc_value", "--stamp", STAMP, "--out", done)
    assert made.returncode == 0, made.stderr
    return {"elf": elf, "done": done}


def refused_in_one_line(result, status):
    assert result.returncode == status, result.stdout + result.stderr
    assert "Traceback" not in result.stderr
    assert len(result.stderr.splitlines()) == 1, result.stderr


def half_run(fw, folder, done=2):
    """A run killed after its first `done` devices were in place, before its
    manifests were: those devices' files, and a state naming them."""
    shutil.copytree(fw["done"], folder)
    os.remove(folder / "manifest.json")
    os.remove(folder / "manifest.csv")
    for n in range(done + 1, DEVICES + 1):
        os.remove(folder / f"fw_{n}_CRC.hex")
        os.remove(folder / f"fw_{n}_CRC.elf")
    lines = (fw["done"] / "manifest.state").read_bytes().split(b"\n")
    first = next(i for i, line in enumerate(lines) if line.startswith(b"device\t"))
    (folder / "manifest.state").write_bytes(b"\n".join(lines[:first + done]) + b"\n")


# A device the state names as in place whose file is gone since: a resume
# that trusted the state alone wrote a manifest naming a file that is not
# there, and said the run was complete (killed with every device in place,
# it wrote the manifests before looking).
@pytest.mark.parametrize("done", [2, DEVICES], ids=["half", "manifests-unwritten"])
@pytest.mark.parametrize("gone", ["fw_1_CRC.hex", "fw_2_CRC.elf"])
@pytest.mark.parametrize("front", ["cli", "api"])
def test_resume_refuses_a_device_whose_file_is_gone(fw, tmp_path, gone, front, done):
    folder = tmp_path / "line"
    half_run(fw, folder, done)
    os.remove(folder / gone)
    if front == "cli":
        result = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", STAMP,
                             "--out", folder, "--resume")
        refused_in_one_line(result, 255)
        message = result.stderr
    else:
        with pytest.raises(velk_crc.Refused) as refused:
            velk_crc.flash(str(fw["elf"]), symbol="crc_value", out=str(folder),
                           stamp=[("serial_no", f"serial:1..{DEVICES}")], resume=True)
        message = str(refused.value)
    assert gone in message and "is not there" in message
    assert not (folder / "manifest.json").exists()
    assert not (folder / "manifest.csv").exists()
    assert (folder / "fw_3_CRC.hex").exists() == (done == DEVICES)
    # The whole folder made again is the way on.
    again = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", STAMP,
                        "--out", folder, "--force")
    assert again.returncode == 0, again.stderr
    assert (folder / gone).read_bytes() == (fw["done"] / gone).read_bytes()


# Killed after the last device went in place, before the manifests did: a
# run without --resume once said the folder held the run "already
# complete", which a line would take for a finished set.
def test_a_run_without_its_manifests_is_not_called_complete(fw, tmp_path):
    folder = tmp_path / "line"
    half_run(fw, folder, DEVICES)
    again = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", STAMP, "--out", folder)
    refused_in_one_line(again, 255)
    assert "not its manifests: --resume writes them" in again.stderr
    assert "complete" not in again.stderr
    resumed = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", STAMP,
                          "--out", folder, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert (folder / "manifest.json").read_bytes() == (fw["done"] / "manifest.json").read_bytes()


def test_resume_with_every_file_there_goes_on(fw, tmp_path):
    folder = tmp_path / "line"
    half_run(fw, folder)
    result = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", STAMP,
                         "--out", folder, "--resume")
    assert result.returncode == 0, result.stderr
    for name in os.listdir(fw["done"]):
        assert (folder / name).read_bytes() == (fw["done"] / name).read_bytes(), name


def edited(entry, member, value):
    if member == "id":
        entry["id"] = value
    else:
        entry["files"][1]["name"] = value


# A manifest whose device names a file outside its folder, or holds an id no
# run writes (a terminal's escape sequence, bytes that are no text), was
# edited by hand: CHECK once matched the checked file's last
# name part alone and passed it, and printed the id's raw bytes.
@pytest.mark.parametrize("member, value", [
    ("name", "../done/fw_2_CRC.hex"),
    ("name", "sub/fw_2_CRC.hex"),
    ("name", "sub\\fw_2_CRC.hex"),
    ("name", "fw_2_CRC.hex\u0000.txt"),
    ("id", "2\u001b[2J"),
    ("id", "\udcff"),
], ids=["dot-dot", "folder", "backslash", "null", "escape", "not-text"])
def test_check_refuses_a_manifest_no_run_wrote(fw, tmp_path, member, value):
    manifest = json.loads((fw["done"] / "manifest.json").read_text())
    edited(manifest["devices"][1], member, value)
    shutil.copy(fw["done"] / "fw_2_CRC.hex", tmp_path / "fw_2_CRC.hex")
    path = tmp_path / "manifest.json"
    text = json.dumps(manifest)
    if value == "\udcff":  # a byte that is no UTF-8, as a damaged disk leaves it
        text = text.replace('"\\udcff"', '"\xff"')
        path.write_bytes(text.encode("latin-1"))
    else:
        path.write_text(text)
    result = run_command("CHECK", tmp_path / "fw_2_CRC.hex", "--manifest", path)
    refused_in_one_line(result, 2)
    assert "not a manifest a devices run wrote" in result.stderr
    with pytest.raises(velk_crc.CannotVerify):
        velk_crc.check(str(tmp_path / "fw_2_CRC.hex"), manifest=str(path))


# The file system's calls end a name at a null byte: out="a\0b" made and
# filled the folder "a".
def test_out_with_a_null_byte_is_refused(fw, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(velk_crc.Refused, match="null byte"):
        velk_crc.flash(str(fw["elf"]), symbol="crc_value", out="a\0b",
                       stamp=[("serial_no", "serial:1..2")])
    assert os.listdir(tmp_path) == []


SHEET = "id,sn\na,1\nb,2\nc,3\nd,4\n"


# A sheet sorted again between the kill and the resume once made devices a
# and b again in the places of c and d, and a manifest naming each twice.
@pytest.mark.parametrize("sheet", [
    "id,sn\nc,3\nd,4\na,1\nb,2\n",
    "id,sn\na,1\nb,7\nc,3\nd,4\n",
    "id,sn\nA0,9\na,1\nb,2\nc,3\n",
], ids=["sorted-again", "value-edited", "row-inserted"])
@pytest.mark.parametrize("front", ["cli", "api"])
def test_resume_refuses_values_changed_since(fw, tmp_path, monkeypatch, sheet, front):
    (tmp_path / "line.csv").write_text(SHEET)
    folder = tmp_path / "line"
    stamp = "serial_no=csv:line.csv:sn"
    first = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", stamp, "--out", folder,
                        cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    for name in ("manifest.json", "manifest.csv", "fw_c_CRC.hex", "fw_c_CRC.elf",
                 "fw_d_CRC.hex", "fw_d_CRC.elf"):
        os.remove(folder / name)
    lines = (folder / "manifest.state").read_bytes().split(b"\n")
    first_device = next(i for i, line in enumerate(lines) if line.startswith(b"device\t"))
    (folder / "manifest.state").write_bytes(b"\n".join(lines[:first_device + 2]) + b"\n")
    (tmp_path / "line.csv").write_text(sheet)
    before = sorted(os.listdir(folder))
    if front == "cli":
        result = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", stamp,
                             "--out", folder, "--resume", cwd=tmp_path)
        refused_in_one_line(result, 255)
        message = result.stderr
    else:
        monkeypatch.chdir(tmp_path)
        with pytest.raises(velk_crc.Refused) as refused:
            velk_crc.flash(str(fw["elf"]), symbol="crc_value", out="line", resume=True,
                           stamp=[("serial_no", "csv:line.csv:sn")])
        message = str(refused.value)
    assert "cannot resume" in message and "values:" in message
    assert sorted(os.listdir(folder)) == before


# A sheet whose id column is stamped as the serial: two spellings of one
# number were two ids, and two boards got the same serial.
@pytest.mark.parametrize("first, second", [("0x10", "16"), ("016", "16"), ("0x0010", "0x10")],
                         ids=["hex-decimal", "leading-zero", "hex-widths"])
@pytest.mark.parametrize("front", ["cli", "api"])
def test_one_serial_spelt_twice_in_the_id_column_is_refused(fw, tmp_path, monkeypatch,
                                                            first, second, front):
    (tmp_path / "line.csv").write_text(f"sn,batch\n1,a\n{first},b\n{second},c\n")
    monkeypatch.chdir(tmp_path)
    if front == "cli":
        result = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp",
                             "serial_no=csv:line.csv:sn", "--out", "line")
        refused_in_one_line(result, 255)
        message = result.stderr
    else:
        with pytest.raises(velk_crc.Refused) as refused:
            velk_crc.flash(str(fw["elf"]), symbol="crc_value", out="line",
                           stamp=[("serial_no", "csv:line.csv:sn")])
        message = str(refused.value)
    assert f'"{first}" and "{second}" are one value' in message
    assert "line 3 of line.csv and line 4 of line.csv" in message
    assert not (tmp_path / "line").exists()


def test_other_columns_may_repeat_a_value(fw, tmp_path, monkeypatch):
    """A batch or calibration column is not an id: boards share its values."""
    (tmp_path / "line.csv").write_text("id,trim\na,5\nb,5\n")
    monkeypatch.chdir(tmp_path)
    result = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp",
                         "serial_no=csv:line.csv:trim", "--out", "line")
    assert result.returncode == 0, result.stderr


# The API passes a null byte the command line cannot: the file system's
# calls ended the name there and read another file ("line.csv\0x" read
# line.csv).
@pytest.mark.parametrize("values", ["csv:line.csv\0x:sn", "file:keys\0x/*.bin"],
                         ids=["csv", "file"])
def test_flash_refuses_a_null_byte_in_the_values(fw, tmp_path, monkeypatch, values):
    (tmp_path / "line.csv").write_text("sn\n1\n2\n")
    (tmp_path / "keys").mkdir()
    (tmp_path / "keys" / "a.bin").write_bytes(b"\1\2\3\4")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(velk_crc.Refused, match="null byte"):
        velk_crc.flash(str(fw["elf"]), symbol="crc_value", out="line",
                       stamp=[("serial_no", values)])
    assert not (tmp_path / "line").exists()


def test_check_refuses_a_null_byte_in_a_stamp(fw, tmp_path):
    device = fw["done"] / "fw_2_CRC.hex"
    (tmp_path / "two.bin").write_bytes(b"\2\0\0\0")
    with pytest.raises(velk_crc.CannotVerify, match="null byte"):
        velk_crc.check(str(device), stamp=[("serial_no", f"file:{tmp_path / 'two.bin'}\0x")],
                       manifest=str(fw["done"] / "manifest.json"))


# Two stations started on one folder: each took the other's state and
# devices for its own, the state mixed both runs' devices, and both said
# their set was complete. The folder is held while a run lasts.
@posix_only("the test holds the folder with flock")
@pytest.mark.parametrize("resume", [False, True], ids=["new-run", "resume"])
def test_a_folder_another_run_holds_is_refused(fw, tmp_path, resume):
    import fcntl
    folder = tmp_path / "line"
    if resume:
        half_run(fw, folder)
    else:
        folder.mkdir()
    before = sorted(os.listdir(folder))
    held = os.open(folder, os.O_RDONLY)
    try:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        result = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", STAMP,
                             "--out", folder, *(["--resume"] if resume else []))
    finally:
        os.close(held)
    refused_in_one_line(result, 255)
    assert "in use by another devices run" in result.stderr
    assert sorted(os.listdir(folder)) == before
    # Once the other run is over, the folder is this one's.
    again = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", STAMP,
                        "--out", folder, *(["--resume"] if resume else []))
    assert again.returncode == 0, again.stderr
    assert sorted(os.listdir(folder)) == sorted(os.listdir(fw["done"]))


# A folder the run may not write in is refused in one line, naming the file
# it cannot write (a lock file that could not be made there once escaped as
# a C++ exception, a traceback).
@posix_only("permission bits")
@pytest.mark.parametrize("resume", [False, True], ids=["new-run", "resume"])
def test_a_read_only_folder_is_one_line(fw, tmp_path, resume):
    folder = tmp_path / "line"
    if resume:
        half_run(fw, folder)
    else:
        folder.mkdir()
    before = sorted(os.listdir(folder))
    folder.chmod(0o555)
    try:
        result = run_command("FLASH", fw["elf"], "--ncrc_value", "--stamp", STAMP,
                             "--out", folder, *(["--resume"] if resume else []),
                             wrapper=without_root_override())
    finally:
        folder.chmod(0o755)
    refused_in_one_line(result, 255)
    assert "Permission denied" in result.stderr
    assert sorted(os.listdir(folder)) == before
