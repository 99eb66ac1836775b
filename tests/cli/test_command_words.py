"""The words around a run: the usage lines every option appears in, a
mistyped option or mode word answered with what was meant, the statuses the
guide gives for them, and Ctrl-C as the console script starts a run."""

import os
import re
import signal
import subprocess
import sys

import pytest

from conftest import DATA, ROOT, posix_only, run_cli, run_command

MCUBOOT = "[--mcuboot <setting>[,<setting>...]]"


def mode_usage(text, mode):
    """The usage of `mode` in `text`: its line and those that continue it."""
    lines = text.splitlines()
    first = next(i for i, line in enumerate(lines)
                 if line.lstrip().startswith(f"velk-crc {mode} "))
    block = [lines[first]]
    for line in lines[first + 1:]:
        if not line.startswith(" " * 10) or "velk-crc" in line:
            break
        block.append(line)
    return " ".join(" ".join(block).split())


def usage_of(source):
    if source == "readme":
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            return f.read()
    done = run_command(*(["--help"] if source == "help" else []))
    return done.stdout if source == "help" else done.stderr


@pytest.mark.parametrize("mode", ["FLASH", "CHECK"])
@pytest.mark.parametrize("source", ["help", "bare-usage", "readme"])
def test_the_usage_lines_name_mcuboot(source, mode):
    assert MCUBOOT in mode_usage(usage_of(source), mode)


# The vendors' containers' options each mode's usage lines name.
VENDOR_OPTIONS = {"FLASH": ["--dfuse", "--nxp-mbi", "--esp32", "--nrf-settings"],
                  "CHECK": ["--nrf-settings"]}


@pytest.mark.parametrize("mode", ["FLASH", "CHECK"])
@pytest.mark.parametrize("source", ["help", "bare-usage", "readme"])
def test_the_usage_lines_name_the_vendors_options(source, mode):
    words = mode_usage(usage_of(source), mode).replace("[", " ").replace("]", " ").split()
    assert [w for w in VENDOR_OPTIONS[mode] if w not in words] == []


# (mode, the mistyped word, what the line says after it)
MISTYPED_OPTIONS = [
    ("FLASH", "--mcubot", "(did you mean --mcuboot?)"),
    ("CHECK", "--mcubot", "(did you mean --mcuboot?)"),
    ("FLASH", "--mcubot=key=k.pem", "(did you mean --mcuboot?)"),
    ("FLASH", "--jsno", "(did you mean --json?)"),
    ("CHECK", "--elff", "(did you mean --elf?)"),
    ("FLASH", "--forse", "(did you mean --force?)"),
    # Mistyped options that start as a --n record does: no variable's name.
    ("FLASH", "--nxp_mbi", "(did you mean --nxp-mbi?)"),
    ("FLASH", "--nrf-setings", "(did you mean --nrf-settings?)"),
    ("CHECK", "--nrf_settings=nrf52840", "(did you mean --nrf-settings?)"),
    # FLASH takes no --elf: nothing of FLASH's is near.
    ("FLASH", "--elff", "(velk-crc --help lists the options)"),
    ("FLASH", "--frobnicate", "(velk-crc --help lists the options)"),
]


@pytest.mark.parametrize("mode, word, says", MISTYPED_OPTIONS,
                         ids=[f"{m}{w.split('=')[0]}" for m, w, _ in MISTYPED_OPTIONS])
def test_a_mistyped_option_is_answered_with_the_nearest(velk, monkeypatch, mode, word, says):
    status, out, err = run_cli(velk, monkeypatch, mode, "fw.elf", "--ncrc_value", word)
    assert (status, out) == ({"FLASH": 255, "CHECK": 2}[mode], "")
    assert err == f'error: fw.elf: unknown option "{word}" {says}\n'


def capitals_hint(mode):
    return (f"hint: mode words are in capitals: did you mean {mode}? The modes are VELK, "
            "FLASH and CHECK; velk-crc --help shows every option\n")


