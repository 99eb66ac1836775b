"""The files other flash tools take: FLASH's raw binary and S-records hold
the HEX's memory, CHECK reads S-records, and the checksum fed 32-bit words
as an STM32 CRC unit fed words from flash computes it."""

import json
import os
import shutil
import struct
import subprocess

import pytest

import qemu
from conftest import DATA, crc32_mpeg2_fast, installed, run_cli, words_reversed
from elfwriter import Elf, Segment
from hexcheck import read_hex, read_srec, srec_fields, srec_record

LOAD = 0x08000000


def data(size, seed):
    return bytes((seed + i * 13) & 0xFF for i in range(size))


LAYOUTS = [
    # id, segments, entry, options that place the checksum
    ("far-region",
     [Segment(LOAD, data(0x100, 1) + b"\xff" * 4, section=".text"),
      Segment(0x20000000, data(0x24, 2), paddr=LOAD + 0x104, section=".data"),
      Segment(0x90000000, data(0x40, 3), section=".qspi")],
     LOAD + 1, ["--ncrc", "--a128", "--s512"]),
    ("below-64k",
     [Segment(0x1000, data(0x80, 4) + b"\xff" * 4, section=".text"),
      Segment(0x1200, data(0x20, 5), section=".rodata")],
     0x1001, ["--ncrc", "--a220", "--s1024"]),
    ("above-16m",
     [Segment(0x1000000, data(0x90, 6) + b"\xff" * 4, section=".text")],
     0x1000001, ["--ncrc", "--a94", "--s256"]),
    ("ends-at-64k",
     [Segment(0xFF00, data(0xFC, 10) + b"\xff" * 4, section=".text")],
     0xFF01, ["--ncrc"]),
    # A 64-bit build's entry point that no 32-bit start address holds.
    ("entry-above-4g",
     [Segment(0x1000, data(0x40, 9) + b"\xff" * 4, section=".text")],
     0x1_0000_1001, ["--ncrc"]),
]
SLOTS = {"far-region": LOAD + 0x100, "below-64k": 0x1080, "above-16m": 0x1000090,
         "ends-at-64k": 0xFFFC, "entry-above-4g": 0x1040}
CASES = [(name, segs, entry, opt) for name, segs, entry, opts in LAYOUTS for opt in opts]


@pytest.mark.parametrize("name, segments, entry, option", CASES,
                         ids=[f"{c[0]}{c[3]}" for c in CASES])
def test_bin_and_srec_hold_the_hex_memory(velk, monkeypatch, tmp_path, name, segments,
                                          entry, option):
    path = Elf(bits=64 if entry >> 32 else 32, entry=entry, segments=segments,
               symbols=[("crc", SLOTS[name])]).write(tmp_path / "fw.elf")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", path, option, "--bin", "--srec")
    assert code == 0, err
    for kind in ("hex", "elf", "bin", "srec"):
        if kind != "elf" or "create new crc elf" in out:
            assert f'create new crc {kind} file "{tmp_path / f"fw_CRC.{kind}"}".' in out
    hexed = read_hex(tmp_path / "fw_CRC.hex")
    srec = read_srec(tmp_path / "fw_CRC.srec")
    assert srec.memory == hexed.memory
    carried = entry if entry >> 32 == 0 else None  # none rather than a wrong one
    assert (srec.entry, hexed.start_linear) == (carried or 0, carried)
    assert ("lies above 4 GiB" in err) == (carried is None)
    highest = max(max(srec.memory), carried or 0)
    assert srec.data_width == (2 if highest <= 0xFFFF else 3 if highest <= 0xFFFFFF else 4)
    assert srec.header == b"fw_CRC.srec" or srec.header == str(tmp_path / "fw_CRC.srec").encode()

    # The .bin: the image's cluster from its lowest address to its end or the
    # record's, whichever is later; the far region only in the other files.
    start = segments[0].vaddr if name != "far-region" else LOAD
    image = sorted(a for a in hexed.memory if a < 0x90000000)
    binary = (tmp_path / "fw_CRC.bin").read_bytes()
    assert len(binary) == image[-1] + 1 - start
    assert binary == bytes(hexed.memory[start + i] for i in range(len(binary)))
    far = [a for a in hexed.memory if a >= 0x90000000]
    assert bool(far) == ("fw_CRC.bin holds 0x" in err)

    # srec_cat reads it without a word; objcopy makes the same bytes of it.
    result = subprocess.run([installed("srec_cat"), tmp_path / "fw_CRC.srec",
                             "-o", "/dev/null"], capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (0, "")
    if not far:
        subprocess.run([installed("arm-none-eabi-objcopy"), "-I", "srec", "-O", "binary",
                        tmp_path / "fw_CRC.srec", tmp_path / "objcopy.bin"], check=True)
        assert (tmp_path / "objcopy.bin").read_bytes() == binary


def test_earlier_bin_and_srec_go_when_not_asked_for(velk, monkeypatch, tmp_path):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    assert run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value", "--bin",
                   "--srec")[0] == 0
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--a200")
    assert code == 0
    assert sorted(os.listdir(tmp_path)) == ["fw.elf", "fw_CRC.hex"]
    assert f"note: {tmp_path / 'fw_CRC.bin'} of an earlier run is removed" in err


