"""The command line a newcomer meets in FLASH and CHECK: help and version,
one-line refusals, FLASH strict unless forced, CHECK against the build,
--json; and VELK's hints on standard error."""

import importlib.metadata
import json
import os
import struct
import shutil
import zlib

import pytest

from conftest import DATA, crc32_mpeg2, run_cli, run_command
from elfwriter import STT_FUNC, Elf, Segment
from hexcheck import flip_hex_byte, read_hex

LOAD = 0x08000000


@pytest.fixture
def build(tmp_path):
    """A copy of a committed firmware as fw.elf."""
    def copy(name="fw_boot.elf"):
        shutil.copy(os.path.join(DATA, name), tmp_path / "fw.elf")
        return tmp_path / "fw.elf"
    return copy


def listing(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


@pytest.mark.parametrize("argv", [["--help"], ["-h"], ["help"], ["FLASH", "--help"],
                                  ["CHECK", "fw.elf", "-h"]])
def test_help_names_everything(velk, monkeypatch, argv):
    status, out, err = run_cli(velk, monkeypatch, *argv)
    assert (status, err) == (0, "")
    for word in ["FLASH", "CHECK", "VELK", "--n<name>", "--a<hex>", "--s<size>", "--force",
                 "--words", "--bin", "--srec", "--elf <file>", "--json", "docs/guide.md"]:
        assert word in out, word
    statuses = out.split("exit status:")[1]
    assert [line.split()[0] for line in statuses.splitlines()
            if line[:5].strip().isdigit()] == ["0", "1", "2", "70", "130", "255"]


def test_version_is_the_package_version():
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # the installed one
    result = run_command("--version", env=env, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"velk-crc {importlib.metadata.version('velk-crc')}\n"


# Refusals of FLASH (255) and CHECK (2): one line naming the file and what
# to do, nothing written, an earlier output untouched.
def not_elf(kind):
    def make(folder, elf):
        run_command("FLASH", elf, "--ncrc_value", "--srec", check=True)
        shutil.move(folder / f"fw_CRC.{kind}", folder / f"given.{kind}")
        for name in ("fw_CRC.hex", "fw_CRC.elf", "fw_CRC.srec"):
            if (folder / name).exists():
                (folder / name).unlink()
        return folder / f"given.{kind}"
    return make


def truncated(folder, elf):
    (folder / "cut.elf").write_bytes(elf.read_bytes()[:60])
    return folder / "cut.elf"


def stripped(folder, elf):
    """The section headers dropped, as `strip` leaves nothing to look up."""
    data = bytearray(Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(64))],
                         symbols=[("crc_value", LOAD + 60)]).build())
    data[32:36] = bytes(4)  # e_shoff
    data[48:52] = bytes(4)  # e_shnum, e_shstrndx
    (folder / "stripped.elf").write_bytes(bytes(data))
    return folder / "stripped.elf"


def pn_xnum_without_sections(folder, elf):
    """e_phnum PN_XNUM (0xFFFF) says the real count is in section header 0,
    and there is none: a reader that guesses reads the wrong segments."""
    data = bytearray(stripped(folder, elf).read_bytes())
    data[44:46] = b"\xff\xff"  # e_phnum
    (folder / "xnum.elf").write_bytes(bytes(data))
    return folder / "xnum.elf"


def odd_symbol_entries(folder, elf):
    """The symbol table's sh_entsize 20, not ELF32's 16: read at that stride
    it would give other symbols' values."""
    data = bytearray(Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(64))],
                         symbols=[("crc_value", LOAD + 60)]).build())
    shoff, = struct.unpack_from("<I", data, 32)
    count, = struct.unpack_from("<H", data, 48)
    for index in range(count):
        header = shoff + 40 * index
        if struct.unpack_from("<I", data, header + 4)[0] == 2:  # SHT_SYMTAB
            struct.pack_into("<I", data, header + 36, 20)
            break
    (folder / "odd.elf").write_bytes(bytes(data))
    return folder / "odd.elf"


