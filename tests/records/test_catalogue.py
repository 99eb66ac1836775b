"""The checksum catalogue: every CRC catalogue entry gives its check value
by every name; representative rows agree with a bitwise CRC worked out here
from their parameters, crcmod's rows with crcmod, sums, Fletcher and Adler
with this file's own arithmetic and zlib, negated sums with srec_cat; every
row --list-crc lists computes the check value it lists; every CRC row's
residue is the one the catalogue gives."""

import hashlib
import os
import random
import re
import shutil
import subprocess
import zlib

import crcmod
import crcmod.predefined
import pytest

from conftest import ROOT, run_cli
from crcref import ALIASES, CATALOGUE, Crc, crc as bitwise, reflect
from sumref import NOT_CRCS, fletcher
from velk_crc import _core

T, F = True, False
CHECK_DATA = b"123456789"
ROWS = [row[0] for row in crcmod.predefined._crc_definitions_table]
DATA = random.Random(27).randbytes(1 << 20)
LENGTHS = range(0, 301)
COMPUTED = [name for name, row in CATALOGUE.items() if row.width <= 64]


def words_reversed(data):
    return b"".join(data[i:i + 4][::-1] for i in range(0, len(data), 4))


# --- CRCs --------------------------------------------------------------------

@pytest.mark.parametrize("name", COMPUTED)
def test_every_catalogue_entry_gives_its_check_value(name):
    want = CATALOGUE[name]
    assert bitwise(want, CHECK_DATA) == want.check  # the test's own row is right
    assert _core._checksum(name, CHECK_DATA, False) == want.check
    assert _core._checksum(name.lower(), CHECK_DATA, False) == want.check


# The engine's own rows, as the table in its source writes them.
ROWS_INC = os.path.join(ROOT, "src", "engine", "checksum", "crc_rows.inc")
ROW = re.compile(r'^crc\(\{"([^"]+)"[^}]*\}, (?:nullptr|"[^"]+"), '
                 r'\{(\d+), (0x\w+), (0x\w+), ([TF]), ([TF]), (0x\w+)\}, '
                 r'"(0x\w+)", "(0x\w+)"\),$')


def engine_rows():
    with open(ROWS_INC) as f:
        for line in f:
            if found := ROW.match(line.strip()):
                name, width, poly, init, refin, refout, xorout, check, residue = found.groups()
                yield pytest.param(name, Crc(int(width), int(poly, 16), int(init, 16),
                                             refin == "T", refout == "T", int(xorout, 16),
                                             int(check, 16)), int(residue, 16), id=name)


ENGINE_ROWS = list(engine_rows())


def residue_bitwise(algorithm, message):
    """The register after `message` and its own CRC, before the final XOR:
    the CRC's bits go in after the message's, in the order the register
    shifts them out."""
    width, value = algorithm.width, bitwise(algorithm, message)
    top, mask = 1 << (width - 1), (1 << width) - 1
    shown = (lambda v: reflect(v, width)) if algorithm.refout else (lambda v: v)
    register, bits = shown(value ^ algorithm.xorout), shown(value)
    for k in range(width - 1, -1, -1):
        feedback = bool(register & top) ^ bool(bits >> k & 1)
        register = (register << 1) & mask
        if feedback:
            register ^= algorithm.poly
    return shown(register)


