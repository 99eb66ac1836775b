"""FLASH checks what it is about to put in place as its own CHECK would: a
file that would fail is never renamed into place. A fault is planted with
the engine's test hook (VELK_CRC_TEST_FAULT=0x<address> changes that byte
of the final image after the records are stored and the image is signed);
the run must stop with exit 70 and one line naming the file and CHECK's
line for the record, computed here from the test's own CRC and the image's
own fields, and leave every file as it was. Runs without a fault, in every
format, still write and pass CHECK."""

import os
import struct

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa

import velk_crc
from conftest import crc32_mpeg2, run_command
from elfwriter import Elf, Segment

SLOT = 0x08000000
HEADER = 0x200
APP = SLOT + HEADER
SIZE = 0x400          # the application, vector table first, its CRC last
CRC_AT = APP + SIZE - 4
SLOT_SIZE = 0x2000
IMAGE_MAGIC = 0x96F3B83D
INTERNAL = 70


def application():
    data = bytearray(SIZE)
    struct.pack_into("<I", data, 0, 0x20002000)
    for i in range(1, 16):
        struct.pack_into("<I", data, 4 * i, APP + 0x41 + 2 * i)
    for i in range(0x40, SIZE - 4):
        data[i] = (i * 13 + 5) & 0xFF
    data[-4:] = b"\xff" * 4
    return bytes(data)


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    """The application linked HEADER bytes into its slot, a bootloader HEX
    below the slot, and an Ed25519 key (key.pem), an ECDSA P-256 and an
    RSA-2048 one."""
    folder = tmp_path_factory.mktemp("self_check")
    elf = folder / "app.elf"
    Elf(segments=[Segment(APP, application(), section=".text")],
        symbols=[("crc_value", CRC_AT, 4, 1)], entry=APP + 0x41).write(str(elf))
    boot = folder / "boot.hex"
    boot_bytes = bytes((i * 5 + 1) & 0xFF for i in range(0x100))
    # The bootloader sits below the slot, in the 64 KiB page 0x07FF.
    lines = [":0200000407FFF4"]
    for at in range(0, len(boot_bytes), 16):
        chunk = boot_bytes[at:at + 16]
        address = (SLOT - 0x1000 + at) & 0xFFFF
        record = bytes([len(chunk), address >> 8, address & 0xFF, 0]) + chunk
        lines.append(":" + (record + bytes([-sum(record) & 0xFF])).hex().upper())
    lines.append(":00000001FF")
    boot.write_text("\n".join(lines) + "\n")
    made = {"key.pem": ed25519.Ed25519PrivateKey.generate(),
            "ecdsa.pem": ec.generate_private_key(ec.SECP256R1()),
            "rsa.pem": rsa.generate_private_key(65537, 2048)}
    for name, private in made.items():
        (folder / name).write_bytes(private.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption()))
    return folder, elf, boot, folder / "key.pem"


def fresh(build, tmp_path):
    """The build in a folder of its own, so each case starts with no files."""
    folder, elf, boot, key = build
    own = tmp_path / "app.elf"
    own.write_bytes(elf.read_bytes())
    return own, boot, key


def listing(folder):
    """Every name in the folder with its bytes: what a run must leave alone."""
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def planted(address, *argv, cwd):
    env = dict(os.environ, VELK_CRC_TEST_FAULT=address if isinstance(address, str)
               else hex(address))
    return run_command(*argv, cwd=cwd, env=env)


def crc_line(flipped_at):
    """CHECK's words for the CRC record once the byte at `flipped_at` is
    changed after it was stored: stored from the intact range, computed from
    the changed one, both by the test's own CRC."""
    data = bytearray(application()[:-4])
    stored = crc32_mpeg2(bytes(data))
    data[flipped_at - APP] ^= 0x01
    computed = crc32_mpeg2(bytes(data))
    return (f"checksum mismatch at 0x{CRC_AT:08X}: stored [0x{stored:08X}], "
            f"computed [0x{computed:08X}]")