REFUSALS = [
    # id, what the input is, option words, the line after "error: <file>: "
    ("missing-file", lambda folder, elf: folder / "none.elf", ["--ncrc_value"],
     "cannot open it: No such file or directory"),
    ("directory", lambda folder, elf: folder, ["--ncrc_value"], "it is a directory, not a file"),
    ("hex-given", not_elf("hex"), ["--a134"],
     "an Intel HEX file, not an ELF file: use CHECK to verify it; a checksum is put in "
     "with the linker's ELF output"),
    ("srec-given", not_elf("srec"), ["--a134"],
     "an S-record file, not an ELF file: use CHECK to verify it; a checksum is put in "
     "with the linker's ELF output"),
    ("truncated-elf", truncated, ["--ncrc_value"],
     "the program header table (4 entries of 32 bytes at offset 0x34) does not fit the "
     "file: it is damaged"),
    ("pn-xnum-without-sections", pn_xnum_without_sections, ["--a38"],
     "cannot read it as an ELF file: the program header count is PN_XNUM (0xFFFF) but "
     "there is no section header 0 to hold the real count"),
    ("odd-symbol-entry-size", odd_symbol_entries, ["--ncrc_value"],
     "cannot read its symbols: the symbol table in section 1 has entries of 20 bytes, "
     "not 16"),
    ("no-symbol-table", stripped, ["--ncrc_value"],
     'no symbol table, so no "crc_value" (stripped? use --a with the offset the build '
     "printed)"),
    ("mistyped-name", None, ["--ncrc_vaule"], 'no symbol named "crc_vaule" (did you mean '
     "crc_value?)"),
    ("block-not-a-power-of-two", None, ["--s1000"],
     '--s takes a block size in decimal that is a power of two, as in --s1024: "1000" is '
     "not one"),
    ("unknown-option", None, ["--ncrc_value", "--frobnicate"],
     'unknown option "--frobnicate" (velk-crc --help lists the options)'),
    ("block-beside-a-record", None, ["--ncrc_value", "--s1024"],
     '"--s1024" places the only record of a run: it does not combine with --n, --a, '
     "another --s or --header"),
    ("option-of-the-other-mode", None, ["--ncrc_value", "--elf"], None),
    ("flag-given-twice", None, ["--ncrc_value", "--words", "--words"],
     '"--words" is given twice'),
    ("selector-without-its-word", None, ["--n"],
     "--n needs the checksum variable, as in --n crc_value"),
    ("exclude-without-its-word", None, ["--ncrc_value", "--exclude", "--words"],
     "--exclude needs the bytes to leave out, as in --exclude 0x08000100-0x08000200 or "
     "--exclude <symbol>"),
    ("missing-response-file", None, ["@no-such.rsp"],
     'cannot read the response file "no-such.rsp": No such file or directory'),
]


# CHECK reads HEX and S-record files: those two are FLASH's refusals alone.
REFUSAL_CASES = [(mode, status, *r[1:]) for mode, status in (("FLASH", 255), ("CHECK", 2))
                 for r in REFUSALS if mode == "FLASH" or not r[0].endswith("-given")]


@pytest.mark.parametrize("mode, status, make, options, line", REFUSAL_CASES,
                         ids=[f"{r[0]}-{mode}" for mode, _ in (("FLASH", 0), ("CHECK", 0))
                              for r in REFUSALS if mode == "FLASH" or
                              not r[0].endswith("-given")])
def test_refusal_is_one_line(velk, monkeypatch, tmp_path, build, mode, status, make,
                             options, line):
    elf = build()
    given = make(tmp_path, elf) if make else elf
    (tmp_path / "fw_CRC.hex").write_text(":00000001FF\n")  # an earlier output
    before = listing(tmp_path)
    code, out, err = run_cli(velk, monkeypatch, mode, given, *options)
    assert (code, out) == (status, "")
    assert err.count("\n") == 1 and err.startswith("error: ") and "Traceback" not in err
    if line is None:  # --elf in FLASH, or --elf without a file in CHECK
        assert "--elf" in err
    else:
        assert err.startswith(f"error: {given}: {line}"), err
    assert listing(tmp_path) == before