# The .bin holds the image alone: the note names every other text file
# that holds the far region's bytes, and each named one does.
@pytest.mark.parametrize("options, also", [(["--bin"], ""),
                                           (["--bin", "--srec"], " and the S-records")],
                         ids=["hex", "hex-and-srec"])
def test_the_bin_note_names_the_files_that_hold_what_it_lacks(velk, monkeypatch, tmp_path,
                                                              options, also):
    name, segments, entry, _ = LAYOUTS[0]
    path = Elf(entry=entry, segments=segments, symbols=[("crc", SLOTS[name])]).write(
        tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc", *options)
    assert code == 0, err
    far = {a: b for a, b in read_hex(tmp_path / "fw_CRC.hex").memory.items()
           if a >= 0x90000000}
    assert len(far) == 0x40
    assert (f"note: {tmp_path / 'fw_CRC.bin'} holds 0x08000000 to 0x08000128; 64 loadable bytes "
            f"outside the image are only in the HEX{also}\n") in err
    if also:
        held = read_srec(tmp_path / "fw_CRC.srec").memory
        assert {a: held[a] for a in far} == far


# A file that holds no addresses, read without one: the refusal names
# its format, or every format whose first bytes would have said so.
NO_BASE = {
    "check-bin": (["CHECK", "fw_CRC.bin", "--a134"],
                  "error: fw_CRC.bin: a raw binary by its name; a raw binary holds no "
                  "addresses: give its base address with --base 0x<address>, or the build it "
                  "was made from with --elf\n"),
    "check-unnamed": (["CHECK", "fw.dat", "--a134"],
                      "error: fw.dat: neither an ELF, Intel HEX, S-record, UF2 nor DfuSe file; a raw "
                      "binary holds no addresses: give its base address with --base "
                      "0x<address>, or the build it was made from with --elf\n"),
    "merge-bin": (["FLASH", "fw.elf", "--a134", "--merge", "fw_CRC.bin"],
                  "error: fw.elf: fw_CRC.bin: a raw binary by its name; a raw binary holds no "
                  "addresses: give it as fw_CRC.bin@0x<address>\n"),
    "merge-unnamed": (["FLASH", "fw.elf", "--a134", "--merge", "fw.dat"],
                      "error: fw.elf: fw.dat: neither an ELF, Intel HEX, S-record, UF2 nor DfuSe file; "
                      "a raw binary holds no addresses: give it as fw.dat@0x<address>\n"),
}


@pytest.mark.parametrize("argv, said", NO_BASE.values(), ids=NO_BASE.keys())
def test_a_file_without_addresses_needs_a_base(velk, monkeypatch, tmp_path, argv, said):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    monkeypatch.chdir(tmp_path)
    assert run_cli(velk, monkeypatch, "FLASH", "fw.elf", "--a134", "--bin")[0] == 0
    shutil.copy(tmp_path / "fw_CRC.bin", tmp_path / "fw.dat")
    code, out, err = run_cli(velk, monkeypatch, *argv)
    assert (code, out, err) == (2 if argv[0] == "CHECK" else 255, "", said)


def test_the_api_names_every_file_by_a_format_its_stub_declares(tmp_path):
    """Each file FLASH writes is one of the formats the typing stub lists,
    every listed format is written, and a base is given for a file that
    holds no addresses alone: where the HEX's first byte is."""
    import ast
    import velk_crc
    with open(os.path.join(os.path.dirname(velk_crc.__file__), "__init__.pyi")) as f:
        stub = ast.parse(f.read())
    output_file = next(n for n in stub.body if isinstance(n, ast.ClassDef)
                       and n.name == "OutputFile")
    annotation = next(n.annotation for n in output_file.body if isinstance(n, ast.AnnAssign)
                      and n.target.id == "format")
    declared = {e.value for e in annotation.slice.elts}
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    (tmp_path / "boot.bin").write_bytes(bytes(range(64)))
    report = velk_crc.flash(tmp_path / "fw.elf", symbol="crc_value", bin=True, srec=True,
                            uf2="rp2040", dfu="0483:df11",
                            merge=[f"{tmp_path / 'boot.bin'}@0x08010000"])
    # The bytes to sign are written alone, by the first of two signing steps.
    assert {f.format for f in report.files} == declared - {"bytes to sign"}
    for f in report.files:
        placed = f.endswith((".bin", ".dfu"))
        held = min(read_hex(f[:-len(".bin")] + ".hex").memory) if placed else None
        assert f.base == held, f


# The word-fed checksum: CRC-32/MPEG-2 over each 4-byte group with its
# bytes reversed.
@pytest.mark.parametrize("name", ["fw_boot.elf", "fw_words.elf", "fw_clean.elf"])
def test_words_feed(velk, monkeypatch, tmp_path, name):
    shutil.copy(os.path.join(DATA, name), tmp_path / "fw.elf")
    code, out, _ = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value",
                           "--words", "--bin")
    assert code == 0
    record = int(out.split("~0x")[1][:8], 16)
    checksum = int(out.split("checksum: [0x")[1][:8], 16)
    assert out.splitlines()[1].endswith(" (fed words)")
    binary = (tmp_path / "fw_CRC.bin").read_bytes()
    covered = binary[:record - LOAD]
    assert checksum == crc32_mpeg2_fast(words_reversed(covered))
    assert binary[record - LOAD:record - LOAD + 4] == checksum.to_bytes(4, "little")

    offset = f"--a{record - LOAD:X}"
    hex_path = tmp_path / "fw_CRC.hex"
    assert run_cli(velk, monkeypatch, "CHECK", hex_path, offset, "--words")[0] == 0
    code, _, err = run_cli(velk, monkeypatch, "CHECK", hex_path, offset)
    assert (code, err) == (1, "hint: the stored value is the checksum fed 32-bit words: "
                              "add --words\n")
    assert run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.elf", "--ncrc_value",
                   "--words")[0] == 0

    # srecord's STM32 filter over the same bytes.
    result = subprocess.run(
        [installed("srec_cat"), tmp_path / "fw_CRC.bin", "-binary", "-crop", "0",
         hex(len(covered)), "-STM32_Little_Endian", hex(len(covered)), "-crop",
         hex(len(covered)), hex(len(covered) + 4), "-offset", hex(-len(covered)),
         "-o", "-", "-binary"],
        capture_output=True, check=True)
    assert result.stdout == checksum.to_bytes(4, "little")


