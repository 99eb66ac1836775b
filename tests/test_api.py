"""The Python API (velk_crc.flash, check, main) against the velk-crc command line.

The command line is the reference: every API run here is set beside the
installed velk-crc command on its own copy of the same firmware folder, and
the files, the --json object, the error line and the exit status must agree.
"""

import copy
import json
import os
import pickle
import shutil
import signal
import subprocess
import sys
import textwrap
from importlib import metadata

import pytest

import velk_crc
from conftest import (DATA, crc32_mpeg2, run_command, run_python, velk_command,
                      words_reversed)
from hexcheck import read_hex
from hexcheck import flip_hex_byte

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "examples")

# What a build step pays for on every run: none of these may be imported by
# the package or by a FLASH or CHECK run (VELK mode is theirs by design).
NEVER_IMPORTED = {"elftools", "intelhex", "traceback", "VELK_CRC"}

USAGE = ("Usage:VELK_CRC  VELK elffile  --n[crcname]  --a[addr]:parameters  less \n"
         "--n crc variable name \n"
         "--a crc offset address \n")

NOT_AN_ELF = "checksum goes here\n"


def velk_crc_run(*words, cwd, env=None):
    """velk-crc <words> in a child process: (exit status, stdout, stderr)."""
    result = run_command(*words, cwd=cwd, env=env)
    return result.returncode, result.stdout, result.stderr


def firmware_folder(folder, *names):
    folder.mkdir()
    for name in names:
        source = os.path.join(EXAMPLES if name == "blinky.elf" else DATA, name)
        shutil.copy(source, folder / name)
    (folder / "notes.txt").write_text(NOT_AN_ELF)
    return folder


def contents(folder):
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir())}


@pytest.fixture
def built(tmp_path):
    """A folder after the FLASH runs a build does (by symbol, by block, fed
    words) and a HEX with one image byte flipped and its record checksum
    kept right, so only the CRC can tell."""
    folder = firmware_folder(tmp_path / "built", "fw_boot.elf", "fw_words.elf",
                             "fw_data.elf")
    shutil.copy(folder / "fw_boot.elf", folder / "fw_block.elf")
    velk_crc.flash(folder / "fw_boot.elf", symbol="crc_value", srec=True)
    velk_crc.flash(folder / "fw_block.elf", block=1024)
    velk_crc.flash(folder / "fw_words.elf", symbol="crc_value", words=True)
    shutil.copy(folder / "fw_boot_CRC.hex", folder / "flipped.hex")
    flip_hex_byte(folder / "flipped.hex", 0x08000010)
    return folder


# --- 1. What a run imports ----------------------------------------------------

CHILD_RUNS = [
    pytest.param("None", None, id="import-only"),
    pytest.param('velk_crc.main(["FLASH", "fw_boot.elf", "--ncrc_value", "--bin", "--srec",'
                 ' "--json"])', 0, id="flash"),
    pytest.param('velk_crc.main(["FLASH", "fw_boot.elf", "--a134", "--words"])', 0,
                 id="flash-offset-words"),
    pytest.param('velk_crc.main(["CHECK", "fw_boot_CRC.hex", "--a134"])', 0, id="check"),
    pytest.param('velk_crc.main(["CHECK", "fw_boot_CRC.hex", "--ncrc_value", "--elf",'
                 ' "fw_boot.elf", "--json"])', 0, id="check-elf"),
    pytest.param('velk_crc.main(["CHECK", "flipped.hex", "--ncrc_value", "--elf",'
                 ' "fw_boot.elf"])', 1, id="check-mismatch"),
    pytest.param('velk_crc.main(["--help"])', 0, id="help"),
    pytest.param('velk_crc.main(["--version"])', 0, id="version"),
    pytest.param('velk_crc.main(["FLASH", "missing.elf", "--ncrc_value"])', 255,
                 id="flash-refused"),
    pytest.param('velk_crc.main(["FLASH", "notes.txt", "--ncrc_value"])', 255,
                 id="flash-refused-not-elf"),
    pytest.param('velk_crc.main(["CHECK", "fw_boot_CRC.hex", "--ncrc_value"])', 2,
                 id="check-refused"),
    pytest.param('velk_crc.flash("fw_boot.elf", symbol="crc_value", srec=True).verdict',
                 "written", id="api-flash"),
    pytest.param('velk_crc.check("fw_boot_CRC.hex", symbol="crc_value",'
                 ' elf="fw_boot.elf").verdict', "ok", id="api-check-elf"),
    pytest.param('velk_crc.check("flipped.hex", offset=0x134).verdict', "mismatch",
                 id="api-check-mismatch"),
]