@pytest.mark.parametrize("words, mode", [
    pytest.param(["flash"], "FLASH", id="flash-alone"),
    pytest.param(["flash", "fw.elf", "--ncrc_value"], "FLASH", id="flash"),
    pytest.param(["Check", "fw_CRC.hex", "--a134"], "CHECK", id="Check"),
    pytest.param(["fLASH", "fw.elf", "--ncrc_value", "--json"], "FLASH", id="fLASH-json"),
])
def test_a_mode_word_in_small_letters_is_the_hint_alone(velk, monkeypatch, tmp_path, words,
                                                        mode):
    monkeypatch.chdir(tmp_path)
    status, out, err = run_cli(velk, monkeypatch, *words)
    assert (status, out, err) == (255, "", capitals_hint(mode))
    assert os.listdir(tmp_path) == []
    done = run_command(*words, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (255, "", capitals_hint(mode))


def guide_status(when):
    """The status the guide's table of `main`'s statuses gives in the row
    that says `when`."""
    with open(os.path.join(ROOT, "docs", "guide.md"), encoding="utf-8") as f:
        rows = [line for line in f if line.startswith("| ") and when in line]
    assert len(rows) == 1, rows
    return int(rows[0].split("|")[1])


@pytest.mark.parametrize("words, when", [
    pytest.param([], "a bare `velk-crc`", id="bare"),
    pytest.param(["flash", "fw.elf"], "`FLASH` or `CHECK` in another letter case",
                 id="mode-in-small-letters"),
    pytest.param(["nope", "fw.elf", "--nx"], "a first word that is no mode", id="no-mode"),
])
def test_the_guide_gives_the_status_the_command_exits_with(tmp_path, words, when):
    assert run_command(*words, cwd=tmp_path).returncode == guide_status(when)


# Ctrl-C as a call begins: the signal is raised as the named function of
# velk_crc is entered, and its handler's KeyboardInterrupt comes at the first
# point the interpreter checks, before any line of that function has run.
CTRL_C_AS_CALLED = """
import runpy, signal, sys

def press_ctrl_c(frame, event, arg):
    if (event == "call" and frame.f_code.co_name == {function!r}
            and "velk_crc" in frame.f_code.co_filename):
        sys.settrace(None)
        signal.raise_signal(signal.SIGINT)

sys.argv = ["velk-crc", *{words!r}]
import velk_crc
sys.settrace(press_ctrl_c)
runpy.run_path({script!r}, run_name="__main__")
"""

SCRIPT = os.path.join(ROOT, "python", "velk-crc")
LINES = {"FLASH": "error: interrupted; the output files are all new or all as they were",
         "CHECK": "error: interrupted; no verdict", "--version": "error: interrupted",
         # A set of files a device: whole devices are left, and --resume goes on.
         "FLASH --stamp": "error: interrupted; each device's files are all in place or none "
                          "are: the same command with --resume goes on from the first device "
                          "not in place"}


@pytest.mark.parametrize("function", ["runmain", "main", "_own"])
@pytest.mark.parametrize("words", [
    pytest.param(["FLASH", "fw.elf", "--ncrc_value"], id="flash"),
    pytest.param(["CHECK", "fw.elf", "--ncrc_value"], id="check"),
    pytest.param(["FLASH", "fw.elf", "--ncrc_value", "--stamp", "0x0800001C:4=serial:1..3",
                  "--out", "line"], id="flash-devices"),
    pytest.param(["--version"], id="version"),
])
@posix_only("an interrupted run ends by SIGINT")
def test_ctrl_c_as_the_console_script_starts_the_run(tmp_path, function, words):
    with open(os.path.join(DATA, "fw_boot.elf"), "rb") as f:
        (tmp_path / "fw.elf").write_bytes(f.read())
    code = CTRL_C_AS_CALLED.format(function=function, words=words, script=SCRIPT)
    child = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                           text=True, timeout=60)
    assert (child.returncode, child.stdout, child.stderr) == (
        -signal.SIGINT, "", LINES[words[0] + (" --stamp" if "--stamp" in words else "")] + "\n")
    assert sorted(os.listdir(tmp_path)) == ["fw.elf"]
