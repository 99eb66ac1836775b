"""The command line: runmain, usage and the installed velk-crc command."""

import os
import shutil
import subprocess
import sys
import traceback

import pytest

from conftest import (DATA, crc32_mpeg2, linux_only, run_cli, run_command, runmain_exit,
                      velk_command)
from hexcheck import read_hex

USAGE = ("Usage:VELK_CRC  VELK elffile  --n[crcname]  --a[addr]{}\n"
         "--n crc variable name \n"
         "--a crc offset address \n")


@pytest.mark.parametrize("reason", [":parameters  less ", ": Must have VELK",
                                    "elf file is None", ""])
def test_usage_text(velk, capsys, reason):
    assert velk.usage(reason) is None
    assert capsys.readouterr().out == USAGE.format(reason)
    velk.usage(str=reason)
    assert capsys.readouterr().out == USAGE.format(reason)


def test_usage_refuses_non_text_before_printing(velk, capsys):
    with pytest.raises(TypeError) as info:
        velk.usage(5)
    assert capsys.readouterr().out == ""
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "VELK_CRC.usage"


@pytest.fixture
def recorded(velk, monkeypatch):
    """Replaces velk_crc_calc in the module; runmain must look it up at use."""
    calls = []

    def fake(**kwargs):
        calls.append(kwargs)
        return "result"

    monkeypatch.setattr(velk, "velk_crc_calc", fake)
    return calls


def values(varename=None, crcaddr=None, crcblock=None, elffilename="fw.elf"):
    return dict(elffilename=elffilename, varename=varename, crcaddr=crcaddr,
                crcblock=crcblock)


DISPATCH = [
    ("name", "--nchecksum_var", values(varename="checksum_var")),
    ("address", "--a0x800", values(crcaddr="0x800")),
    ("block", "--s64", values(crcblock="64")),
    ("empty-name", "--n", values(varename="")),
    ("empty-address", "--a", values(crcaddr="")),
    ("empty-block", "--s", values(crcblock="")),
    ("unknown-letter", "--x5", values()),
    ("dashes-only", "--", values()),
    ("one-dash", "-nname", values()),
    ("no-dash", "nname", values()),
    ("upper-case", "--Nname", values()),
    ("spaces-kept", "--n name ", values(varename=" name ")),
]


@pytest.mark.parametrize("word, expected", [d[1:] for d in DISPATCH],
                         ids=[d[0] for d in DISPATCH])
def test_option_word(velk, monkeypatch, capsys, recorded, word, expected):
    assert runmain_exit(velk, monkeypatch, ["prog", "VELK", "fw.elf", word]) == "result"
    assert recorded == [expected]
    assert capsys.readouterr().out == ""


def test_fifth_word_is_never_read(velk, monkeypatch, recorded):
    runmain_exit(velk, monkeypatch, ["prog", "VELK", "fw.elf", "--nname", "--a100"])
    assert recorded == [values(varename="name")]


REFUSALS = [
    ("three-words", ["prog", "VELK", "fw.elf"], ":parameters  less ", -1),
    ("empty-argv", [], ":parameters  less ", -1),
    ("short-and-wrong-mode", ["prog", "velk", "x"], ":parameters  less ", -1),
    # A mistyped mode word did not insert the checksum: a failing exit.
    ("lower-case-mode", ["prog", "velk", "fw.elf", "--nname"], ": Must have VELK", -1),
    ("other-mode", ["prog", "VELK2", "fw.elf", "--nname"], ": Must have VELK", -1),
    ("file-none", ["prog", "VELK", None, "--nname"], "elf file is None", -1),
    # VELK_CRC.runmain is VELK mode's command line: the product's modes are
    # the velk-crc command's, and here a mode word other than VELK.
    ("flash-word", ["prog", "FLASH", "fw.elf", "--nname"], ": Must have VELK", -1),
    ("check-word", ["prog", "CHECK", "fw_CRC.hex", "--a134"], ": Must have VELK", -1),
    ("help-word", ["prog", "--help"], ":parameters  less ", -1),
]


@pytest.mark.parametrize("argv, reason, code", [r[1:] for r in REFUSALS],
                         ids=[r[0] for r in REFUSALS])
def test_refusals_print_usage(velk, monkeypatch, capsys, recorded, argv, reason, code):
    assert runmain_exit(velk, monkeypatch, argv) == code
    out, err = capsys.readouterr()
    assert out == USAGE.format(reason)
    assert recorded == []
    # After the usage text, one line on standard error points further.
    assert err.count("\n") == 1 and err.startswith("hint: ")
    assert all(word in err for word in ("FLASH", "CHECK", "--help"))
    assert ("did you mean VELK?" in err) == (argv[1:2] == ["velk"] and len(argv) > 3)