@pytest.mark.parametrize("statement, result", CHILD_RUNS)
def test_a_run_imports_none_of_the_package_layers(built, statement, result):
    # Only what the package brought in counts: the interpreter's own
    # start-up (site, .pth files) is left out by the difference.
    code = textwrap.dedent(f"""
        import sys
        before = set(sys.modules)
        import velk_crc
        try:
            result = {statement}
        except velk_crc.Error as error:
            result = type(error).__name__
        sys.stdout.flush()
        print()
        print(repr(result), " ".join(sorted(set(sys.modules) - before)))
    """)
    child = run_python(code, cwd=built)
    assert child.returncode == 0, child.stderr
    last = child.stdout.splitlines()[-1]
    shown, _, modules = last.partition(" ")
    imported = set(modules.split())
    assert shown == repr(result)
    # The native half comes with the first call that needs it.
    assert ("velk_crc" if result is None else "velk_crc._core") in imported
    assert {name.split(".")[0] for name in imported} & NEVER_IMPORTED == set()


CONSOLE_RUNS = [
    pytest.param(["FLASH", "fw_boot.elf", "--ncrc_value", "--srec", "--json"], 0,
                 id="flash"),
    pytest.param(["CHECK", "fw_boot_CRC.hex", "--ncrc_value", "--elf=fw_boot.elf"], 0,
                 id="check-elf"),
    pytest.param(["--help"], 0, id="help"),
    pytest.param(["FLASH", "fw_boot.elf", "--nnot_there"], 255, id="flash-refused"),
    pytest.param(["CHECK", "notes.txt", "--a0"], 2, id="check-refused"),
]


@pytest.mark.parametrize("words, status", CONSOLE_RUNS)
def test_the_console_script_imports_none_of_the_package_layers(built, words, status):
    # The interpreter lists every module it imports on standard error, the
    # console script's own imports included.
    env = {**os.environ, "PYTHONPROFILEIMPORTTIME": "1"}
    code, _, err = velk_crc_run(*words, cwd=built, env=env)
    assert code == status, err
    imported = {line.split("|")[-1].strip() for line in err.splitlines()
                if line.startswith("import time:")}
    assert "velk_crc._core" in imported
    assert {name.split(".")[0] for name in imported} & NEVER_IMPORTED == set()


# --- 2. VELK mode through the console script -----------------------------------

DIRECT_VELK = ["-c", "import sys, VELK_CRC; sys.argv[0] = 'velk-crc'; VELK_CRC.runmain()"]

VELK_RUNS = [
    # VELK's statuses: 0 written, 255 refused with one reason, 1 an error
    # shown with its traceback.
    pytest.param(["VELK", "fw_boot.elf", "--ncrc_value"], 0, id="written"),
    pytest.param([], 255, id="no-words"),
    pytest.param(["VELK"], 255, id="mode-word-only"),
    pytest.param(["VELK", "fw_boot.elf"], 255, id="no-selector"),
    pytest.param(["velk", "fw_boot.elf", "--ncrc_value"], 255, id="lower-case-mode"),
    pytest.param(["VELK", "missing.elf", "--ncrc_value"], 255, id="missing-file"),
    pytest.param(["VELK", "fw_boot.elf", "--nnot_there"], 255, id="name-not-found"),
    pytest.param(["VELK", "fw_boot.elf", "--a3"], 255, id="offset-not-multiple-of-4"),
    pytest.param(["VELK", "notes.txt", "--ncrc_value"], 1, id="not-elf-traceback"),
]