def test_output_that_cannot_be_written(velk, monkeypatch, build, tmp_path):
    build()
    (tmp_path / "fw_CRC.hex").mkdir()
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value")
    assert (code, out) == (255, "")
    assert err == (f"error: {tmp_path / 'fw.elf'}: cannot write {tmp_path / 'fw_CRC.hex'}: "
                   "Is a directory\n")
    assert sorted(os.listdir(tmp_path)) == ["fw.elf", "fw_CRC.hex"]


def test_option_words_in_any_order(velk, monkeypatch, build, tmp_path):
    elf = build()
    outs = []
    for argv in (["FLASH", elf, "--ncrc_value", "--json", "--bin"],
                 ["FLASH", "--bin", "--json", "--ncrc_value", elf]):
        code, out, _ = run_cli(velk, monkeypatch, *argv)
        assert code == 0
        outs.append(json.loads(out))
    assert outs[0] == outs[1]


# --n and --a take their value glued to the letter or as the next word, and a
# response file gives words as the command line does: one or more a line,
# '#' comments, another file named with @.
SPELLINGS = {
    "glued": ["--ncrc_value=CRC-32/ISO-HDLC", "--exclude=0x08000000-0x08000010"],
    "spaced": ["--n", "crc_value=CRC-32/ISO-HDLC", "--exclude", "0x08000000-0x08000010"],
    "response-file": ["@{folder}/records.rsp"],
    "nested": ["@{folder}/outer.rsp"],
}


@pytest.mark.parametrize("spelling", SPELLINGS)
def test_words_glued_spaced_or_from_a_file(velk, monkeypatch, build, tmp_path, spelling):
    elf = build()
    (tmp_path / "records.rsp").write_text(
        "# the application's CRC, as the bootloader computes it\n"
        "--n crc_value=CRC-32/ISO-HDLC  # zlib's\n\n--exclude\n\t0x08000000-0x08000010\n")
    (tmp_path / "outer.rsp").write_text(f"--json @{tmp_path}/records.rsp\n")
    words = [w.format(folder=tmp_path) for w in SPELLINGS[spelling]]
    code, out, err = run_cli(velk, monkeypatch, "FLASH", elf, *words)
    assert code == 0, err
    memory = read_hex(tmp_path / "fw_CRC.hex").memory
    want = zlib.crc32(bytes(memory[a] for a in range(LOAD + 0x10, LOAD + 0x134)))
    assert int.from_bytes(bytes(memory[LOAD + 0x134 + i] for i in range(4)), "little") == want
    for check in (["--a", "134=crc-32/iso-hdlc"], ["--a134=crc-32/iso-hdlc"]):
        code, out, _ = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex", *check,
                               "--exclude", "0x08000000-0x08000010")
        assert code == 0 and out.startswith(f"checksum ok: [0x{want:08X}]"), out


def test_response_files_that_name_each_other_are_refused(velk, monkeypatch, build, tmp_path):
    (tmp_path / "a.rsp").write_text(f"@{tmp_path}/b.rsp")
    (tmp_path / "b.rsp").write_text(f"--ncrc_value @{tmp_path}/a.rsp")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", build(), f"@{tmp_path}/a.rsp")
    assert code == 255 and err.endswith(
        f'"{tmp_path}/a.rsp": response files name each other more than 8 deep (a loop?)\n')


# A response file quotes a word as gcc's do, so a CRC's parameters written
# with spaces, or a path with a space, stays one word; the quotes are not
# part of it. Each spelling asks for zlib's CRC-32.
ZLIB_PARAMETERS = "width=32 poly=0x04c11db7 init=0xffffffff refin=true refout=true xorout=0xffffffff"
QUOTED = {
    "double-quoted-parameters": f'--n crc_value --crc "{ZLIB_PARAMETERS}"\n',
    "single-quoted-parameters": f"--n crc_value --crc '{ZLIB_PARAMETERS}'  # as in the C source\n",
    "quoted-name": '--n crc_value\n--crc "CRC-32/ISO-HDLC"  # "zlib\'s"\n',
    "path-with-space": '--n crc_value @"{folder}/the algorithm.rsp"\n',
    "byte-order-mark": "\ufeff--n crc_value --crc crc32\r\n",
}