def test_usage_and_sys_are_looked_up_at_use(velk, monkeypatch):
    reasons = []
    monkeypatch.setattr(velk, "usage", reasons.append)

    class FakeSys:
        argv = ["prog"]
        exits = []

        @classmethod
        def exit(cls, value):
            cls.exits.append(value)

    monkeypatch.setattr(velk, "sys", FakeSys)
    # sys.exit returned, so runmain goes on and fails indexing the short argv.
    with pytest.raises(IndexError) as info:
        velk.runmain()
    assert reasons == [":parameters  less "]
    assert FakeSys.exits == [-1]
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "VELK_CRC.runmain"


def test_exception_from_velk_crc_calc_propagates(velk, monkeypatch):
    def failing(**kwargs):
        raise RuntimeError("inner")

    monkeypatch.setattr(velk, "velk_crc_calc", failing)
    monkeypatch.setattr(sys, "argv", ["prog", "VELK", "fw.elf", "--nx"])
    with pytest.raises(RuntimeError, match="^inner$"):
        velk.runmain()


def test_missing_request_reaches_velk_crc_calc(velk, monkeypatch, capsys):
    assert runmain_exit(velk, monkeypatch, ["prog", "VELK", "fw.elf", "--x"]) == -1
    assert capsys.readouterr().out == "please Input crc calculate type and parameter\n"


@pytest.fixture
def firmware_copy(tmp_path):
    shutil.copy(os.path.join(DATA, "fw_dupsym.elf"), tmp_path / "fw.elf")
    return tmp_path


COMMANDS = [
    # id, argv, exit status, in stdout, in stderr
    ("name", ["VELK", "fw.elf", "--ncrc_value"], 0, "create new crc hex file", ""),
    ("address", ["VELK", "fw.elf", "--a0x80"], 0, "PAD 20 byte 0xFF\n", ""),
    ("block", ["VELK", "fw.elf", "--s256"], 0, "crc cal block: 256\n", ""),
    ("not-found", ["VELK", "fw.elf", "--nmissing"], 255, "missing is not found!\n", ""),
    ("bad-address", ["VELK", "fw.elf", "--a802"], 255, "multiple of 4", ""),
    ("short", ["VELK", "fw.elf"], 255, ":parameters  less \n", "hint: the modes are"),
    ("wrong-mode", ["velk", "fw.elf", "--ncrc_value"], 255, ": Must have VELK\n",
     "did you mean VELK?"),
    ("missing-file", ["VELK", "nofile.elf", "--ncrc_value"], 255, "", "Traceback"),
    ("flash", ["FLASH", "fw.elf", "--ncrc_value", "--force"], 0,
     'create new crc elf file "fw_CRC.elf".',
     ""),
    ("flash-refused", ["FLASH", "fw.elf", "--a802"], 255, "",
     "error: fw.elf: --a802: the offset must be a multiple of 4\n"),
    ("flash-missing-file", ["FLASH", "nofile.elf", "--ncrc_value"], 255, "",
     "error: nofile.elf: cannot open it: No such file or directory\n"),
    ("check-placeholder", ["CHECK", "fw.elf", "--ncrc_value"], 1, "checksum mismatch at 0x",
     ""),
    ("check-unknown-option", ["CHECK", "fw.elf", "--ncrc_value", "--x"], 2, "",
     'error: fw.elf: unknown option "--x" (velk-crc --help lists the options)\n'),
]


@pytest.mark.parametrize("args, status, printed, told", [c[1:] for c in COMMANDS],
                         ids=[c[0] for c in COMMANDS])
def test_installed_command(firmware_copy, args, status, printed, told):
    result = run_command(*args, cwd=firmware_copy)
    assert result.returncode == status
    assert printed in result.stdout
    assert told in result.stderr
    written = (firmware_copy / "fw_CRC.hex").exists()
    assert written == (status == 0 and args[0] != "CHECK")
    if args[1] == "nofile.elf" and args[0] == "VELK":
        assert result.stdout == ""
        assert result.stderr.startswith("Traceback (most recent call last):\n")
        assert 'File "VELK_CRC", line 3, in VELK_CRC.velk_crc_calc' in result.stderr
        assert result.stderr.endswith(
            "FileNotFoundError: [Errno 2] No such file or directory: 'nofile.elf'\n")
    elif status:
        assert "Traceback" not in result.stderr or args[0] == "VELK"