def without_entry_frames(text):
    """A traceback less the frames of the program that was started: the
    console script's `<module>` (and runpy's, for python -m) against
    python -c's `<string>`. They are the one thing the two ways in may differ
    in; every frame under them, the package's left out, must be the same."""
    lines = text.splitlines(keepends=True)
    kept, i = [], 0
    while i < len(lines):
        kept.append(lines[i])
        i += 1
        if kept[-1] != "Traceback (most recent call last):\n":
            continue
        while i < len(lines) and (lines[i].endswith(", in <module>\n")
                                  or lines[i].startswith('  File "<frozen runpy>"')):
            i += 1
            while i < len(lines) and lines[i].startswith("    "):
                i += 1
    return "".join(kept)


@pytest.mark.parametrize("words, status", VELK_RUNS)
def test_velk_mode_runs_as_it_did_before_the_package(tmp_path, words, status):
    script = firmware_folder(tmp_path / "script", "fw_boot.elf")
    direct = firmware_folder(tmp_path / "direct", "fw_boot.elf")
    # Both at once: they share nothing but the firmware they were copied from.
    children = [
        subprocess.Popen(velk_command(*words), cwd=script, text=True,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE),
        subprocess.Popen([sys.executable, *DIRECT_VELK, *words], cwd=direct, text=True,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE),
    ]
    (script_out, script_err), (direct_out, direct_err) = (
        child.communicate(timeout=60) for child in children)
    assert children[0].returncode == children[1].returncode == status
    assert script_out == direct_out
    assert without_entry_frames(script_err) == without_entry_frames(direct_err)
    assert os.path.join("velk_crc", "__init__.py") not in script_err
    assert contents(script) == contents(direct)


# --- 3. The API against the command line -------------------------------------------

FLASH_RUNS = [
    pytest.param("fw_boot.elf", dict(symbol="crc_value"), ["--ncrc_value"], id="symbol"),
    pytest.param("fw_words.elf", dict(symbol="crc_value", words=True),
                 ["--ncrc_value", "--words"], id="symbol-words"),
    pytest.param("fw_data.elf", dict(symbol="crc_value", bin=True, srec=True),
                 ["--ncrc_value", "--bin", "--srec"], id="symbol-bin-srec"),
    pytest.param("fw_boot.elf", dict(offset=0x134), ["--a134"], id="offset"),
    pytest.param("blinky.elf", dict(offset=0xD0, words=True, bin=True),
                 ["--aD0", "--words", "--bin"], id="offset-words-bin"),
    # The record lands in the 0xFF padding: no ELF is written.
    pytest.param("fw_boot.elf", dict(block=1024), ["--s1024"], id="block"),
    pytest.param("fw_boot.elf", dict(block=512, srec=True, words=True),
                 ["--s512", "--srec", "--words"], id="block-srec-words"),
    pytest.param("fw_boot.elf", dict(symbol="reset_handler", force=True),
                 ["--nreset_handler", "--force"], id="forced-function-slot"),
]


@pytest.mark.parametrize("elf, options, words", FLASH_RUNS)
def test_flash_writes_what_the_command_writes(tmp_path, monkeypatch, elf, options, words):
    command = firmware_folder(tmp_path / "command", elf)
    api = firmware_folder(tmp_path / "api", elf)
    status, out, err = velk_crc_run("FLASH", elf, *words, "--json", cwd=command)
    assert status == 0, err
    monkeypatch.chdir(api)
    report = velk_crc.flash(elf, **options)
    assert report.ok and report.verdict == "written"
    assert report.as_dict() == json.loads(out)
    assert contents(api) == contents(command)
    assert set(contents(api)) == {elf, "notes.txt", *report.files}
    # The checksum in the HEX is the CRC of the image up to its record.
    assert report.feed == ("words" if options.get("words") else "bytes")
    image = read_hex(api / report.files[0])
    start, record = report.image["start"], report.record
    covered = bytes(image.memory.get(address, 0xFF) for address in range(start, record))
    if report.feed == "words":
        covered = words_reversed(covered)
    assert report.checksum == crc32_mpeg2(covered)
    assert image.bytes_at(record, 4) == report.checksum.to_bytes(4, "little")