@pytest.mark.parametrize("mode, status", [("FLASH", 255), ("CHECK", 2)])
def test_words_need_whole_words(velk, monkeypatch, tmp_path, mode, status):
    path = Elf(entry=LOAD + 1, segments=[Segment(LOAD, data(0x42, 7), section=".text")],
               symbols=[]).write(tmp_path / "fw.elf")
    forced = ["--force"] if mode == "FLASH" else []
    code, out, err = run_cli(velk, monkeypatch, mode, path, "--s2", "--words", *forced)
    assert (code, out) == (status, "")
    assert "--words feeds whole 32-bit words" in err


def test_words_check_passes_in_the_firmware(velk, monkeypatch, tmp_path):
    """The firmware's boot check feeds words the way the CRC unit takes them:
    the --words HEX boots, the byte-fed one does not."""
    shutil.copy(os.path.join(DATA, "fw_words.elf"), tmp_path / "fw.elf")
    load = ["-device", f"loader,file={tmp_path / 'fw_CRC.hex'}"]
    assert run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value",
                   "--words")[0] == 0
    assert qemu.boot_status(load) == qemu.BOOT_OK
    assert run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value")[0] == 0
    assert qemu.boot_status(load) == qemu.BOOT_CRC_BAD


# CHECK on S-records.
def spoil(text, how):
    lines = text.splitlines(keepends=True)
    if how == "flipped-byte":
        kind, address, payload = srec_fields(lines[3].rstrip("\n"), 4)
        payload = bytearray(payload)
        payload[1] ^= 0xFF  # a byte the checksum covers; the record still adds up
        lines[3] = srec_record(kind, address, bytes(payload))
    elif how == "bad-record":
        lines[3] = lines[3][:-3] + ("01\n" if lines[3].endswith("00\n") else "00\n")
    elif how == "no-termination":
        lines = lines[:-1]
    elif how == "past-4g":
        lines[1] = srec_record("3", 0xFFFFFFF8, bytes(16))
    elif how == "lower-case":
        lines = [line.lower() for line in lines]
    elif how == "count-record":  # data records: all but S0 and S7
        lines.insert(-1, srec_record("5", len(lines) - 2))
    elif how == "wrong-count":  # after two data records
        lines.insert(3, srec_record("5", 3))
    elif how == "after-termination":
        lines += ["\n", srec_record("3", 0x08001000, b"\x5a")]
    elif how == "blanks-after-termination":
        lines += ["\n", " \t\n", "\r\n"]
    elif how == "count-ends-it":  # as srec_cat writes it without a start address
        lines[-1] = srec_record("5", len(lines) - 2)
    elif how == "count-then-data":
        lines[-1:] = [srec_record("5", len(lines) - 2), srec_record("3", 0x08001000, b"\x5a")]
    return "".join(lines)