@pytest.mark.parametrize("name", ["fw.elf", "fw.out.elf", "firmware", ".hidden.elf"])
def test_velk_run_tells_of_earlier_flash_files(velk, monkeypatch, tmp_path, name):
    """VELK writes the HEX alone: FLASH's files for the same ELF no longer
    match it, and VELK says so on standard error (its stdout as ever)."""
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / name)
    root = os.path.splitext(str(tmp_path / name))[0]
    assert run_cli(velk, monkeypatch, "FLASH", tmp_path / name, "--ncrc_value", "--bin")[0] == 0
    code, out, err = run_cli(velk, monkeypatch, "VELK", tmp_path / name, "--ncrc_value",
                             "--words")
    assert code == 0 and out.startswith("create new crc hex file")
    assert err.splitlines()[0] == ('hint: VELK mode reads one option word; "--words" is not '
                                   "read (FLASH takes several: velk-crc --help)")
    assert err.splitlines()[-2:] == [
        f"warning: {root}{suffix} is from an earlier FLASH run: it does not match this HEX"
        for suffix in ("_CRC.elf", "_CRC.bin")]


# Every file an earlier FLASH run may have left: each kind it writes, the
# application's and the merged ones.
EARLIER_FLASH = {
    "bin": ["--bin"],
    "srec-uf2": ["--srec", "--uf2", "rp2040"],
    "merged-all": ["--bin", "--srec", "--uf2", "rp2040", "--merge", "boot.bin@0x08010000"],
}


@pytest.mark.parametrize("options", EARLIER_FLASH.values(), ids=EARLIER_FLASH.keys())
def test_velk_run_names_every_file_an_earlier_flash_run_wrote(velk, monkeypatch, tmp_path,
                                                              options):
    """Whatever FLASH left beside the ELF, the HEX VELK writes aside, is
    named once: the application's files, then the merged ones."""
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    (tmp_path / "boot.bin").write_bytes(bytes(range(64)))
    monkeypatch.chdir(tmp_path)
    code, out, _ = run_cli(velk, monkeypatch, "FLASH", "fw.elf", "--ncrc_value", *options)
    assert code == 0
    told = [line.split('"')[1] for line in out.splitlines() if line.startswith("create new")]
    left = sorted(set(os.listdir(tmp_path)) - {"fw.elf", "boot.bin", "fw_CRC.hex"})
    assert sorted(told) == sorted(left + ["fw_CRC.hex"])
    code, _, err = run_cli(velk, monkeypatch, "VELK", "fw.elf", "--ncrc_value")
    assert code == 0
    warned = [line.split()[1] for line in err.splitlines() if "earlier FLASH run" in line]
    assert warned == sorted(left, key=lambda name: ("_merged" in name, told.index(name)))


FULL = "error: cannot write to standard output: No space left on device"


@pytest.mark.parametrize("buffered", [True, False], ids=["buffered", "unbuffered"])
@pytest.mark.parametrize("args, status, told", [
    (["FLASH", "fw.elf", "--ncrc_value"], 255, FULL + "; the output files were written\n"),
    (["FLASH", "fw.elf", "--ncrc_value", "--json"], 255,
     FULL + "; the output files were written\n"),
    (["CHECK", "fw_CRC.hex", "--ncrc_value", "--elf", "fw.elf"], 2, FULL + "\n"),
    (["--list-crc"], 2, FULL + "\n"),
    (["--version"], 2, FULL + "\n"),
], ids=["flash", "flash-json", "check", "list-crc", "version"])
@linux_only("/dev/full")
def test_a_full_standard_output_is_one_error_line(tmp_path, buffered, args, status, told):
    """`> /dev/full`: the print fails at once, or the last flush does."""
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    if args[0] == "CHECK":
        assert run_command("FLASH", "fw.elf", "--ncrc_value", cwd=tmp_path).returncode == 0
    env = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
    if not buffered:
        env["PYTHONUNBUFFERED"] = "1"
    with open("/dev/full", "w") as full:
        result = subprocess.run(velk_command(*args), cwd=tmp_path, stdout=full,
                                stderr=subprocess.PIPE, text=True, env=env, timeout=60)
    assert result.returncode == status
    # With --json the report's three lines come first, on standard error.
    assert result.stderr.endswith(told)
    assert result.stderr.count("\n") == (4 if "--json" in args else 1), result.stderr
    if args[0] == "FLASH":
        image = read_hex(tmp_path / "fw_CRC.hex").bytes_at(0x08000000, 0x138)
        assert image[-4:] == crc32_mpeg2(image[:-4]).to_bytes(4, "little")