CHECK_RUNS = [
    pytest.param("fw_boot_CRC.hex", dict(offset=0x134), ["--a134"], "ok", id="hex-offset"),
    pytest.param("fw_boot_CRC.hex", dict(symbol="crc_value", elf="fw_boot.elf"),
                 ["--ncrc_value", "--elf", "fw_boot.elf"], "ok", id="hex-symbol-elf"),
    pytest.param("fw_boot_CRC.elf", dict(symbol="crc_value"), ["--ncrc_value"], "ok",
                 id="elf-symbol"),
    pytest.param("fw_boot_CRC.srec", dict(symbol="crc_value", elf="fw_boot.elf"),
                 ["--ncrc_value", "--elf=fw_boot.elf"], "ok", id="srec-symbol-elf"),
    pytest.param("fw_block_CRC.hex", dict(block=1024, elf="fw_block.elf"),
                 ["--s1024", "--elf", "fw_block.elf"], "ok", id="hex-block-elf"),
    pytest.param("fw_words_CRC.hex", dict(symbol="crc_value", elf="fw_words.elf", words=True),
                 ["--ncrc_value", "--elf", "fw_words.elf", "--words"], "ok",
                 id="hex-words-elf"),
    pytest.param("flipped.hex", dict(offset=0x134), ["--a134"], "mismatch",
                 id="flipped-byte"),
    pytest.param("flipped.hex", dict(symbol="crc_value", elf="fw_boot.elf"),
                 ["--ncrc_value", "--elf", "fw_boot.elf"], "mismatch",
                 id="flipped-byte-elf"),
    pytest.param("fw_boot.elf", dict(symbol="crc_value"), ["--ncrc_value"], "mismatch",
                 id="linker-output-placeholder"),
    pytest.param("fw_boot_CRC.hex", dict(offset=0x134, words=True), ["--a134", "--words"],
                 "mismatch", id="bytes-build-checked-as-words"),
    pytest.param("fw_boot_CRC.hex", dict(symbol="crc_value", elf="fw_data.elf"),
                 ["--ncrc_value", "--elf", "fw_data.elf"], "mismatch", id="other-build"),
]


@pytest.mark.parametrize("path, options, words, verdict", CHECK_RUNS)
def test_check_gives_the_verdict_of_the_command(built, tmp_path, monkeypatch, path,
                                                options, words, verdict):
    command = shutil.copytree(built, tmp_path / "command")
    api = shutil.copytree(built, tmp_path / "api")
    status, out, err = velk_crc_run("CHECK", path, *words, "--json", cwd=command)
    assert status == {"ok": 0, "mismatch": 1}[verdict], err
    monkeypatch.chdir(api)
    report = velk_crc.check(path, **options)
    assert (report.verdict, report.ok) == (verdict, verdict == "ok")
    assert report.as_dict() == json.loads(out)
    assert contents(api) == contents(built) == contents(command)
    if path.endswith(".hex"):
        stored = read_hex(api / path).bytes_at(report.record, 4)
        assert report.stored == int.from_bytes(stored, "little")
    if verdict == "ok":
        assert report.checksum == report.stored


# --- 4. Refusals -------------------------------------------------------------------