@pytest.mark.parametrize("how, status, said", [
    ("as-written", 0, "checksum ok: [0x"),
    ("flipped-byte", 1, "checksum mismatch at 0x08000134"),
    ("bad-record", 2, "line 4: the record's checksum does not add up"),
    ("no-termination", 2, "no termination (S7, S8 or S9) record: the file is cut short"),
    ("lower-case", 0, "checksum ok: [0x"),
    ("count-record", 0, "checksum ok: [0x"),
    ("wrong-count", 2, "line 4: a record count (S5) of 3, but 2 data records come before it"),
    ("after-termination", 2, "line {last}: a record after the termination record (S7)"),
    ("blanks-after-termination", 0, "checksum ok: [0x"),
    ("count-ends-it", 0, "checksum ok: [0x"),
    ("count-then-data", 2, "no termination (S7, S8 or S9) record: the file is cut short"),
    ("past-4g", 2, "line 2: a data record that runs past 0xFFFFFFFF, the end of its 4 GiB "
                   "window: readers that wrap put its last bytes at 0x00000000"),
])
def test_check_reads_srecords(velk, monkeypatch, tmp_path, how, status, said):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    assert run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value",
                   "--srec")[0] == 0
    path = tmp_path / "fw_CRC.srec"
    path.write_text(spoil(path.read_text(), how))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--a134")
    assert code == status
    said = said.format(last=len(path.read_text().splitlines()))
    assert said in out + err and (out + err).count("\n") == 1


@pytest.mark.parametrize("start", [[], ["-execution-start-address", "0x08000101"]],
                         ids=["no-start-address", "start-address"])
def test_check_reads_srec_cat_srecords(velk, monkeypatch, tmp_path, start):
    """srec_cat ends its S-records with a record count (S5), and a
    termination record only when it has a start address."""
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    assert run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value",
                   "--bin")[0] == 0
    path = tmp_path / "srec_cat.srec"
    subprocess.run([installed("srec_cat"), tmp_path / "fw_CRC.bin", "-binary", "-offset",
                    hex(LOAD), *start, "-o", path], check=True)
    kinds = [line[:2] for line in path.read_text().splitlines()]
    assert kinds[-2:] == (["S5", "S7"] if start else ["S3", "S5"])
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--a134")
    assert (code, out[:15], err) == (0, "checksum ok: [0", "")


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """FLASH's HEX and S-records of fw_boot.elf, as text."""
    import velk_crc
    folder = tmp_path_factory.mktemp("written")
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), folder / "fw.elf")
    velk_crc.flash(folder / "fw.elf", symbol="crc_value", srec=True)
    return {kind: (folder / f"fw_CRC.{kind}").read_text() for kind in ("hex", "srec")}


