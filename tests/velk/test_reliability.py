"""Bad inputs and repetition: every input answered, nothing leaked."""

import contextlib
import gc
import os
import subprocess
import sys
import textwrap

import pytest
from elftools.common.exceptions import ELFError, ELFParseError

from conftest import posix_only, without_root_override
from elfwriter import Elf, Segment

LOAD = 0x08000000
IMAGE = bytes(range(64))
GOOD = Elf(entry=LOAD + 1, segments=[Segment(LOAD, IMAGE)],
           symbols=[("crc", LOAD + 0x20)])


def good_bytes():
    return GOOD.build()


BAD_FILES = [
    # id, file contents, outcome: an exception type, or the printed line and -1
    ("text-file", b"not an ELF file\n", ELFError),
    ("empty-file", b"", ELFError),
    ("truncated-elf-header", good_bytes()[:30], ELFParseError),
    ("truncated-program-headers", good_bytes()[:60], ELFParseError),
    ("segment-size-past-eof",
     Elf(segments=[Segment(LOAD, IMAGE, filesz=0x10000, memsz=0x10000)],
         symbols=[("crc", LOAD + 0x20)]).build(),
     'elf error "p_filesz" runs past the end of the file!'),
    ("segment-offset-past-eof",
     Elf(segments=[Segment(LOAD, IMAGE, offset=0x100000)],
         symbols=[("crc", LOAD + 0x20)]).build(),
     'elf error "p_filesz" runs past the end of the file!'),
    ("symtab-links-null-section",
     Elf(segments=[Segment(LOAD, IMAGE)], symbols=[("crc", LOAD + 0x20)],
         strtab_link=0).build(), ELFError),
    ("symtab-links-missing-section",
     Elf(segments=[Segment(LOAD, IMAGE)], symbols=[("crc", LOAD + 0x20)],
         strtab_link=99).build(), ELFParseError),
]


@pytest.mark.parametrize("data, outcome", [b[1:] for b in BAD_FILES],
                         ids=[b[0] for b in BAD_FILES])
def test_bad_files(velk, tmp_path, capfd, data, outcome):
    path = tmp_path / "fw.elf"
    path.write_bytes(data)
    if isinstance(outcome, str):
        assert velk.velk_crc_calc(str(path), "crc", None, None) == -1
        assert capfd.readouterr().out == outcome + "\n"
    else:
        with pytest.raises(outcome):
            velk.velk_crc_calc(str(path), "crc", None, None)
        assert capfd.readouterr().out == ""
    assert not (tmp_path / "fw_CRC.hex").exists()


def test_directory_as_elf_name(velk, tmp_path, capfd):
    (tmp_path / "a-directory.elf").mkdir()
    assert velk.velk_crc_calc(str(tmp_path / "a-directory.elf"), "crc", None, None) == -1
    out, err = capfd.readouterr()
    assert out == ""
    assert err.splitlines()[-1].startswith("IsADirectoryError:")


def test_path_with_spaces_and_non_ascii(velk, tmp_path):
    folder = tmp_path / "build dir ü"
    folder.mkdir()
    GOOD.write(folder / "fw é.elf")
    assert velk.velk_crc_calc(str(folder / "fw é.elf"), "crc", None, None) is None
    assert (folder / "fw é_CRC.hex").is_file()


@pytest.mark.parametrize("setup", ["read-only-directory", "read-only-output-file"])
@posix_only("read-only by permission bits")
def test_permission_refused(tmp_path, setup):
    """Run without root's permission override, as a build user would."""
    folder = tmp_path / "out"
    folder.mkdir()
    GOOD.write(folder / "fw.elf")
    if setup == "read-only-output-file":
        (folder / "fw_CRC.hex").write_text("old\n")
        (folder / "fw_CRC.hex").chmod(0o444)
    else:
        folder.chmod(0o555)
    code = textwrap.dedent(f"""
        import VELK_CRC
        try:
            VELK_CRC.velk_crc_calc({str(folder / 'fw.elf')!r}, "crc", None, None)
        except PermissionError as exc:
            print("PermissionError", exc.filename.endswith("fw_CRC.hex"))
    """)
    result = subprocess.run([*without_root_override(), sys.executable, "-c", code],
                            capture_output=True, text=True, timeout=60)
    folder.chmod(0o755)
    assert result.stdout == "PermissionError True\n"
    if setup == "read-only-output-file":
        assert (folder / "fw_CRC.hex").read_text() == "old\n"