REFUSALS = [
    pytest.param("flash", "missing.elf", dict(symbol="crc_value"), ["--ncrc_value"],
                 id="flash-missing-file"),
    pytest.param("flash", "fw_boot.elf", dict(symbol="not_there"), ["--nnot_there"],
                 id="flash-name-not-found"),
    pytest.param("flash", "fw_boot.elf", dict(offset=3), ["--a3"],
                 id="flash-offset-not-multiple-of-4"),
    pytest.param("flash", "fw_boot.elf", dict(offset=-4), ["--a-4"],
                 id="flash-negative-offset"),
    pytest.param("flash", "fw_boot.elf", dict(offset=0x08000134), ["--a8000134"],
                 id="flash-absolute-address-as-offset"),
    pytest.param("flash", "fw_boot.elf", dict(block=1000), ["--s1000"],
                 id="flash-block-not-power-of-two"),
    pytest.param("flash", "notes.txt", dict(symbol="crc_value"), ["--ncrc_value"],
                 id="flash-not-elf"),
    pytest.param("flash", "fw_boot.elf", dict(symbol="reset_handler"), ["--nreset_handler"],
                 id="flash-function-as-slot"),
    pytest.param("check", "fw_boot_CRC.hex", dict(symbol="crc_value"), ["--ncrc_value"],
                 id="check-hex-symbol-without-elf"),
    pytest.param("check", "fw_block_CRC.hex", dict(block=1024), ["--s1024"],
                 id="check-hex-block-without-elf"),
    pytest.param("check", "missing.hex", dict(offset=0x134), ["--a134"],
                 id="check-missing-file"),
    pytest.param("check", "fw_boot_CRC.hex", dict(symbol="crc_value", elf="missing.elf"),
                 ["--ncrc_value", "--elf", "missing.elf"], id="check-missing-elf"),
    pytest.param("check", "fw_boot_CRC.elf", dict(symbol="not_there"), ["--nnot_there"],
                 id="check-name-not-found"),
    pytest.param("check", "fw_boot_CRC.elf", dict(offset=3), ["--a3"],
                 id="check-offset-not-multiple-of-4"),
    pytest.param("check", "notes.txt", dict(offset=0), ["--a0"], id="check-not-a-firmware-file"),
    pytest.param("check", "fw_boot_CRC.hex", dict(symbol="crc_value", elf="fw_boot_CRC.hex"),
                 ["--ncrc_value", "--elf", "fw_boot_CRC.hex"], id="check-hex-as-the-build"),
]


@pytest.mark.parametrize("function, path, options, words", REFUSALS)
def test_refusal_raises_with_the_command_line_reason(built, tmp_path, monkeypatch, function,
                                                     path, options, words):
    error, status = {"flash": (velk_crc.Refused, 255), "check": (velk_crc.CannotVerify, 2)}[
        function]
    command = shutil.copytree(built, tmp_path / "command")
    api = shutil.copytree(built, tmp_path / "api")
    code, out, err = velk_crc_run(function.upper(), path, *words, "--json", cwd=command)
    assert code == status
    assert err.startswith("error: ") and err.count("\n") == 1, err
    monkeypatch.chdir(api)
    with pytest.raises(velk_crc.Error) as info:
        getattr(velk_crc, function)(path, **options)
    assert type(info.value) is error
    assert str(info.value) == err[len("error: "):-1]
    report = info.value.report
    assert (report.verdict, report.ok, report.files) == ("error", False, [])
    assert report.as_dict() == json.loads(out)
    # The earlier outputs in the folder are untouched and nothing was added.
    assert contents(api) == contents(built) == contents(command)


# --- 5. Argument errors -------------------------------------------------------------