@pytest.mark.parametrize("name, row, residue", ENGINE_ROWS)
def test_every_crc_row_has_the_catalogues_parameters_and_residue(name, row, residue):
    assert CATALOGUE[name] == row
    for message in (b"", CHECK_DATA, DATA[:37]):
        assert residue_bitwise(row, message) == residue
        if row.width % 8 == 0 and row.refin == row.refout:
            order = "little" if row.refin else "big"
            crc = _core._checksum(name, message, False).to_bytes(row.width // 8, order)
            assert _core._checksum(name, message + crc, False) ^ row.xorout == residue


def test_the_engines_rows_are_every_catalogue_entry():
    names = [p.values[0] for p in ENGINE_ROWS]
    assert len(names) == len(set(names)) == len(COMPUTED) - 2  # crcmod's own two aside


# crcmod's name crc-64 is crcmod's own CRC, as it always was, and not the
# catalogue's alias CRC-64 of CRC-64/ECMA-182.
@pytest.mark.parametrize("alias", [a for a in ALIASES if a != "CRC-64"]
                         + ["crc32", "zlib", "crc-32/zlib"])
def test_every_alias_is_its_entry(alias):
    entry = CATALOGUE[ALIASES.get(alias, "CRC-32/ISO-HDLC")]
    assert _core._checksum(alias, CHECK_DATA, False) == entry.check


# Widths below a byte, between bytes, refin unlike refout, 24, 40 and 64 bits.
REPRESENTATIVE = ["CRC-3/GSM", "CRC-5/USB", "CRC-7/MMC", "CRC-10/ATM", "CRC-12/UMTS",
                  "CRC-15/CAN", "CRC-16/KERMIT", "CRC-21/CAN-FD", "CRC-24/BLE",
                  "CRC-31/PHILIPS", "CRC-40/GSM", "CRC-64/XZ", "CRC-64/WE"]


@pytest.mark.parametrize("name", REPRESENTATIVE)
def test_representative_rows_agree_with_a_bitwise_crc(name):
    want = CATALOGUE[name]
    for length in [*range(0, 70), 127, 128, 129, 255, 1000]:
        data = DATA[3 * length:4 * length]
        assert _core._checksum(name, data, False) == bitwise(want, data), length


@pytest.mark.parametrize("name", ROWS)
def test_every_crcmod_row_agrees_with_crcmod(name):
    reference = crcmod.predefined.mkPredefinedCrcFun(name)
    assert _core._checksum(name, CHECK_DATA, False) == reference(CHECK_DATA)
    for length in LENGTHS:
        data = DATA[length:2 * length]
        assert _core._checksum(name, data, False) == reference(data), length
    assert _core._checksum(name, DATA, False) == reference(DATA)


def test_words_are_fed_as_the_stm32_unit_takes_them():
    reference = crcmod.predefined.mkPredefinedCrcFun("crc-32-mpeg")
    for length in range(0, 301, 4):
        data = DATA[length:2 * length]
        assert _core._checksum("CRC-32/MPEG-2", data, True) == reference(words_reversed(data))
    assert _core._checksum("CRC-32/MPEG-2", DATA, True) == reference(words_reversed(DATA))


def test_an_unknown_name_is_no_algorithm():
    with pytest.raises(ValueError, match="no algorithm 'crc-33'"):
        _core._checksum("crc-33", b"", False)


# The STM32H7 CRC unit as configured by some bootloaders: no catalogue row.
@pytest.mark.parametrize("parameters", [
    (32, 0x04C11DB7, 0, F, F, 0x55555555),
    (13, 0x1CF5, 0x1FFF, T, F, 0x0AAA),
    (1, 0x1, 0x0, F, F, 0x0),
], ids=["stm32h7-unit", "13-bit-refin-only", "parity"])
def test_parameters_outside_the_catalogue(parameters):
    want = Crc(*parameters, None)
    for length in (0, 1, 7, 8, 9, 67, 300):
        data = DATA[length:2 * length]
        assert _core._checksum(parameters, data, False) == bitwise(want, data), length


# --- Sums, Fletcher, Adler ---------------------------------------------------

@pytest.mark.parametrize("order", ["little", "big"])
@pytest.mark.parametrize("name", NOT_CRCS)
def test_sums_fletcher_and_adler_by_their_arithmetic(name, order):
    reference = NOT_CRCS[name]
    big = order == "big"
    for length in [*range(0, 40), 255, 256, 5553, 70000]:
        data = DATA[length:2 * length]
        assert _core._checksum(name, data, False, big) == reference(data, order), length


def test_fletcher_and_adler_reduce_long_runs_of_high_bytes():
    data = b"\xff" * (3 << 20)
    assert _core._checksum("adler-32", data, False) == zlib.adler32(data)
    assert _core._checksum("fletcher-32", data, False) == fletcher(data, 2, "little")


def test_sha256_is_hashlibs_digest():
    for length in (0, 1, 55, 56, 64, 1000, 1 << 20):
        data = DATA[:length]
        assert _core._checksum("sha-256", data, False) == hashlib.sha256(data).digest()


SREC_CAT = shutil.which("srec_cat")


# srec_cat's -checksum-neg: <nbytes> of the value, <width> of each word.
@pytest.mark.skipif(not SREC_CAT, reason="srec_cat is not installed")
@pytest.mark.parametrize("order", ["l-e", "b-e"])
@pytest.mark.parametrize("name, nbytes, width", [
    ("sum-8/neg", 1, 1), ("sum-16/neg", 2, 1), ("sum-32/neg", 4, 1),
    ("sum-16/words/neg", 2, 2), ("sum-32/words/neg", 4, 4),
])
def test_negated_sums_agree_with_srec_cat(tmp_path, name, nbytes, width, order):
    for length in (9, 64, 1001):
        data = DATA[:length]
        (tmp_path / "in.bin").write_bytes(data)
        subprocess.run([SREC_CAT, tmp_path / "in.bin", "-binary",
                        f"-checksum-neg-{order}", str(length), str(nbytes), str(width),
                        "-o", tmp_path / "out.bin", "-binary"], check=True)
        stored = (tmp_path / "out.bin").read_bytes()[length:]
        want = int.from_bytes(stored, "little" if order == "l-e" else "big")
        assert _core._checksum(name, data, False, order == "b-e") == want, length


# srec_cat stores Fletcher-16's sum2 first with -l-e: the other byte order.
@pytest.mark.skipif(not SREC_CAT, reason="srec_cat is not installed")
@pytest.mark.parametrize("order, ours", [("l-e", "big"), ("b-e", "little")])
def test_srec_cats_fletcher16_is_ours_in_the_other_order(tmp_path, order, ours):
    for length in (9, 64, 1001):
        data = DATA[:length]
        (tmp_path / "in.bin").write_bytes(data)
        subprocess.run([SREC_CAT, tmp_path / "in.bin", "-binary", f"-fletcher16-{order}",
                        str(length), "-o", tmp_path / "out.bin", "-binary"], check=True)
        stored = (tmp_path / "out.bin").read_bytes()[length:]
        assert _core._checksum("fletcher-16", data, False).to_bytes(2, ours) == stored, length


# --- The list ----------------------------------------------------------------

def listed_rows(velk, monkeypatch):
    code, out, _ = run_cli(velk, monkeypatch, "--list-crc")
    assert code == 0
    rows = []
    for line in out.splitlines()[3:]:
        bits, check, names = line.split(None, 2)
        notes = names.split(" (")
        rows.append((int(bits), int(check, 16), notes[0].split(", "), notes[1:]))
    return rows


def test_every_listed_row_computes_its_check_value(velk, monkeypatch):
    for bits, check, names, notes in listed_rows(velk, monkeypatch):
        if names[0] == "sha-256":
            assert check == int(hashlib.sha256(CHECK_DATA).hexdigest(), 16)
        elif bits > 64:
            assert notes == ["listed only: wider than 64 bits)"]
        else:
            for name in names:
                assert _core._checksum(name, CHECK_DATA, False) == check, name


def test_the_list_holds_every_catalogue_entry_and_alias(velk, monkeypatch):
    listed = {name: (bits, check)
              for bits, check, names, _ in listed_rows(velk, monkeypatch) for name in names}
    for name, row in CATALOGUE.items():
        assert listed.get(name) == (row.width, row.check), name
    for alias, entry in ALIASES.items():
        if alias != "CRC-64":
            assert listed.get(alias) == listed[entry], alias
    assert set(NOT_CRCS) | {"sha-256"} <= set(listed)
