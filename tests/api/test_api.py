"""The Python API (velk_crc.flash, check, main) against the velk-crc command line,
the reference: each API run is set beside the installed command on its own copy
of the same firmware folder; files, --json object, error line and status agree."""

import copy
import json
import io
import os
import pickle
import re
import shutil
import signal
import subprocess
import sys
from importlib import metadata
from types import SimpleNamespace

import pytest

import velk_crc
from conftest import (DATA, ROOT, crc32_mpeg2, posix_only, run_command, velk_command,
                      words_reversed)
from elfwriter import Elf, Segment
from hexcheck import flip_hex_byte, read_hex

EXAMPLES = os.path.join(ROOT, "examples")

# What a build step pays for on every run: none of these may be imported by
# the package or by a FLASH or CHECK run (VELK mode is theirs by design).
NEVER_IMPORTED = {"elftools", "intelhex", "traceback", "VELK_CRC"}

USAGE = ("Usage:VELK_CRC  VELK elffile  --n[crcname]  --a[addr]:parameters  less \n"
         "--n crc variable name \n"
         "--a crc offset address \n")
VERSION = f"velk-crc {metadata.version('velk-crc')}\n"
WRITTEN = 'create new crc hex file "fw_boot_CRC.hex".\n'


def table(rows):
    """pytest params from rows whose first item is the id."""
    return [pytest.param(*row[1:], id=row[0]) for row in rows]


def firmware_folder(folder, *names):
    folder.mkdir()
    for name in names:
        shutil.copy(os.path.join(EXAMPLES if name == "blinky.elf" else DATA, name), folder)
    (folder / "notes.txt").write_text("checksum goes here\n")
    return folder


def contents(folder):
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir())}


def cli_words(options):
    """The command line's words for the API's options (its offsets are hex)."""
    spelt = {"symbol": "--n%s", "offset": "--a%X", "block": "--s%d", "elf": "--elf=%s"}
    return [spelt[name] % value if name in spelt else "--" + name
            for name, value in options.items()]


def command_and_api(tmp_path, monkeypatch, source, mode, path, options):
    """velk-crc <mode> --json in a copy of `source`, then the current folder
    moved to a second copy for the API call: (status, json text, stderr)."""
    shutil.copytree(source, tmp_path / "command")
    monkeypatch.chdir(shutil.copytree(source, tmp_path / "api"))
    child = run_command(mode, path, *cli_words(options), "--json", cwd=tmp_path / "command")
    return child.returncode, child.stdout, child.stderr


def lines_of(err, kind):
    return [line[len(kind):] for line in err.splitlines() if line.startswith(kind)]


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

# The interpreter lists every module it imports on standard error, a console
# script's own imports included. (id, velk-crc's words, status)
CONSOLE_RUNS = [
    ("flash", ["FLASH", "fw_boot.elf", "--ncrc_value", "--bin", "--srec", "--json"], 0),
    ("flash-offset-words", ["FLASH", "fw_boot.elf", "--a134", "--words"], 0),
    ("check", ["CHECK", "fw_boot_CRC.hex", "--a134"], 0),
    ("check-elf", ["CHECK", "fw_boot_CRC.hex", "--ncrc_value", "--elf=fw_boot.elf", "--json"], 0),
    ("check-mismatch", ["CHECK", "flipped.hex", "--ncrc_value", "--elf", "fw_boot.elf"], 1),
    ("help", ["--help"], 0),
    ("version", ["--version"], 0),
    ("flash-refused", ["FLASH", "missing.elf", "--ncrc_value"], 255),
    ("flash-refused-not-elf", ["FLASH", "notes.txt", "--ncrc_value"], 255),
    ("check-refused", ["CHECK", "fw_boot_CRC.hex", "--ncrc_value"], 2),
    ("check-refused-not-firmware", ["CHECK", "notes.txt", "--a0"], 2),
]
# (id, what must hold after `import velk_crc` in a fresh interpreter)
API_RUNS_IMPORTING = [
    ("api-flash", 'velk_crc.flash("fw_boot.elf", symbol="crc_value", srec=True).ok'),
    ("api-check-elf", 'velk_crc.check("fw_boot_CRC.hex", symbol="crc_value", elf="fw_boot.elf")'
     '.ok'),
    ("api-check-mismatch", 'not velk_crc.check("flipped.hex", offset=0x134).ok'),
]