class NullWriter:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture(scope="module")
def leak_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    GOOD.write(folder / "fw.elf")
    (folder / "text.elf").write_bytes(b"not an ELF file\n")
    Elf(segments=[]).write(folder / "nosegments.elf")
    Elf(segments=[Segment(LOAD, IMAGE, filesz=0x1000, memsz=0x1000)]).write(
        folder / "short.elf")
    Elf(segments=[Segment(LOAD, IMAGE)], symbols=[("crc", LOAD - 4)]).write(
        folder / "below.elf")
    return folder


WARM_UP, BATCH, BATCHES, SETTLED = 100, 300, 10, 30

# The argument objects whose reference counts must not change.
NAME, ADDRESS, BLOCK = "crc", "0x80", "64"


def leak_paths(velk, folder, fw):
    text = str(folder / "text.elf")
    calc = velk.velk_crc_calc
    return {
        "success-name": lambda: calc(fw, NAME, None, None),
        "success-address": lambda: calc(fw, None, ADDRESS, None),
        "success-block": lambda: calc(fw, None, None, BLOCK),
        "no-request": lambda: calc(fw, None, None, None),
        "bad-address": lambda: calc(fw, None, "0xg", None),
        "address-not-multiple": lambda: calc(fw, None, "3", None),
        "negative-address": lambda: calc(fw, None, "-4", None),
        "bad-block": lambda: calc(fw, None, None, "48"),
        "name-not-found": lambda: calc(fw, "nothing", None, None),
        "name-below-load": lambda: calc(str(folder / "below.elf"), "crc", None, None),
        "no-segment": lambda: calc(str(folder / "nosegments.elf"), "crc", None, None),
        "segment-past-eof": lambda: calc(str(folder / "short.elf"), "crc", None, None),
        "open-failure": lambda: calc(str(folder / "missing.elf"), "crc", None, None),
        "not-elf": lambda: calc(text, "crc", None, None),
        "calc-argument-error": lambda: calc(fw, None),
        "crc": lambda: velk.calc_crc_mpeg2(IMAGE),
        "crc-type-error": lambda: velk.calc_crc_mpeg2(5),
        "crc-argument-error": lambda: velk.calc_crc_mpeg2(data=IMAGE, extra=1),
        "usage": lambda: velk.usage("x"),
        "usage-type-error": lambda: velk.usage(5),
        "runmain-short": lambda: velk.runmain(),
        "runmain-argument-error": lambda: velk.runmain(1),
    }




@pytest.mark.parametrize("path", [
    "success-name", "success-address", "success-block", "no-request", "bad-address",
    "address-not-multiple", "negative-address", "bad-block", "name-not-found",
    "name-below-load", "no-segment", "segment-past-eof", "open-failure", "not-elf",
    "calc-argument-error", "crc", "crc-type-error", "crc-argument-error", "usage",
    "usage-type-error", "runmain-short", "runmain-argument-error",
])
def test_no_reference_or_descriptor_leak(velk, leak_files, monkeypatch, path):
    fw = str(leak_files / "fw.elf")
    call = leak_paths(velk, leak_files, fw)[path]
    monkeypatch.setattr(sys, "argv", ["prog"])

    def once():
        try:
            call()
        except (Exception, SystemExit):
            pass

    with contextlib.redirect_stdout(NullWriter()), contextlib.redirect_stderr(NullWriter()):
        for _ in range(WARM_UP):  # warm the caches of the packages and the runtime
            once()
        gc.collect()
        fds = open_fds()
        args = [fw, NAME, ADDRESS, BLOCK, IMAGE]
        counts = [sys.getrefcount(a) for a in args]
        # The runtime's own caches settle within a few batches (3.12 and
        # later take longer); one object kept per call never settles.
        growth = []
        for _ in range(BATCHES):
            gc.collect()
            blocks = sys.getallocatedblocks()
            for _ in range(BATCH):
                once()
            gc.collect()
            growth.append(sys.getallocatedblocks() - blocks)
            if growth[-1] < SETTLED:
                break
    assert growth[-1] < SETTLED, f"blocks more after each {BATCH} calls: {growth}"
    assert open_fds() == fds
    assert [sys.getrefcount(a) for a in args] == counts


def test_huge_address_is_not_capped(velk, tmp_path, capfd):
    """A 1 MiB offset is padded as asked (the figures for larger ones are in
    docs/reliability.md)."""
    GOOD.write(tmp_path / "fw.elf")
    assert velk.velk_crc_calc(str(tmp_path / "fw.elf"), None, "100000", None) is None
    assert f"PAD {0x100000 - 64} byte 0xFF" in capfd.readouterr().out