@pytest.mark.parametrize("argv", [
    pytest.param([], id="hex-elf"),
    pytest.param(["--bin", "--srec", "--uf2", "rp2040"], id="every-format"),
])
def test_a_record_the_final_image_contradicts_stops_the_run(build, tmp_path, argv):
    elf, _, _ = fresh(build, tmp_path)
    # A good run first: its files must survive the failed one untouched.
    assert run_command("FLASH", elf, "--ncrc_value", cwd=tmp_path).returncode == 0
    before = listing(tmp_path)
    flipped = APP + 0x100
    done = planted(flipped, "FLASH", elf, "--ncrc_value", *argv, cwd=tmp_path)
    assert done.returncode == INTERNAL, done.stderr
    assert done.stdout == ""
    lines = done.stderr.splitlines()
    assert len(lines) == 1
    assert lines[0].startswith(f"error: {elf}: internal error: {tmp_path / 'app_CRC.hex'} "
                               "would fail its own check: " + crc_line(flipped)), lines[0]
    assert lines[0].endswith("(nothing was written)")
    # Nothing new, nothing half-written beside the names.
    assert listing(tmp_path) == before


MCUBOOT = f"key={{key}},header={HEADER:#x},slot={SLOT_SIZE:#x},pad,confirm"
TLVS = APP + SIZE     # the TLV areas: no protected ones, so the unprotected info first


@pytest.mark.parametrize("address, line", [
    pytest.param(SLOT, "MCUboot mismatch: the header's magic at 0x08000000 holds "
                       f"0x{IMAGE_MAGIC ^ 1:08X}; it should hold 0x{IMAGE_MAGIC:08X}",
                 id="header-magic"),
    pytest.param(SLOT + 8, f"MCUboot mismatch: hdr_size at 0x08000008 holds "
                           f"0x{HEADER ^ 1:X}; it should hold 0x{HEADER:X}", id="hdr_size"),
    pytest.param(SLOT + 12, f"MCUboot mismatch: img_size at 0x0800000C holds "
                            f"0x{SIZE ^ 1:X}; it should hold 0x{SIZE:X}", id="img_size"),
    pytest.param(SLOT + 0x40, "MCUboot mismatch: the header's room at 0x08000040 holds 0xFE; "
                              "it should hold 0xFF (erased)", id="room"),
    pytest.param(APP + 0x10, None, id="payload-in-crc-range"),
    pytest.param(TLVS + 8, "MCUboot mismatch: the hash TLV (0x10) at 0x08000608 holds ",
                 id="hash-tlv"),
    pytest.param(TLVS + 0x50, "MCUboot mismatch: the ed25519 signature TLV (0x24) at "
                              "0x08000650 holds a signature that does not verify",
                 id="signature"),
    pytest.param(SLOT + SLOT_SIZE - 16, "MCUboot mismatch: the trailer's magic at "
                                        "0x08001FF0 holds 76c295f3", id="trailer-magic"),
    pytest.param(SLOT + SLOT_SIZE - 24, "MCUboot mismatch: image_ok at 0x08001FE8 holds 0x00; "
                                        "it should hold 0x01", id="image_ok"),
])
def test_a_signed_image_its_own_check_refuses_is_not_written(build, tmp_path, address, line):
    elf, _, key = fresh(build, tmp_path)
    before = listing(tmp_path)
    done = planted(address, "FLASH", elf, "--ncrc_value", "--mcuboot",
                   MCUBOOT.format(key=key), "--bin", cwd=tmp_path)
    assert done.returncode == INTERNAL, done.stderr
    [error] = done.stderr.splitlines()
    expected = crc_line(address) if line is None else line
    assert f"internal error: {tmp_path / 'app_CRC.hex'} would fail its own check: " \
           + expected in error, error
    assert listing(tmp_path) == before