@pytest.mark.parametrize("command, status, native", [
    *(pytest.param(velk_command(*words), status, True, id=name)
      for name, words, status in CONSOLE_RUNS),
    *(pytest.param([sys.executable, "-c", "import velk_crc; assert " + statement], 0, True,
                   id=name) for name, statement in API_RUNS_IMPORTING),
    pytest.param([sys.executable, "-c", "import velk_crc"], 0, False, id="import-only"),
])
def test_a_run_imports_none_of_the_package_layers(built, command, status, native):
    child = subprocess.run(command, cwd=built, capture_output=True, text=True, timeout=120,
                           env={**os.environ, "PYTHONPROFILEIMPORTTIME": "1"})
    assert child.returncode == status, child.stderr
    imported = {line.split("|")[-1].strip() for line in child.stderr.splitlines()
                if line.startswith("import time:")}
    # The native half comes with the first call that needs it.
    assert ("velk_crc._core" if native else "velk_crc") in imported
    assert {name.split(".")[0] for name in imported} & NEVER_IMPORTED == set()


# --- 2. VELK mode through the console script -----------------------------------

DIRECT_VELK = ["-c", "import sys, VELK_CRC; sys.argv[0] = 'velk-crc'; VELK_CRC.runmain()"]

# VELK's statuses: 0 written, 255 refused with one reason, 1 an error shown
# with its traceback.
VELK_RUNS = table([
    ("written", ["VELK", "fw_boot.elf", "--ncrc_value"], 0),
    ("mode-word-only", ["VELK"], 255),
    ("no-selector", ["VELK", "fw_boot.elf"], 255),
    ("lower-case-mode", ["velk", "fw_boot.elf", "--ncrc_value"], 255),
    ("missing-file", ["VELK", "missing.elf", "--ncrc_value"], 255),
    ("name-not-found", ["VELK", "fw_boot.elf", "--nnot_there"], 255),
    ("offset-not-multiple-of-4", ["VELK", "fw_boot.elf", "--a3"], 255),
    ("not-elf-traceback", ["VELK", "notes.txt", "--ncrc_value"], 1),
])


def without_entry_frames(text):
    """A traceback less the frames of the program that was started (the
    console script's or runpy's `<module>` against python -c's `<string>`):
    the one thing the two ways in may differ in."""
    frame = r'  File (?:"<frozen runpy>".*|.*, in <module>)\n(?:    .*\n)*'
    return re.sub(rf"(Traceback \(most recent call last\):\n)(?:{frame})+", r"\1", text)