TYPE_ERRORS = [
    pytest.param("flash", ("fw_boot.elf",), {}, "exactly one of symbol=, offset= or block=",
                 id="flash-no-selector"),
    pytest.param("check", ("fw_boot_CRC.hex",), dict(elf="fw_boot.elf"),
                 "exactly one of symbol=, offset= or block=", id="check-no-selector"),
    pytest.param("flash", ("fw_boot.elf",), dict(symbol="crc_value", offset=0x134),
                 "symbol and offset given", id="flash-two-selectors"),
    pytest.param("check", ("fw_boot_CRC.hex",), dict(offset=0x134, block=1024),
                 "offset and block given", id="check-two-selectors"),
    pytest.param("flash", ("fw_boot.elf",), dict(offset=True), "offset must be an int",
                 id="bool-offset"),
    pytest.param("check", ("fw_boot_CRC.hex",), dict(block=False), "block must be an int",
                 id="bool-block"),
    pytest.param("flash", ("fw_boot.elf",), dict(offset=308.0), "offset must be an int",
                 id="float-offset"),
    pytest.param("flash", ("fw_boot.elf",), dict(offset="134"), "offset must be an int",
                 id="text-offset"),
    pytest.param("flash", ("fw_boot.elf",), dict(symbol=b"crc_value"), "symbol must be a str",
                 id="bytes-symbol"),
    pytest.param("check", ("fw_boot_CRC.elf",), dict(symbol=0x08000134),
                 "symbol must be a str", id="int-symbol"),
    pytest.param("flash", (3,), dict(symbol="crc_value"), "elf must be a path",
                 id="int-as-elf"),
    pytest.param("check", (None,), dict(offset=0x134), "path must be a path",
                 id="none-as-path"),
    pytest.param("check", ("fw_boot_CRC.hex",), dict(symbol="crc_value", elf=["fw_boot.elf"]),
                 "elf must be a path", id="list-as-elf"),
    pytest.param("flash", ("fw_boot.elf", "crc_value"), {}, "positional argument",
                 id="positional-selector"),
]


@pytest.mark.parametrize("function, args, options, complaint", TYPE_ERRORS)
def test_argument_errors_raise_type_error_before_any_file(built, monkeypatch, capfd,
                                                          function, args, options, complaint):
    before = contents(built)
    monkeypatch.chdir(built)
    with pytest.raises(TypeError, match=complaint):
        getattr(velk_crc, function)(*args, **options)
    assert contents(built) == before
    assert capfd.readouterr() == ("", "")


def test_paths_may_be_path_objects_or_bytes(built, monkeypatch):
    monkeypatch.chdir(built)
    by_text = velk_crc.check("fw_boot_CRC.hex", symbol="crc_value", elf="fw_boot.elf")
    by_path = velk_crc.check(built / "fw_boot_CRC.hex", symbol="crc_value",
                             elf=built / "fw_boot.elf")
    by_bytes = velk_crc.check(b"fw_boot_CRC.hex", symbol="crc_value", elf=b"fw_boot.elf")
    assert by_text.ok and by_path.ok and by_bytes.ok
    assert by_bytes.as_dict() == by_text.as_dict()
    assert (by_path.input, by_path.elf) == (str(built / "fw_boot_CRC.hex"),
                                            str(built / "fw_boot.elf"))


def test_a_report_cannot_be_changed_through_its_dict(built, monkeypatch):
    monkeypatch.chdir(built)
    report = velk_crc.flash("fw_boot.elf", symbol="reset_handler", force=True)
    first = report.as_dict()
    first["verdict"] = "error"
    first["image"]["start"] = 0
    first["warnings"].clear()
    second = report.as_dict()
    assert (second["verdict"], second["image"]["start"]) == ("written", 0x08000000)
    assert second["warnings"] and second["warnings"] == report.warnings
    with pytest.raises(AttributeError):
        report.checksum = 0
    # CHECK's key is not FLASH's: asking for it is an AttributeError.
    assert not hasattr(report, "stored")


COPIES = [
    pytest.param(copy.copy, id="copy"),
    pytest.param(copy.deepcopy, id="deepcopy"),
    pytest.param(lambda value: pickle.loads(pickle.dumps(value)), id="pickle"),
]


@pytest.mark.parametrize("duplicate", COPIES)
def test_a_report_survives_copy_and_pickle(built, monkeypatch, duplicate):
    # A build that checksums several targets in worker processes gets each
    # report back pickled.
    monkeypatch.chdir(built)
    report = velk_crc.check("fw_boot_CRC.hex", symbol="crc_value", elf="fw_boot.elf")
    again = duplicate(report)
    assert type(again) is velk_crc.Report
    assert again.as_dict() == report.as_dict() and again.ok