@pytest.mark.parametrize("case", QUOTED)
def test_response_file_words_in_quotes(velk, monkeypatch, build, tmp_path, case):
    elf = build()
    (tmp_path / "the algorithm.rsp").write_text("--crc crc32\n")
    (tmp_path / "records.rsp").write_text(QUOTED[case].format(folder=tmp_path),
                                          encoding="utf-8")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, f"@{tmp_path}/records.rsp")
    assert code == 0, err
    memory = read_hex(tmp_path / "fw_CRC.hex").memory
    want = zlib.crc32(bytes(memory[a] for a in range(LOAD, LOAD + 0x134)))
    assert int.from_bytes(bytes(memory[LOAD + 0x134 + i] for i in range(4)), "little") == want


def test_response_file_with_an_open_quote_is_refused(velk, monkeypatch, build, tmp_path):
    (tmp_path / "records.rsp").write_text("--n crc_value\n--crc 'crc-32/iso-hdlc\n")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", build(), f"@{tmp_path}/records.rsp")
    assert code == 255 and err.endswith(
        f'"{tmp_path}/records.rsp": the quote \' opened on line 2 is not closed\n')
    assert not (tmp_path / "fw_CRC.hex").exists()


# FLASH refuses a layout that cannot give a firmware passing its own check;
# --force writes it with the reason as a warning.
STRICT = [
    ("function", "fw_boot.elf", ["--nreset_handler"],
     "reset_handler at 0x08000043 is not a 4-byte checksum variable: it is a function"),
    ("bss-variable", "fw_bss.elf", ["--nbss_word"],
     "bss_word at 0x20000028 is in no loadable segment's file bytes (.bss, or a variable "
     "only in RAM)"),
    ("ram-only-variable", "fw_boot.elf", ["--nboot_status"],
     "boot_status at 0x20000000 is in no loadable segment's file bytes"),
    ("empty-range", "fw_boot.elf", ["--a0"], "the checksum range is empty"),
    ("absolute-address", "fw_boot.elf", ["--a08000100"],
     "--a takes an offset from the image start 0x08000000; 0x08000100 looks like an "
     "absolute address (did you mean --a100?)"),
    # 0x138 bytes of segments: 16 MiB of 0xFF up to 0x09000138, 4 more past it.
    ("fill-beyond-16-mib", "fw_boot.elf", ["--a100013C"],
     "the image from 0x08000000 to 0x09000140 holds 16777220 bytes (16 MiB) of 0xFF"),
]
# These write hundreds of MiB when forced: the forced run is stopped at the
# write by a file size limit, past the checks.
HUGE = {"bss-variable", "ram-only-variable", "absolute-address", "fill-beyond-16-mib"}


def files_of_8_mib_at_most():
    import resource
    resource.setrlimit(resource.RLIMIT_FSIZE, (8 << 20, 8 << 20))


@pytest.mark.parametrize("case, name, options, reason", STRICT, ids=[s[0] for s in STRICT])
def test_strict_unless_forced(velk, monkeypatch, tmp_path, build, case, name, options,
                              reason):
    elf = build(name)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", elf, *options)
    assert (code, out) == (255, "")
    assert err.startswith(f"error: {elf}: {reason}") and err.endswith(
        " (--force writes it anyway)\n")
    assert sorted(os.listdir(tmp_path)) == ["fw.elf"]

    if case in HUGE:
        if os.name != "posix":
            pytest.skip("POSIX only: the forced run is bounded by a file size limit")
        result = run_command("FLASH", elf, *options, "--force", timeout=60,
                             preexec_fn=files_of_8_mib_at_most)
        assert result.returncode == 255
        assert result.stderr.endswith(f"{tmp_path / 'fw_CRC.hex'}: File too large\n")
        assert sorted(os.listdir(tmp_path)) == ["fw.elf"]
        return
    code, out, err = run_cli(velk, monkeypatch, "FLASH", elf, *options, "--force")
    assert code == 0
    assert f"warning: {reason}" in err
    checksum = int(out.split("checksum: [0x")[1][:8], 16)
    record = int(out.split("~0x")[1][:8], 16)
    assert read_hex(tmp_path / "fw_CRC.hex").bytes_at(record, 4) == \
        checksum.to_bytes(4, "little")