# What follows the end record is left unread, as objcopy and srec_cat leave
# a line that is no record, in both formats alike.
@pytest.mark.parametrize("kind, end", [("hex", "end-of-file"), ("srec", "termination")])
@pytest.mark.parametrize("after", ["garbage here\n", "\x00\x01binary", "-- end --"],
                         ids=["text", "binary", "dashes"])
def test_what_follows_the_end_record_is_a_note(velk, monkeypatch, tmp_path, written, kind,
                                               end, after):
    text = written[kind]
    path = tmp_path / f"fw_CRC.{kind}"
    path.write_text(text + "\n" + after)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--a134")
    last = len(text.splitlines()) + 2
    assert (code, out[:15]) == (0, "checksum ok: [0"), err
    assert err == (f"note: line {last}: what follows the {end} record is not read, as objcopy "
                   "and srec_cat leave it\n")
    objcopy = installed("arm-none-eabi-objcopy")
    subprocess.run([objcopy, "-I", "ihex" if kind == "hex" else "srec", "-O", "binary", path,
                    tmp_path / "objcopy.bin"], check=True)
    assert (tmp_path / "objcopy.bin").stat().st_size == 0x138


# The kinds of file a text reader must know by their name or first bytes.
FILE_KINDS = {
    # Known by its first bytes, an 's' as good as an 'S'.
    "lower-case-unnamed": ("srec", "fw.txt", str.lower, [], 0, "checksum ok: [0"),
    # A blank line holding a tab before the first record.
    "leading-tab-hex": ("hex", "fw.txt", lambda t: "\t\n" + t, [], 0, "checksum ok: [0"),
    "leading-tab-srec": ("srec", "fw.txt", lambda t: " \t\n\t\n" + t, [], 0, "checksum ok: [0"),
    # The ending names S-records: --base is for a raw binary, not for them.
    "s19-ending": ("srec", "fw.s19", str, ["--base", "0x08000000"], 2,
                   "--base places a raw binary; the file is an S-record file, which holds its "
                   "addresses"),
    "S19-in-capitals": ("srec", "FW.S19", str, ["--base", "0x08000000"], 2,
                        "the file is an S-record file"),
    # Unnamed text is placed as a raw binary with --base.
    "unnamed-with-base": ("srec", "fw.txt", str, ["--base", "0x08000000"], 1,
                          "checksum mismatch"),
}


@pytest.mark.parametrize("kind, name, change, options, status, said", FILE_KINDS.values(),
                         ids=FILE_KINDS.keys())
def test_file_kinds(velk, monkeypatch, tmp_path, written, kind, name, change, options, status,
                    said):
    path = tmp_path / name
    path.write_text(change(written[kind]))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--a134", *options)
    assert code == status and said in out + err, out + err


def test_an_srecord_start_address_0_is_none(velk, monkeypatch, tmp_path):
    """A build with no entry point: FLASH ends its S-records with S7 0, which
    CHECK reads as no start address, as the build has none."""
    path = Elf(entry=0, segments=[Segment(LOAD, data(0x100, 3) + b"\xff" * 4,
                                          section=".text")],
               symbols=[("crc", LOAD + 0x100)]).write(tmp_path / "fw.elf")
    assert run_cli(velk, monkeypatch, "FLASH", path, "--ncrc", "--srec")[0] == 0
    lines = (tmp_path / "fw_CRC.srec").read_text().splitlines()
    assert lines[-1] == srec_record("7", 0).rstrip("\n")
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.srec", "--ncrc",
                             "--elf", path, "--json")
    assert code == 0, err
    assert json.loads(out)["start_address"] == {"expected": None, "found": None, "ok": True}


# --- UF2 files checked alone ------------------------------------------------

HEADER_WORDS = ["--header", "0x08000040+16:size@4,crc@8=crc-32/iso-hdlc", "--a1DC", "--words",
                "--exclude", "0x08000048-0x0800004C"]


@pytest.fixture(scope="module")
def two_checks_uf2(tmp_path_factory):
    """fw_two_checks.elf's header and trailer CRC, as FLASH writes them in
    UF2 (whole 256-byte pages, the last padded with 0xFF) and HEX."""
    import velk_crc
    folder = tmp_path_factory.mktemp("uf2")
    shutil.copy(os.path.join(DATA, "fw_two_checks.elf"), folder / "app.elf")
    velk_crc.flash(folder / "app.elf", header="app_header:size@4,crc@8=crc-32/iso-hdlc",
                   symbol="app_crc", words=True, exclude="0x08000048-0x0800004C",
                   uf2="stm32f4")
    return (folder / "app_CRC.uf2").read_bytes()