@pytest.mark.parametrize("duplicate", COPIES)
def test_a_refusal_survives_copy_and_pickle(built, monkeypatch, duplicate):
    monkeypatch.chdir(built)
    with pytest.raises(velk_crc.Refused) as info:
        velk_crc.flash("fw_boot.elf", symbol="not_there")
    again = duplicate(info.value)
    assert type(again) is velk_crc.Refused and str(again) == str(info.value)
    assert again.report.as_dict() == info.value.report.as_dict()


# --- 6. Nothing printed ---------------------------------------------------------------

QUIET_RUNS = [
    pytest.param("flash", "fw_boot.elf", dict(symbol="reset_handler", force=True),
                 "written", id="forced-with-warnings"),
    pytest.param("check", "fw_boot_CRC.hex", dict(symbol="crc_value", elf="fw_data.elf"),
                 "mismatch", id="mismatch-with-a-note"),
    pytest.param("flash", "fw_boot.elf", dict(symbol="reset_handler"), "error",
                 id="flash-refused"),
    pytest.param("check", "fw_boot_CRC.hex", dict(symbol="crc_value"), "error",
                 id="check-refused"),
]


@pytest.mark.parametrize("function, path, options, verdict", QUIET_RUNS)
def test_the_functions_print_nothing(built, monkeypatch, capfd, function, path, options,
                                     verdict):
    monkeypatch.chdir(built)
    try:
        report = getattr(velk_crc, function)(path, **options)
    except velk_crc.Error as error:
        report = error.report
        assert report.message == str(error)
    assert capfd.readouterr() == ("", "")
    assert report.verdict == verdict
    if verdict == "written":
        # What the command line prints as warning: and note: lines.
        assert any("is not a 4-byte checksum variable" in line for line in report.warnings)
        assert any("not covered by the checksum" in line for line in report.notes)
    if verdict == "mismatch":
        assert report.difference["address"] == 0x08000001
        assert any("fw_data.elf does not" in line for line in report.notes)


# --- 7. main() ------------------------------------------------------------------------

MAIN_RUNS = [
    pytest.param(["FLASH", "fw_boot.elf", "--ncrc_value"], 0,
                 'create new crc hex file "fw_boot_CRC.hex".\n', id="flash-written"),
    pytest.param(["FLASH", "fw_boot.elf", "--nnot_there"], 255, "", id="flash-refused"),
    pytest.param(["CHECK", "fw_boot_CRC.hex", "--a134"], 0, "checksum ok: ", id="check-ok"),
    pytest.param(["CHECK", "flipped.hex", "--a134"], 1, "checksum mismatch at 0x08000134",
                 id="check-mismatch"),
    pytest.param(["CHECK", "fw_boot_CRC.hex", "--ncrc_value"], 2, "", id="check-refused"),
    pytest.param([b"CHECK", b"fw_boot_CRC.hex", b"--a134"], 0, "checksum ok: ",
                 id="bytes-words"),
    pytest.param(["--help"], 0, "velk-crc: a CRC-32/MPEG-2 checksum", id="help"),
    pytest.param(["--version"], 0, f"velk-crc {metadata.version('velk-crc')}\n",
                 id="version"),
    pytest.param(["VELK", "fw_boot.elf", "--ncrc_value"], 0,
                 'create new crc hex file "fw_boot_CRC.hex".\n', id="velk-written"),
    pytest.param(["VELK"], 255, USAGE, id="velk-usage"),
    pytest.param([], 255, USAGE, id="no-words"),
]


@pytest.mark.parametrize("words, status, out_starts", MAIN_RUNS)
def test_main_returns_the_exit_status(built, monkeypatch, capfd, words, status, out_starts):
    monkeypatch.chdir(built)
    argv = list(sys.argv)
    assert velk_crc.main(words) == status
    out, err = capfd.readouterr()
    assert out.startswith(out_starts), out
    if words[:1] in (["FLASH"], ["CHECK"]) and status in (2, 255):
        assert out == "" and err.startswith("error: ") and err.count("\n") == 1
    # VELK mode gets its words through sys.argv; the caller's come back.
    assert sys.argv == argv