def test_check_refuses_a_range_of_gigabytes(velk, monkeypatch, build, tmp_path):
    """A wrong offset would take minutes of 0xFF through the CRC: refused."""
    elf = build()
    assert run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc_value")[0] == 0
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex",
                             "--a7FFFFFFFFFFFFF00")
    assert (code, out) == (2, "")
    assert err.endswith("check the selector (--force checks it anyway)\n")


def test_unaligned_variable_is_refused(velk, monkeypatch, tmp_path):
    path = Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(range(64)), section=".text")],
               symbols=[("crc", LOAD + 0x22)]).write(tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc")
    assert code == 255
    assert err == (f"error: {path}: crc at 0x08000022 is not a 4-byte checksum variable: "
                   "its address is not a multiple of 4 (--force writes it anyway)\n")


@pytest.mark.parametrize("name", ["fw_boot.elf", "fw_clean.elf", "fw_words.elf"])
def test_clean_build_is_neither_refused_nor_warned(velk, monkeypatch, build, name):
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build(name), "--ncrc_value")
    assert (code, err) == (0, "")


# CHECK --elf: "this file is this build, checksummed".
def far_build(folder):
    return Elf(entry=LOAD + 1, segments=[
        Segment(LOAD, bytes(range(256)) * 2 + b"\xff" * 4, section=".text"),
        Segment(0x90000000, b"\x5a" * 64, section=".qspi")],
        symbols=[("crc", LOAD + 0x200)]).write(folder / "fw.elf")


@pytest.mark.parametrize("elf_word", [["--elf", "{elf}"], ["--elf={elf}"]])
def test_check_against_the_build(velk, monkeypatch, tmp_path, elf_word):
    elf = far_build(tmp_path)
    assert run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc")[0] == 0
    hex_path = tmp_path / "fw_CRC.hex"
    against = [w.format(elf=elf) for w in elf_word]
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, "--ncrc", *against)
    assert (code, out) == (0, f"checksum ok: [0x{crc32_mpeg2(bytes(range(256)) * 2):08X}] "
                              f"at 0x08000200 (fed bytes); the file is {elf}, checksummed\n")
    # Outside the checksum: the offset alone cannot see it, the build can.
    flip_hex_byte(hex_path, 0x90000010)
    assert run_cli(velk, monkeypatch, "CHECK", hex_path, "--a200")[0] == 0
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, "--ncrc", *against)
    assert code == 1
    # The checksum is right, but the first line says the file is not the
    # build: no "checksum ok" comes before it.
    assert out.splitlines()[0] == (f"content mismatch at 0x90000010: the file holds 0xA5 "
                                   f"where {elf} has 0x5A")
    assert out.splitlines()[1].startswith("checksum ok: ")


def test_check_a_hex_of_another_build(velk, monkeypatch, tmp_path):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "boot.elf")
    shutil.copy(os.path.join(DATA, "fw_words.elf"), tmp_path / "words.elf")
    assert run_cli(velk, monkeypatch, "FLASH", tmp_path / "words.elf", "--ncrc_value")[0] == 0
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", tmp_path / "words_CRC.hex",
                           "--ncrc_value", "--elf", tmp_path / "boot.elf")
    content, checksum = out.splitlines()
    # The stored value is what the file's own bytes give (the other build's
    # checksum); this build's bytes give another.
    assert code == 1 and content.startswith("content mismatch at 0x080000")
    stored = checksum.split("stored [")[1][:10]
    assert checksum == (f"checksum mismatch at 0x08000134: stored [{stored}], computed "
                        f"[{stored}] from the file's bytes, [0x5EAE7871] from "
                        f"{tmp_path / 'boot.elf'}'s (fed bytes)")