@pytest.mark.parametrize("words, status", VELK_RUNS)
def test_velk_mode_runs_as_it_did_before_the_package(tmp_path, words, status):
    folders = [firmware_folder(tmp_path / name, "fw_boot.elf") for name in ("script", "direct")]
    children = [subprocess.Popen(command, cwd=folder, text=True, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
                for command, folder in zip(
                    (velk_command(*words), [sys.executable, *DIRECT_VELK, *words]), folders)]
    (script_out, script_err), (direct_out, direct_err) = (
        child.communicate(timeout=60) for child in children)
    assert children[0].returncode == children[1].returncode == status
    assert script_out == direct_out
    assert without_entry_frames(script_err) == without_entry_frames(direct_err)
    assert os.path.join("velk_crc", "__init__.py") not in script_err
    assert contents(folders[0]) == contents(folders[1])


# --- 3. The API against the command line -------------------------------------------

BY_SYMBOL, BY_WORDS = dict(symbol="crc_value"), dict(symbol="crc_value", words=True)
# (id, its first word naming the function, path, options, verdict); "error"
# is a refusal: Refused from FLASH, CannotVerify from CHECK.
API_RUNS = [
    ("flash-symbol", "fw_boot.elf", BY_SYMBOL, "written"),
    ("flash-symbol-words", "fw_words.elf", BY_WORDS, "written"),
    ("flash-symbol-bin-srec", "fw_data.elf", dict(BY_SYMBOL, bin=True, srec=True), "written"),
    ("flash-offset", "fw_boot.elf", dict(offset=0x134), "written"),
    ("flash-offset-words-bin", "blinky.elf", dict(offset=0xD0, words=True, bin=True), "written"),
    # The record lands in the 0xFF padding: no ELF is written.
    ("flash-block", "fw_boot.elf", dict(block=1024), "written"),
    ("flash-block-srec-words", "fw_boot.elf", dict(block=512, srec=True, words=True), "written"),
    ("flash-forced-function", "fw_boot.elf", dict(symbol="reset_handler", force=True), "written"),
    ("check-hex-offset", "fw_boot_CRC.hex", dict(offset=0x134), "ok"),
    ("check-hex-symbol-elf", "fw_boot_CRC.hex", dict(BY_SYMBOL, elf="fw_boot.elf"), "ok"),
    ("check-elf-symbol", "fw_boot_CRC.elf", BY_SYMBOL, "ok"),
    ("check-srec-symbol-elf", "fw_boot_CRC.srec", dict(BY_SYMBOL, elf="fw_boot.elf"), "ok"),
    ("check-hex-block-elf", "fw_block_CRC.hex", dict(block=1024, elf="fw_block.elf"), "ok"),
    ("check-hex-words-elf", "fw_words_CRC.hex", dict(BY_WORDS, elf="fw_words.elf"), "ok"),
    ("check-flipped-byte", "flipped.hex", dict(offset=0x134), "mismatch"),
    ("check-linker-output-placeholder", "fw_boot.elf", BY_SYMBOL, "mismatch"),
    ("check-bytes-build-as-words", "fw_boot_CRC.hex", dict(offset=0x134, words=True), "mismatch"),
    ("check-other-build", "fw_boot_CRC.hex", dict(BY_SYMBOL, elf="fw_data.elf"), "mismatch"),
    ("flash-missing-file", "missing.elf", BY_SYMBOL, "error"),
    ("flash-name-not-found", "fw_boot.elf", dict(symbol="not_there"), "error"),
    ("flash-offset-not-multiple-of-4", "fw_boot.elf", dict(offset=3), "error"),
    ("flash-negative-offset", "fw_boot.elf", dict(offset=-4), "error"),
    ("flash-absolute-address-as-offset", "fw_boot.elf", dict(offset=0x08000134), "error"),
    ("flash-block-not-power-of-two", "fw_boot.elf", dict(block=1000), "error"),
    ("flash-not-elf", "notes.txt", BY_SYMBOL, "error"),
    ("flash-function-as-slot", "fw_boot.elf", dict(symbol="reset_handler"), "error"),
    ("check-hex-symbol-without-elf", "fw_boot_CRC.hex", BY_SYMBOL, "error"),
    ("check-hex-block-without-elf", "fw_block_CRC.hex", dict(block=1024), "error"),
    ("check-missing-file", "missing.hex", dict(offset=0x134), "error"),
    ("check-missing-elf", "fw_boot_CRC.hex", dict(BY_SYMBOL, elf="missing.elf"), "error"),
    ("check-name-not-found", "fw_boot_CRC.elf", dict(symbol="not_there"), "error"),
    ("check-offset-not-multiple-of-4", "fw_boot_CRC.elf", dict(offset=3), "error"),
    ("check-not-a-firmware-file", "notes.txt", dict(offset=0), "error"),
    ("check-hex-as-the-build", "fw_boot_CRC.hex", dict(BY_SYMBOL, elf="fw_boot_CRC.hex"), "error"),
]
# What the command line's refusals say in the API's words, for the rows
# above that name an option.
API_WORDS = {
    "--a3: the offset must be a multiple of 4": "offset: 0x3 is not a multiple of 4",
    '--a takes the checksum\'s offset from the image start in hex, a multiple of 4, as in '
    '--a1FFC: "-4" is not one': "offset: -0x4 is not an offset from the image start",
    "--a takes an offset from the image start 0x08000000; 0x08000134 looks like an absolute "
    "address (did you mean --a134?) (--force writes it anyway)":
        "offset takes an offset from the image start 0x08000000; 0x08000134 looks like an "
        "absolute address (did you mean offset=0x134?) (force=True writes it anyway)",
    '--s takes a block size in decimal that is a power of two, as in --s1024: "1000" is not '
    "one": "block: 1000 is not a power of two",
    "with --elf to find crc_value, or the checksum offset with --a":
        "with elf to find crc_value, or the checksum offset with offset",
    "with --elf, or the offset the build printed with --a":
        "with elf, or the offset the build printed with offset",
    "cannot be redone": None,
    "(--force writes it anyway)": "(force=True writes it anyway)",
    ", not the build's ELF file: --elf takes": ", not the build's ELF file: elf takes",
    "give its base address with --base 0x<address>, or the build it was made from with --elf":
        'give its base address with base="0x<address>", or the build it was made from with '
        "elf",
    "(--merge <file> checks": "(merge= checks",
}


def api_words(line):
    """A command line's refusal as the API words it."""
    for cli, api in API_WORDS.items():
        if cli == "cannot be redone":
            line = line.replace("--s cannot be redone", "block cannot be redone")
        elif cli in line:
            line = line.replace(cli, api)
    return line


def api_view(report):
    """The command line's --json object as the API words it: its refusal and
    notes in the API's words, its records named as the API names them
    (--a134 is offset=0x134, --s1024 is block=1024)."""
    if "message" in report:
        report["message"] = api_words(report["message"])
    report["notes"] = [api_words(note) for note in report["notes"]]
    for record in report.get("records", []):
        name = record["name"]
        if name.startswith("--a"):
            record["name"] = "offset=0x" + name[len("--a"):]
        elif name.startswith("--s"):
            record["name"] = "block=" + name[len("--s"):]
    return report


STATUS = {("flash", "written"): 0, ("check", "ok"): 0, ("check", "mismatch"): 1,
          ("flash", "error"): 255, ("check", "error"): 2}
REFUSAL = {"flash": velk_crc.Refused, "check": velk_crc.CannotVerify}


@pytest.mark.parametrize("function, path, options, verdict",
                         [pytest.param(name.split("-")[0], *row, id=name)
                          for name, *row in API_RUNS])
def test_the_api_does_what_the_command_does(built, tmp_path, monkeypatch, capfd, function,
                                            path, options, verdict):
    source = firmware_folder(tmp_path / "source", path) if verdict == "written" else built
    status, out, err = command_and_api(tmp_path, monkeypatch, source, function.upper(), path,
                                       options)
    assert status == STATUS[function, verdict], err
    try:
        report = getattr(velk_crc, function)(path, **options)
    except velk_crc.Error as error:
        assert type(error) is REFUSAL[function]
        assert err.startswith("error: ") and err.count("\n") == 1, err
        assert str(error) == error.report.message
        # The same refusal, in the API's words: no command-line option named.
        assert str(error) == api_words(err[len("error: "):-1]), (str(error), err)
        report = error.report
    assert capfd.readouterr() == ("", "")
    assert (report.verdict, report.ok) == (verdict, verdict in ("written", "ok"))
    assert report.as_dict() == api_view(json.loads(out))
    # The lines the command line prints beside its --json object.
    assert (report.warnings, report.notes) == (
        lines_of(err, "warning: "), [api_words(note) for note in lines_of(err, "note: ")])
    api = contents(tmp_path / "api")
    assert api == contents(tmp_path / "command")
    if verdict != "written":
        # The earlier outputs in the folder are untouched and nothing was added.
        assert api == contents(built) and report.files == []
        if path.endswith(".hex") and verdict != "error":
            stored = read_hex(path).bytes_at(report.record, 4)
            assert report.stored == int.from_bytes(stored, "little")
        if verdict == "ok":
            assert report.checksum == report.stored
        return
    assert set(api) == {path, "notes.txt", *report.files}
    # The checksum in the HEX is the CRC of the image up to its record.
    assert report.feed == ("words" if options.get("words") else "bytes")
    image = read_hex(report.files[0])
    start, record = report.image["start"], report.record
    covered = bytes(image.memory.get(address, 0xFF) for address in range(start, record))
    if report.feed == "words":
        covered = words_reversed(covered)
    assert report.checksum == crc32_mpeg2(covered)
    assert image.bytes_at(record, 4) == report.checksum.to_bytes(4, "little")


# --- 4. Argument errors, reports as values ------------------------------------------

NO_RECORD = "no record: give symbol=, offset=, block=, header= or lpc_vectors=True"
ALONE = ("block=1024 places the only record of a run: it does not combine with symbol=, "
         "offset=, another block= or header=")
FLASH, CHECK = (velk_crc.flash, "fw_boot.elf"), (velk_crc.check, "fw_boot_CRC.hex")


# The request's rules are the engine's, one set for the command line and the
# API: an empty list of records is no record, as no argument is.
@pytest.mark.parametrize("function, path, options, message", table([
    ("flash-no-record", *FLASH, {}, NO_RECORD),
    ("flash-empty-list", *FLASH, dict(offset=[]), NO_RECORD),
    ("check-no-record", *CHECK, dict(elf="fw_boot.elf"), NO_RECORD),
    ("flash-block-and-symbol", *FLASH, dict(BY_SYMBOL, block=1024), ALONE),
    ("check-block-and-offset", *CHECK, dict(offset=0x134, block=1024), ALONE),
    ("flash-fill-no-byte", *FLASH, dict(BY_SYMBOL, fill=256),
     'fill takes the byte erased flash reads, 0x00 to 0xFF: "0x100" is not one'),
    ("flash-entry-without-merge", *FLASH, dict(BY_SYMBOL, entry=0x08000101),
     "entry chooses the merged files' start address: it needs merge"),
    ("flash-unknown-family", *FLASH, dict(BY_SYMBOL, uf2="rp9"),
     'uf2="rp9": no such chip family'),
    ("check-merge-without-elf", *CHECK, dict(offset=0x134, merge="boot.hex"),
     "merge checks the merged files' bytes beside the build's: give the build with elf"),
]))
def test_refusals_name_the_api_arguments(built, monkeypatch, function, path, options,
                                         message):
    monkeypatch.chdir(built)
    before = contents(built)
    with pytest.raises(REFUSAL[function.__name__]) as info:
        function(path, **options)
    assert str(info.value).startswith(f"{path}: {message}"), str(info.value)
    assert "--" not in str(info.value)
    assert contents(built) == before


TYPE_ERRORS = table([
    ("bool-offset", *FLASH, dict(offset=True), "offset must be an int, not bool"),
    ("bool-block", *CHECK, dict(block=False), "block must be an int"),
    ("text-offset", *FLASH, dict(offset="134"), "offset must be an int, not str"),
    ("bytes-symbol", *FLASH, dict(symbol=b"crc_value"), "symbol must be a str"),
    ("int-as-elf", velk_crc.flash, 3, BY_SYMBOL, "elf must be a path"),
    ("none-as-path", velk_crc.check, None, dict(offset=0x134), "path must be a path"),
    ("list-as-elf", *CHECK, dict(BY_SYMBOL, elf=["fw_boot.elf"]), "elf must be a path"),
    ("positional-selector", velk_crc.flash, "fw_boot.elf", "crc_value", "positional argument"),
    # On and off are True and False: "no" and "0" are no answer.
    ("flash-words-text", *FLASH, dict(BY_SYMBOL, words="no"), "^words must be a bool, not str$"),
    ("flash-bin-text", *FLASH, dict(BY_SYMBOL, bin="0"), "^bin must be a bool, not str$"),
    ("flash-srec-int", *FLASH, dict(BY_SYMBOL, srec=1), "^srec must be a bool, not int$"),
    ("flash-be-none", *FLASH, dict(BY_SYMBOL, be=None), "^be must be a bool, not NoneType$"),
    ("flash-force-text", *FLASH, dict(BY_SYMBOL, force="yes"),
     "^force must be a bool, not str$"),
    ("flash-lpc-vectors-int", *FLASH, dict(lpc_vectors=1),
     "^lpc_vectors must be a bool, not int$"),
    ("check-words-text", *CHECK, dict(offset=0x134, words="False"),
     "^words must be a bool, not str$"),
    ("check-be-int", *CHECK, dict(offset=0x134, be=0), "^be must be a bool, not int$"),
    ("check-force-list", *CHECK, dict(offset=0x134, force=[]),
     "^force must be a bool, not list$"),
    ("check-lpc-vectors-text", *CHECK, dict(lpc_vectors="true"),
     "^lpc_vectors must be a bool, not str$"),
    ("flash-entry-list", *FLASH, dict(BY_SYMBOL, merge="x.hex", entry=["x.hex"]),
     r"^entry must be a path \(str or os.PathLike\), not list$"),
    ("check-merge-int", *CHECK, dict(BY_SYMBOL, elf="fw_boot.elf", merge=[3]),
     r"^merge must be a path \(str or os.PathLike\), not int$"),
    ("flash-algorithms-list", *FLASH, dict(BY_SYMBOL, algorithms=["crc-32"]),
     "^algorithms must be a dict, not list$"),
    ("flash-algorithms-int-value", *FLASH, dict(BY_SYMBOL, algorithms={"crc_value": 32}),
     "^an algorithm in algorithms must be a str, not int$"),
    ("check-exclude-int", *CHECK, dict(offset=0x134, exclude=[0x08000000]),
     "^exclude must be a str, not int$"),
])


@pytest.mark.parametrize("function, path, options, complaint", TYPE_ERRORS)
def test_argument_errors_raise_type_error_before_any_file(built, monkeypatch, capfd,
                                                          function, path, options, complaint):
    before = contents(built)
    monkeypatch.chdir(built)
    with pytest.raises(TypeError, match=complaint):
        # A str in place of the options is a positional selector.
        function(path, options) if isinstance(options, str) else function(path, **options)
    assert contents(built) == before
    assert capfd.readouterr() == ("", "")


# A record's own algorithm and the bytes left out, as keywords: the files and
# the report of the command line's words.
OWN = [
    ("symbol", dict(symbol="crc_value", algorithms={"crc_value": "CRC-16/XMODEM"}, force=True),
     ["--ncrc_value=CRC-16/XMODEM", "--force"]),
    ("offset", dict(offset=0x134, algorithms={0x134: "crc-32/iso-hdlc"},
                    exclude=["0x08000000-0x08000010", "vector_table"]),
     ["--a134=crc-32/iso-hdlc", "--exclude", "0x08000000-0x08000010", "--exclude",
      "vector_table"]),
    ("symbol-word", dict(symbol="crc_value@0x08000010=crc-32/iso-hdlc",
                         exclude="0x08000100-0x08000104"),
     ["--ncrc_value@0x08000010=crc-32/iso-hdlc", "--exclude=0x08000100-0x08000104"]),
]


@pytest.mark.parametrize("options, words", table(OWN))
def test_own_algorithms_and_exclusions_as_keywords(tmp_path, monkeypatch, options, words):
    source = firmware_folder(tmp_path / "source", "fw_boot.elf")
    shutil.copytree(source, tmp_path / "command")
    child = run_command("FLASH", "fw_boot.elf", *words, "--json", cwd=tmp_path / "command")
    assert child.returncode == 0, child.stderr
    monkeypatch.chdir(shutil.copytree(source, tmp_path / "api"))
    report = velk_crc.flash("fw_boot.elf", **options)
    assert contents(tmp_path / "api") == contents(tmp_path / "command")
    assert report.as_dict() == api_view(json.loads(child.stdout))


@pytest.mark.parametrize("key, message", [
    ("crc_valu", "^algorithms: 'crc_valu' is no record's symbol$"),
    (0x138, "^algorithms: 312 is no record's offset$"),
])
def test_an_algorithm_for_no_record_is_a_value_error(built, monkeypatch, key, message):
    monkeypatch.chdir(built)
    with pytest.raises(ValueError, match=message):
        velk_crc.check("fw_boot_CRC.hex", offset=0x134, algorithms={key: "crc-32"})


def test_paths_may_be_path_objects_or_bytes(built, monkeypatch):
    monkeypatch.chdir(built)
    by_text = velk_crc.check("fw_boot_CRC.hex", symbol="crc_value", elf="fw_boot.elf")
    by_path = velk_crc.check(built / "fw_boot_CRC.hex", symbol="crc_value",
                             elf=built / "fw_boot.elf")
    by_bytes = velk_crc.check(b"fw_boot_CRC.hex", symbol="crc_value", elf=b"fw_boot.elf")
    assert by_path.ok and by_bytes.as_dict() == by_text.as_dict()
    assert (by_path.input, by_path.elf) == (str(built / "fw_boot_CRC.hex"),
                                            str(built / "fw_boot.elf"))


def test_fill_0_is_the_byte_0x00(tmp_path):
    """fill=0 is a value, not "no fill": the hole and the padding hold 0x00."""
    code, data = bytes(range(1, 0x41)), bytes(range(0x80, 0x90))
    path = Elf(segments=[Segment(0x08000000, code, section=".text"),
                         Segment(0x08000080, data, section=".data")]).write(tmp_path / "fw.elf")
    report = velk_crc.flash(path, offset=0xFC, fill=0, bin=True)
    image = code + bytes(0x40) + data + bytes(0x6C)
    assert report.checksum == crc32_mpeg2(image)
    assert (tmp_path / "fw_CRC.bin").read_bytes() == image + report.checksum.to_bytes(4, "little")
    assert velk_crc.check(tmp_path / "fw_CRC.hex", offset=0xFC, fill=0).ok


def test_check_be_verifies_what_flash_be_wrote(built, monkeypatch):
    monkeypatch.chdir(built)
    written = run_command("FLASH", "fw_boot.elf", "--ncrc_value", "--be", cwd=built)
    assert written.returncode == 0, written.stderr
    stored = read_hex(built / "fw_boot_CRC.hex").bytes_at(0x08000134, 4)
    report = velk_crc.check("fw_boot_CRC.hex", offset=0x134, be=True)
    assert report.ok and report.stored == int.from_bytes(stored, "big")
    assert not velk_crc.check("fw_boot_CRC.hex", offset=0x134).ok


APP, BOOT = "fw_bootloaded_app.elf", "fw_bootloader.hex"


@pytest.mark.parametrize("entry, words", [(None, []), (APP, ["--entry", APP]),
                                          (0x08000201, ["--entry", "0x8000201"])],
                         ids=["first-merged-file", "application", "address"])
def test_check_takes_the_files_flash_merged(tmp_path, monkeypatch, entry, words):
    """check(merge=, entry=) verifies the merged file as CHECK --merge --entry
    does: as flash(merge=, entry=) wrote it, byte for byte."""
    folder = firmware_folder(tmp_path / "merged", APP, BOOT)
    monkeypatch.chdir(folder)
    assert velk_crc.flash(APP, symbol="crc_value", merge=BOOT, entry=entry).ok
    merged = "fw_bootloaded_app_CRC_merged.hex"
    report = velk_crc.check(merged, symbol="crc_value", elf=APP, merge=[BOOT], entry=entry)
    child = run_command("CHECK", merged, "--ncrc_value", "--elf", APP, "--merge", BOOT, *words,
                        "--json", cwd=folder)
    assert (child.returncode, report.verdict) == (0, "ok"), child.stderr
    assert report.as_dict() == json.loads(child.stdout)
    assert report.start_address["found"] == read_hex(merged).start_linear
    # Without the merged file the bootloader's bytes are not the build's to judge.
    assert velk_crc.check(merged, symbol="crc_value", elf=APP).notes != []


def test_a_report_is_no_truth_value_and_its_files_say_what_they_are(built, monkeypatch):
    """`assert velk_crc.check(...)` passed on a mismatch: a report asks for
    .ok instead."""
    monkeypatch.chdir(built)
    report = velk_crc.check("flipped.hex", offset=0x134)
    assert not report.ok
    with pytest.raises(TypeError, match="use report.ok"):
        bool(report)
    written = velk_crc.flash("fw_boot.elf", symbol="crc_value", bin=True, srec=True)
    assert [(f, f.format, f.base) for f in written.files] == [
        ("fw_boot_CRC.hex", "Intel HEX", None), ("fw_boot_CRC.elf", "ELF", None),
        ("fw_boot_CRC.bin", "raw binary", 0x08000000), ("fw_boot_CRC.srec", "S-records", None)]
    assert pickle.loads(pickle.dumps(written.files[2])).base == 0x08000000
    assert written.as_dict()["files"] == ["fw_boot_CRC.hex", "fw_boot_CRC.elf",
                                          "fw_boot_CRC.bin", "fw_boot_CRC.srec"]


@pytest.mark.parametrize("duplicate", [
    pytest.param(copy.copy, id="copy"),
    pytest.param(copy.deepcopy, id="deepcopy"),
    pytest.param(lambda value: pickle.loads(pickle.dumps(value)), id="pickle"),
])
def test_a_report_is_a_value(built, monkeypatch, duplicate):
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
    # A build that checksums several targets in worker processes gets each
    # report back pickled.
    again = duplicate(report)
    assert type(again) is velk_crc.Report and again.as_dict() == second
    with pytest.raises(velk_crc.Refused) as info:
        velk_crc.flash("fw_boot.elf", symbol="not_there")
    again = duplicate(info.value)
    assert type(again) is velk_crc.Refused and str(again) == str(info.value)
    assert again.report.as_dict() == info.value.report.as_dict()


# --- 5. main() ------------------------------------------------------------------------

MAIN_RUNS = table([
    ("flash-written", ["FLASH", "fw_boot.elf", "--ncrc_value"], 0, WRITTEN),
    ("flash-refused", ["FLASH", "fw_boot.elf", "--nnot_there"], 255, ""),
    ("check-ok", ["CHECK", "fw_boot_CRC.hex", "--a134"], 0, "checksum ok: "),
    ("check-mismatch", ["CHECK", "flipped.hex", "--a134"], 1, "checksum mismatch at 0x08000134"),
    ("check-refused", ["CHECK", "fw_boot_CRC.hex", "--ncrc_value"], 2, ""),
    ("bytes-words", [b"CHECK", b"fw_boot_CRC.hex", b"--a134"], 0, "checksum ok: "),
    ("help", ["--help"], 0, "velk-crc: the checksums a bootloader checks"),
    ("version", ["--version"], 0, VERSION),
    ("sys-argv-by-default", None, 0, VERSION),
    ("velk-written", ["VELK", "fw_boot.elf", "--ncrc_value"], 0, WRITTEN),
    ("velk-usage", ["VELK"], 255, USAGE),
    # The product's usage on standard error, not VELK mode's.
    ("no-words", [], 2, ""),
])


@pytest.mark.parametrize("words, status, out_starts", MAIN_RUNS)
def test_main_returns_the_exit_status(built, monkeypatch, capfd, words, status, out_starts):
    monkeypatch.chdir(built)
    monkeypatch.setattr(sys, "argv", ["velk-crc", "--version"])
    assert velk_crc.main(words) == status
    out, err = capfd.readouterr()
    assert out.startswith(out_starts), out
    if words and words[0] in ("FLASH", "CHECK") and status in (2, 255):
        assert out == "" and err.startswith("error: ") and err.count("\n") == 1
    # VELK mode gets its words through sys.argv; the caller's come back.
    assert sys.argv == ["velk-crc", "--version"]


class _BrokenStdout(io.StringIO):
    def write(self, text):
        raise RuntimeError("terminal on fire")


def test_a_fault_reaches_the_caller_as_it_is(built, monkeypatch, capfd):
    # A failure no refusal describes, here a standard output that raises,
    # reaches the caller of main() as it is, with its type and traceback;
    # the files were written before the report was printed.
    monkeypatch.chdir(built)
    monkeypatch.setattr(sys, "stdout", _BrokenStdout())
    with pytest.raises(RuntimeError, match="terminal on fire"):
        velk_crc.main(["FLASH", "fw_boot.elf", "--ncrc_value"])
    assert os.path.exists("fw_boot_CRC.hex")


CHECK_BY_ELF = ["CHECK", "fw_boot_CRC.hex", "--ncrc_value", "--elf", "fw_boot.elf"]


@pytest.mark.parametrize("words", table([
    ("help", ["--help"]), ("check", CHECK_BY_ELF), ("check-json", [*CHECK_BY_ELF, "--json"])]))
@posix_only("141 is the status of a command SIGPIPE ended")
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


# --- 6. Ctrl-C --------------------------------------------------------------------------

@posix_only("the run is stopped by SIGINT and ends by it")
def test_ctrl_c_while_writing_leaves_the_earlier_files(built):
    # The signal goes in once a temporary output file is open, whatever the
    # machine's speed: a forced checksum far beyond the image makes a HEX of
    # tens of MiB of 0xFF; a larger one is tried when a run finished first.
    before = contents(built)
    for offset in (0x1000000, 0x4000000, 0x10000000):
        child = subprocess.Popen(
            velk_command("FLASH", "fw_boot.elf", f"--a{offset:X}", "--force", "--bin",
                         "--srec"),
            cwd=built, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        while child.poll() is None:
            if any(name.startswith(".") and name.endswith(".tmp")
                   for name in os.listdir(built)):
                child.send_signal(signal.SIGINT)
                break
        _, err = child.communicate(timeout=120)
        if child.returncode == 0:
            for path in built.iterdir():
                path.unlink()
            for name, data in before.items():
                (built / name).write_bytes(data)
            continue
        # Ended by the signal itself (the shell's $? is 130), so that a loop
        # of runs in a script stops at Ctrl-C too.
        assert child.returncode == -signal.SIGINT, err
        assert err.startswith("error: interrupted") and err.count("\n") == 1, err
        assert "Traceback" not in err
        assert contents(built) == before
        return
    pytest.skip("every run finished before its output file could be seen")


# Ctrl-C while the native half loads (it imports crcmod), once, in the
# console script's process.
CTRL_C_WHILE_LOADING = """
import sys

class CtrlC:
    pressed = False

    def find_spec(self, name, path=None, target=None):
        if name == "velk_crc._core" and not CtrlC.pressed:
            CtrlC.pressed = True
            raise KeyboardInterrupt
        return None

sys.meta_path.insert(0, CtrlC())
sys.argv = ["velk-crc", *{words!r}]
from velk_crc import runmain
sys.exit(runmain())
"""


@pytest.mark.parametrize("words, line", table([
    ("flash", ["FLASH", "fw_boot.elf", "--ncrc_value"],
     "error: interrupted; the output files are all new or all as they were"),
    ("check", ["CHECK", "fw_boot_CRC.hex", "--ncrc_value", "--elf", "fw_boot.elf"],
     "error: interrupted; no verdict"),
    ("version", ["--version"], "error: interrupted"),
]))
@posix_only("an interrupted run ends by SIGINT")
def test_ctrl_c_while_the_native_half_loads(built, words, line):
    before = contents(built)
    child = subprocess.run([sys.executable, "-c", CTRL_C_WHILE_LOADING.format(words=words)],
                           cwd=built, capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout, child.stderr) == (-signal.SIGINT, "", line + "\n")
    assert contents(built) == before