@pytest.mark.parametrize("mcuboot", [
    pytest.param([], id="records"),
    pytest.param(["--mcuboot", MCUBOOT], id="mcuboot"),
])
def test_a_merged_image_its_own_check_refuses_names_the_merged_file(build, tmp_path,
                                                                     mcuboot):
    elf, boot, key = fresh(build, tmp_path)
    before = listing(tmp_path)
    words = [w.format(key=key) for w in mcuboot]
    done = planted(f"merged:{APP + 0x100:#x}", "FLASH", elf, "--ncrc_value", *words,
                   "--merge", boot, "--bin", cwd=tmp_path)
    assert done.returncode == INTERNAL, done.stderr
    [error] = done.stderr.splitlines()
    assert f"internal error: {tmp_path / 'app_CRC_merged.hex'} would fail its own check: " \
           + crc_line(APP + 0x100) in error, error
    assert listing(tmp_path) == before


def test_the_api_raises_internal_error_and_writes_nothing(build, tmp_path, monkeypatch):
    elf, _, _ = fresh(build, tmp_path)
    velk_crc.flash(str(elf), symbol="crc_value")
    before = listing(tmp_path)
    monkeypatch.setenv("VELK_CRC_TEST_FAULT", hex(APP + 0x100))
    with pytest.raises(velk_crc.InternalError) as info:
        velk_crc.flash(str(elf), symbol="crc_value", bin=True)
    # A run that wrote nothing, as every refusal: `except Refused` still holds.
    assert isinstance(info.value, velk_crc.Refused)
    assert "would fail its own check: " + crc_line(APP + 0x100) in str(info.value)
    assert info.value.report.verdict == "error"
    assert info.value.report.files == []
    assert listing(tmp_path) == before


def test_main_returns_70(build, tmp_path, monkeypatch):
    elf, _, _ = fresh(build, tmp_path)
    monkeypatch.setenv("VELK_CRC_TEST_FAULT", hex(APP))
    monkeypatch.chdir(tmp_path)
    assert velk_crc.main(["FLASH", str(elf), "--ncrc_value"]) == INTERNAL
    assert not (tmp_path / "app_CRC.hex").exists()


@pytest.mark.parametrize("argv", [
    pytest.param([], id="hex-elf"),
    pytest.param(["--bin"], id="bin"),
    pytest.param(["--srec"], id="srec"),
    pytest.param(["--uf2", "rp2040"], id="uf2"),
    pytest.param(["--merge", "{boot}", "--bin", "--srec", "--uf2", "rp2040"], id="merged"),
    pytest.param(["--mcuboot", f"key={{key}},header={HEADER:#x}"], id="mcuboot"),
    pytest.param(["--mcuboot", MCUBOOT, "--merge", "{boot}", "--bin", "--srec", "--uf2",
                  "stm32f4"], id="mcuboot-padded-merged"),
    # ECDSA and RSA sign the bytes themselves, which the check hashes again.
    pytest.param(["--mcuboot", f"key={{folder}}/ecdsa.pem,header={HEADER:#x},pubkey=full,"
                  "version=1.2.3+4,counter=auto,tlv=0xA0:0102"], id="ecdsa-full-key"),
    pytest.param(["--mcuboot", f"key={{folder}}/rsa.pem,header={HEADER:#x},"
                  "slot=0x8000,align=32,confirm", "--bin"], id="rsa-align-32"),
])
def test_runs_without_a_fault_write_files_check_accepts(build, tmp_path, argv):
    elf, boot, key = fresh(build, tmp_path)
    words = [w.format(boot=boot, key=key, folder=build[0]) for w in argv]
    done = run_command("FLASH", elf, "--ncrc_value", *words, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    mcuboot = []
    if "--mcuboot" in words:
        setting = words[words.index("--mcuboot") + 1]
        mcuboot = ["--mcuboot", setting.split(",")[0]]  # its key=
    for name in ["app_CRC.hex", "app_CRC.elf", "app_CRC.srec", "app_CRC.uf2"]:
        if (tmp_path / name).exists():
            checked = run_command("CHECK", tmp_path / name, "--ncrc_value", "--elf", elf,
                                  *mcuboot, cwd=tmp_path)
            assert checked.returncode == 0, (name, checked.stdout, checked.stderr)