# --json: exactly one object on standard output, the lines on standard error.
def test_json_of_flash_and_check(velk, monkeypatch, tmp_path, build):
    elf = build()
    code, out, err = run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc_value", "--json")
    assert code == 0
    report = json.loads(out)
    assert out.count("\n") == 1 and "create new crc hex file" in err
    hex_path = tmp_path / "fw_CRC.hex"
    image = read_hex(hex_path)
    record = report["record"]
    stored = int.from_bytes(image.bytes_at(record, 4), "little")
    covered = bytes(image.memory[a] for a in range(report["image"]["start"], record))
    assert report == {
        "mode": "FLASH", "input": str(elf), "verdict": "written",
        "files": [str(hex_path), str(tmp_path / "fw_CRC.elf")],
        "image": {"start": min(image.memory), "end": max(image.memory) + 1},
        "record": 0x08000134, "offset": 0x134, "checksum": stored, "feed": "bytes",
        "algorithm": "CRC-32/MPEG-2", "fill": 0xFF,
        "records": [{"kind": "crc", "name": "crc_value", "slot": 0x08000134, "width": 4,
                     "algorithm": "CRC-32/MPEG-2", "start": min(image.memory),
                     "end": 0x08000134,
                     "ranges": [{"start": min(image.memory), "end": 0x08000134}],
                     "value": stored, "bytes": bytes(image.bytes_at(record, 4)).hex()}],
        "outside": [], "warnings": [], "notes": [], "hints": []}
    assert crc32_mpeg2(covered) == stored

    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, "--a134", "--json")
    report = json.loads(out)
    assert (code, report["verdict"], report["stored"], report["checksum"]) == (
        0, "ok", stored, stored)

    # A mismatch's hint is in the object too: a CI log that keeps only the
    # JSON still says what to try.
    code, out, err = run_cli(velk, monkeypatch, "CHECK", hex_path, "--a134", "--words",
                             "--json")
    report = json.loads(out)
    assert (code, report["verdict"]) == (1, "mismatch")
    assert report["hints"] == ["the stored value is the byte-fed checksum: leave out --words"]
    assert "hint: " + report["hints"][0] + "\n" in err


@pytest.mark.parametrize("mode, status", [("FLASH", 255), ("CHECK", 2)])
def test_json_of_a_refusal(velk, monkeypatch, tmp_path, mode, status):
    path = tmp_path / "no\\ne.elf"  # a backslash, which JSON escapes
    code, out, err = run_cli(velk, monkeypatch, mode, path, "--n", "--json")
    report = json.loads(out)
    assert (code, report["input"]) == (status, str(path))
    assert report["verdict"] == "error" and report["files"] == []
    assert "error: " + report["message"] + "\n" == err


# VELK mode: a hint on standard error where its line does not say what to
# do; standard output and the result as they always were.
def velk_run(velk, capfd, path, name):
    result = velk.velk_crc_calc(str(path), name, None, None)
    return (result, *capfd.readouterr())


def test_velk_hints(velk, capfd, tmp_path):
    path = Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(64))],
               symbols=[("crc_value", LOAD + 0x20), ("crc_other", LOAD + 8)]).write(
        tmp_path / "fw.elf")
    assert velk_run(velk, capfd, path, "crc_valeu") == (
        -1, "crc_valeu is not found!\n",
        'hint: no symbol named "crc_valeu" (did you mean crc_value?)\n')
    (tmp_path / "fw.hex").write_text(":00000001FF\n")
    with pytest.raises(Exception) as info:
        velk.velk_crc_calc(str(tmp_path / "fw.hex"), "crc", None, None)
    assert type(info.value).__name__ == "ELFError"
    out, err = capfd.readouterr()
    assert (out, err) == ("", f"hint: {tmp_path / 'fw.hex'}: an Intel HEX file, not an ELF "
                              "file: use CHECK to verify it; a checksum is put in with the "
                              "linker's ELF output\n")