def test_main_reads_sys_argv_by_default(monkeypatch, capfd):
    monkeypatch.setattr(sys, "argv", ["velk-crc", "--version"])
    assert velk_crc.main() == 0
    assert capfd.readouterr() == (f"velk-crc {metadata.version('velk-crc')}\n", "")


class _BrokenCrc:
    """A crcmod whose function maker fails: a fault no refusal describes."""

    @staticmethod
    def mkCrcFun(*args, **kwargs):
        raise RuntimeError("crc unit on fire")


def test_a_fault_reaches_the_caller_as_it_is(built, monkeypatch, capfd):
    # The command line words it as CHECK's could-not-verify line; a caller
    # of the library gets the exception itself, with its type and traceback.
    monkeypatch.chdir(built)
    monkeypatch.setattr(velk_crc._core, "crcmod", _BrokenCrc)
    with pytest.raises(RuntimeError, match="crc unit on fire"):
        velk_crc.check("fw_boot.elf", symbol="crc_value")
    assert velk_crc.main(["CHECK", "fw_boot.elf", "--ncrc_value"]) == 2
    assert capfd.readouterr().err == (
        "error: fw_boot.elf: could not check it: RuntimeError: crc unit on fire\n")


@pytest.mark.parametrize("words", [
    pytest.param(["--help"], id="help"),
    pytest.param(["CHECK", "fw_boot_CRC.hex", "--ncrc_value", "--elf", "fw_boot.elf"],
                 id="check"),
    pytest.param(["CHECK", "fw_boot_CRC.hex", "--ncrc_value", "--elf", "fw_boot.elf",
                  "--json"], id="check-json"),
])
def test_a_reader_that_goes_away_ends_the_run_with_141(built, words):
    # `velk-crc ... | head -1` in a script: no traceback, no verdict made up
    # from the closed pipe, the status a command killed by SIGPIPE has.
    read, write = os.pipe()
    os.close(read)
    with os.fdopen(write, "wb") as closed:
        child = subprocess.run(velk_command(*words), cwd=built, stdout=closed,
                               stderr=subprocess.PIPE, text=True, timeout=60)
    assert child.returncode == 141, child.stderr
    assert "Traceback" not in child.stderr and "error:" not in child.stderr


# --- 8. Ctrl-C --------------------------------------------------------------------------

def test_ctrl_c_while_writing_leaves_the_earlier_files(built):
    # The signal goes in once the run has a temporary output file open: the
    # run has started and is writing, whatever the machine's speed. A
    # checksum far beyond the image (forced) makes a HEX of tens of MiB of
    # 0xFF to write; a larger one is tried when a run was done first.
    folder, before = built, contents(built)
    for offset in (0x1000000, 0x4000000, 0x10000000):
        child = subprocess.Popen(
            velk_command("FLASH", "fw_boot.elf", f"--a{offset:X}", "--force", "--bin",
                         "--srec"),
            cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        while child.poll() is None:
            if any(name.startswith(".") and name.endswith(".tmp")
                   for name in os.listdir(folder)):
                child.send_signal(signal.SIGINT)
                break
        _, err = child.communicate(timeout=120)
        if child.returncode == 0:
            # Finished before the signal: put the earlier build back, go larger.
            for path in folder.iterdir():
                path.unlink()
            for name, data in before.items():
                (folder / name).write_bytes(data)
            continue
        # Ended by the signal itself (the shell's $? is 130), so that a loop
        # of runs in a script stops at Ctrl-C too.
        assert child.returncode == -signal.SIGINT, err
        assert err.startswith("error: interrupted") and err.count("\n") == 1, err
        assert "Traceback" not in err
        assert contents(folder) == before
        return
    pytest.skip("every run finished before its output file could be seen")