def uf2_blocks(blob):
    """(flags, address, size, block number, family) of each 512-byte block,
    read here from the format's fields."""
    return [struct.unpack_from("<8I", blob, at)[2:] for at in range(0, len(blob), 512)]


def patched(blob, address, byte):
    """The UF2 file with the payload byte at `address` set to `byte`."""
    out = bytearray(blob)
    for k, (_, target, size, _, _, _) in enumerate(uf2_blocks(blob)):
        if target <= address < target + size:
            out[512 * k + 32 + address - target] = byte
            return bytes(out)
    raise AssertionError(f"no block holds 0x{address:08X}")


@pytest.mark.parametrize("change, status, said", [
    (None, 0, "header.size ok: [0x00000190] at 0x08000044\n"),
    # A byte of the body: the header's crc, and the trailer CRC over it.
    ((0x08000100, 0x00), 1, "header.crc at 0x08000048 holds 0x328CB559; the body's checksum"),
    # Data after the body the size measures: no longer erased padding.
    ((0x080001E4, 0x00), 1, "header.size at 0x08000044 holds 0x00000190; the body is "
                            "0x000001B0 bytes"),
], ids=["as-written", "body-byte", "byte-after-the-body"])
def test_the_header_body_of_a_uf2_ends_at_its_size(velk, monkeypatch, tmp_path, two_checks_uf2,
                                                   change, status, said):
    blob = two_checks_uf2
    # The last block is a whole page, 0xFF after the image's end (0x080001E0).
    flags, address, size, _, _, _ = uf2_blocks(blob)[-1]
    assert (address + size, blob[-512 + 32 + 0xE0:-512 + 32 + 0x100]) == \
        (0x08000200, b"\xff" * 0x20)
    if change:
        blob = patched(blob, *change)
    path = tmp_path / "app_CRC.uf2"
    path.write_bytes(blob)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, *HEADER_WORDS)
    assert code == status and said in out, out + err
    if change is None:
        import velk_crc
        report = velk_crc.check(path, header="0x08000040+16:size@4,crc@8=crc-32/iso-hdlc",
                                offset=0x1DC, words=True, exclude="0x08000048-0x0800004C")
        assert report.ok and [r["end"] for r in report.records] == [0x080001E0] * 2 + \
            [0x080001DC]


@pytest.mark.parametrize("how, carried", [
    ("family", "family 0x12345678"),
    ("no-family-flag", "no family ID"),
])
@pytest.mark.parametrize("uf2", [[], ["--uf2", "stm32f4"]], ids=["alone", "with-uf2"])
def test_a_block_of_another_family_is_content_a_bootloader_skips(
        velk, monkeypatch, tmp_path, two_checks_uf2, how, carried, uf2):
    blob = bytearray(two_checks_uf2)
    if how == "family":
        struct.pack_into("<I", blob, 512 + 28, 0x12345678)
    else:
        struct.pack_into("<I", blob, 512 + 8, 0)
    path = tmp_path / "app_CRC.uf2"
    path.write_bytes(bytes(blob))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, *HEADER_WORDS, *uf2)
    assert code == 1, err
    assert out.startswith(f"UF2 block 1 (256 bytes at 0x08000100) carries {carried}, not the "
                          "other blocks' family 0x57755A57 (stm32f4): a bootloader of theirs "
                          "skips it, so its bytes are not flashed\n"), out
    import velk_crc
    report = velk_crc.check(path, header="0x08000040+16:size@4,crc@8=crc-32/iso-hdlc",
                            offset=0x1DC, words=True, exclude="0x08000048-0x0800004C")
    assert not report.ok and report.uf2_skipped == {
        "block": 1, "family": 0x12345678 if how == "family" else None, "address": 0x08000100,
        "size": 256, "blocks": 1}
    # FLASH merges what a bootloader flashes: such a file is refused there.
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc_value",
                           "--merge", path)
    assert code == 255 and "cannot read it as UF2: block 1: another family ID than the first " \
                           "block's" in err, err