def test_function_symbol_from_a_caller_reader_is_not_fatal(velk, monkeypatch, tmp_path):
    """A symbol typed STT_FUNC in a synthetic build: refused in FLASH."""
    path = Elf(entry=LOAD + 1, segments=[Segment(LOAD, bytes(64), section=".text")],
               symbols=[("crc", LOAD + 0x20, 4, STT_FUNC)]).write(tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc")
    assert code == 255 and "it is a function" in err


def test_slot_not_last_in_flash(velk, monkeypatch, tmp_path):
    """.data's initial values placed after the slot: flashed, not covered,
    and said so as a warning, not only as a note."""
    path = Elf(entry=LOAD + 1, segments=[
        Segment(LOAD, bytes(range(256)), section=".text"),
        Segment(LOAD + 0x100, b"\xff" * 4, section=".crc"),
        Segment(0x20000000, bytes(36), paddr=LOAD + 0x104, section=".data")],
        symbols=[("crc", LOAD + 0x100)]).write(tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc")
    assert code == 0
    assert err.splitlines()[0] == (
        "warning: 36 loadable bytes from 0x08000104 follow the checksum at 0x08000100 in "
        "the same flash image: the checksum does not cover them (is the slot last in "
        "flash, after .data's initial values?)")


def test_check_of_the_unchecksummed_build_says_where_to_look(velk, monkeypatch, build):
    code, out, err = run_cli(velk, monkeypatch, "CHECK", build(), "--ncrc_value")
    assert code == 1 and out.startswith("checksum mismatch at 0x08000134: stored [0xFFFFFFFF]")
    assert err == ("hint: the file holds the placeholder 0xFFFFFFFF: is it the linker's "
                   "output? FLASH writes the checksummed copy as <name>_CRC.elf\n")


def test_check_names_a_byte_the_file_lacks(velk, monkeypatch, tmp_path, build):
    """A record left out of the HEX is missing data, not erased flash."""
    elf = build()
    assert run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc_value")[0] == 0
    hex_path = tmp_path / "fw_CRC.hex"
    lines = hex_path.read_text().splitlines(keepends=True)
    del lines[3]  # the data record for 0x08000010..0x0800001F
    hex_path.write_text("".join(lines))
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", hex_path, "--ncrc_value", "--elf",
                           elf, "--json")
    report = json.loads(out)
    assert (code, report["verdict"]) == (1, "mismatch")
    assert report["difference"]["address"] == 0x08000010
    assert report["difference"]["found"] is None


def test_check_notes_data_the_build_does_not_have(velk, monkeypatch, tmp_path, build):
    """Bytes beyond the build's image (a bootloader merged in) are not
    checked, and the note says they are there."""
    elf = build()
    assert run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc_value")[0] == 0
    hex_path = tmp_path / "fw_CRC.hex"
    lines = hex_path.read_text().splitlines(keepends=True)
    lines.insert(-1, ":020000040810E2\n:0400000001020304F2\n")  # 4 bytes at 0x08100000
    hex_path.write_text("".join(lines))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", hex_path, "--ncrc_value", "--elf",
                             elf)
    assert code == 0 and out.startswith("checksum ok: ")
    assert err == (f"note: the file also holds 4 bytes that {elf} does not, from "
                   "0x08100000: outside its image, not checked (--merge <file> checks what "
                   "was merged)\n")


def test_elf_record_in_bytes_another_segment_loads(velk, monkeypatch, tmp_path):
    """Two segments over the same file bytes: patching them would change the
    other one too, so no _CRC.elf, and a note says why."""
    data = bytearray(Elf(entry=LOAD + 1, segments=[
        Segment(LOAD + 0x100, bytes(range(60)) + b"\xff" * 4, section=".text"),
        Segment(LOAD, bytes(64), section=".copy")],
        symbols=[("crc", LOAD + 0x13C)]).build())
    # Point the second program header at the first one's file bytes.
    first_offset = int.from_bytes(data[52 + 4:52 + 8], "little")
    data[84 + 4:84 + 8] = first_offset.to_bytes(4, "little")
    (tmp_path / "fw.elf").write_bytes(bytes(data))
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc")
    assert code == 0 and not (tmp_path / "fw_CRC.elf").exists()
    assert (f"note: no {tmp_path / 'fw_CRC.elf'} written: the record's bytes in the file "
            "are also loaded by segment 1, at 0x0800003C") in err


def test_line_breaks_in_a_name_stay_on_one_line(velk, monkeypatch, tmp_path):
    code, out, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "a\nb.elf", "--ncrc")
    assert (code, out) == (255, "")
    assert err.count("\n") == 1 and "a\\x0Ab.elf" in err


def test_an_option_is_no_build_file(velk, monkeypatch, tmp_path):
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw.hex", "--a0",
                             "--elf", "--json")
    assert code == 2
    assert json.loads(out)["message"].endswith(
        "--elf needs the build's ELF file, as in --elf fw.elf")
