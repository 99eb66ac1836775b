"""FLASH --nxp-mbi: the LPC55S/MCX plain-CRC master boot image, the raw
binary with the image's length, type, CRC and execution address in the
vector table's reserved words, and CHECK of such a file. The words are read
here by their offsets and the CRC worked out bitwise (conftest.crc32_mpeg2);
where spsdk's nxpimage is installed, its `mbi export` of our .bin must give
the same bytes."""

import os
import shutil
import struct
import subprocess
import sysconfig

import pytest

import velk_crc
from conftest import DATA, crc32_mpeg2, run_cli
from elfwriter import Elf, Segment

# Where .ci/run installs spsdk, apart from the tests' own packages.
SPSDK_VENV = os.path.join(os.path.dirname(__file__), "..", "..", ".ci", "venv-spsdk", "bin")
UNREADABLE = 2
MISMATCH = 1
REFUSED = 255
HEADER = (0x20, 0x24, 0x28, 0x34)  # length, type, CRC, execution address


def words_of(image):
    """(length, type, crc, execution address) as the file holds them."""
    return tuple(struct.unpack_from("<I", image, at)[0] for at in HEADER)


def crc_of(image):
    return crc32_mpeg2(image[:0x28] + image[0x2C:])


def firmware(folder, base, size=0x100, slot=0x80, held=False):
    """A build of `size` bytes at `base`, its vector table's reserved words
    zero, a CRC record `crc1` at base+slot. `held`: the words at 0x20 and
    0x34 hold the image's length and load address, as the vector table of
    NXP's RT5xx startup files fills them in: refused unless --force."""
    code = bytearray((i * 7 + 3) & 0xFF for i in range(size))
    code[0x20:0x2C] = bytes(12)
    code[0x34:0x38] = bytes(4)
    if held:
        struct.pack_into("<I", code, 0x20, size)
        struct.pack_into("<I", code, 0x34, base)
    code[slot:slot + 4] = b"\xff" * 4
    code[0xC0:0xC4] = b"\xff" * 4  # a serial number's placeholder
    del code[size:]
    path = folder / "fw.elf"
    Elf(entry=base | 1, segments=[Segment(base, bytes(code), section=".text")],
        symbols=[("crc1", base + slot)]).write(path)
    return path


def header_left_out(base):
    return f"0x{base + 0x20:X}-0x{base + 0x38:X}"


@pytest.fixture(scope="module")
def flashed(tmp_path_factory):
    """fw_boot.elf (at 0x08000000) flashed with --bin --nxp-mbi, its record's
    range leaving out the header words."""
    folder = tmp_path_factory.mktemp("mbi")
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), folder / "fw.elf")
    velk_crc.flash(str(folder / "fw.elf"), symbol="crc_value", bin=True, nxp_mbi=True,
                   dfuse="0483:df11", uf2="stm32f4", exclude=header_left_out(0x08000000))
    return folder


@pytest.mark.parametrize("base, held", [
    (0, False), (0x10000, False), (0x08000000, False), (0, True), (0x10000, True),
], ids=["at-0", "at-64k", "stm32-like", "words-held-at-0", "words-held-at-64k"])
def test_fields_and_crc(velk, monkeypatch, tmp_path, base, held):
    """What FLASH writes passes CHECK, over a build's words with --force too."""
    build = firmware(tmp_path, base, held=held)
    force = ["--force"] if held else []
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc1", "--bin",
                             "--nxp-mbi", "--exclude", header_left_out(base), *force)
    assert code == 0, err
    assert 'create new crc mbi file "' in out
    image = (tmp_path / "fw_CRC.mbi.bin").read_bytes()
    raw = (tmp_path / "fw_CRC.bin").read_bytes()
    assert words_of(image) == (len(raw), 0x4005, crc_of(image), base)
    # Every other byte is the .bin's, the record's value among them.
    for at in HEADER:
        image = image[:at] + raw[at:at + 4] + image[at + 4:]
    assert image == raw
    # The API writes the same file, and CHECK takes it, placed where it runs.
    ours = (tmp_path / "fw_CRC.mbi.bin").read_bytes()
    os.remove(tmp_path / "fw_CRC.mbi.bin")
    velk_crc.flash(str(build), symbol="crc1", nxp_mbi=True, exclude=header_left_out(base),
                   force=held)
    assert (tmp_path / "fw_CRC.mbi.bin").read_bytes() == ours
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.mbi.bin", "--ncrc1",
                             "--elf", build, "--exclude", header_left_out(base))
    assert code == 0, out + err
    assert velk_crc.check(str(tmp_path / "fw_CRC.mbi.bin"), symbol="crc1", elf=str(build),
                          exclude=header_left_out(base)).ok


@pytest.mark.parametrize("base, held, size", [
    (0, False, 0x100), (0x10000, False, 0x100), (0x10000, True, 0x100), (0, False, 0x105),
    (0x10000, False, 0x107),
], ids=["at-0", "at-64k", "words-held-at-64k", "padded-by-3", "padded-by-1"])
def test_equals_nxpimage_mbi_export(tmp_path, base, held, size):
    tool = (shutil.which("nxpimage", path=sysconfig.get_path("scripts"))
            or shutil.which("nxpimage", path=SPSDK_VENV) or shutil.which("nxpimage"))
    if tool is None:
        pytest.skip("nxpimage is not installed (.ci/run puts spsdk 3.12.0 in .ci/venv-spsdk)")
    build = firmware(tmp_path, base, size=size, held=held)
    velk_crc.flash(str(build), symbol="crc1", bin=True, nxp_mbi=True,
                   exclude=header_left_out(base), force=held)
    config = tmp_path / "mbi.yaml"
    config.write_text("family: lpc55s69\noutputImageExecutionTarget: xip\n"
                      "outputImageAuthenticationType: crc\nenableTrustZone: false\n"
                      f"outputImageExecutionAddress: {base:#x}\n"
                      f"inputImageFile: {tmp_path / 'fw_CRC.bin'}\n"
                      f"masterBootOutputFile: {tmp_path / 'theirs.bin'}\n")
    subprocess.run([tool, "mbi", "export", "-c", str(config)], check=True, capture_output=True)
    assert (tmp_path / "theirs.bin").read_bytes() == (tmp_path / "fw_CRC.mbi.bin").read_bytes()


@pytest.mark.parametrize("base", [0x08000000, 0x08004000, 0], ids=["its-own", "after-a-boot",
                                                                  "at-0"])
def test_check_by_base_alone(velk, monkeypatch, flashed, base):
    """The ROM runs the image where its header says: placed elsewhere it is
    refused, not checked as an image there."""
    code, out, err = run_cli(velk, monkeypatch, "CHECK", flashed / "fw_CRC.mbi.bin", "--a134",
                             "--base", f"0x{base:08X}", "--exclude", header_left_out(base))
    if base == 0x08000000:
        assert code == 0, out + err
        assert out.startswith("checksum ok: [0xD5EF5519] at 0x08000134")
        return
    assert (code, out) == (UNREADABLE, "")
    assert err.endswith("cannot read it as an NXP master boot image: its execution address at "
                        f"0x34 is 0x08000000, but it is placed at 0x{base:08X}\n"), err
    with pytest.raises(velk_crc.CannotVerify, match="its execution address at 0x34 is"):
        velk_crc.check(str(flashed / "fw_CRC.mbi.bin"), offset=0x134, base=base,
                       exclude=header_left_out(base))


def damaged(data, how):
    def crc_made_right(image):
        return image[:0x28] + struct.pack("<I", crc_of(image)) + image[0x2C:]
    if how == "crc":
        return data[:0x28] + bytes([data[0x28] ^ 1]) + data[0x29:]
    if how == "length":
        return crc_made_right(data[:0x20] + struct.pack("<I", len(data) + 4) + data[0x24:])
    if how == "type":
        # Load-to-RAM's type, the CRC right again: the type alone must tell.
        return crc_made_right(data[:0x24] + struct.pack("<I", 0x4002) + data[0x28:])
    if how == "cut":
        return data[:-4]
    if how == "short":
        return data[:0x37]
    if how == "execution-address":
        # The image's own, had it been built to run at 0: the CRC made right.
        return crc_made_right(data[:0x34] + bytes(4) + data[0x38:])
    # An image byte changed, the image's CRC made right again: only the
    # record's checksum can tell.
    return crc_made_right(data[:0x100] + bytes([data[0x100] ^ 0xFF]) + data[0x101:])


@pytest.mark.parametrize("how, status, said", [
    ("crc", UNREADABLE, "cannot read it as an NXP master boot image: its CRC at 0x28 is 0x"),
    ("length", UNREADABLE, "cannot read it as an NXP master boot image: its image length at "
                           "0x20 is 316, but the file holds 312 bytes"),
    ("type", UNREADABLE, "cannot read it as an NXP master boot image: its image type at 0x24 "
                         "is 0x4002, not 0x4005"),
    ("cut", UNREADABLE, "its image length at 0x20 is 312, but the file holds 308 bytes"),
    ("short", UNREADABLE, "cannot read it as an NXP master boot image: 55 bytes, fewer than "
                          "its 0x38-byte header"),
    ("execution-address", UNREADABLE, "cannot read it as an NXP master boot image: its "
                                      "execution address at 0x34 is 0x00000000, but it is "
                                      "placed at 0x08000000"),
    ("image-byte", MISMATCH, "checksum mismatch at 0x08000134"),
], ids=["crc", "length", "type", "cut", "short", "execution-address", "image-byte"])
def test_check_refuses_a_damaged_file(velk, monkeypatch, flashed, tmp_path, how, status, said):
    path = tmp_path / "fw_CRC.mbi.bin"
    path.write_bytes(damaged((flashed / "fw_CRC.mbi.bin").read_bytes(), how))
    left_out = header_left_out(0x08000000)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--ncrc_value", "--elf",
                             flashed / "fw.elf", "--exclude", left_out)
    assert code == status
    assert said in out + err
    if status == UNREADABLE:
        assert out == "" and len(err.splitlines()) == 1
        with pytest.raises(velk_crc.CannotVerify, match="cannot read it as an NXP master"):
            velk_crc.check(str(path), symbol="crc_value", elf=str(flashed / "fw.elf"),
                           exclude=left_out)
    else:
        assert not velk_crc.check(str(path), symbol="crc_value", elf=str(flashed / "fw.elf"),
                                  exclude=left_out).ok


@pytest.mark.parametrize("other, what", [
    ("fw_CRC.bin", ""), ("fw_CRC.dfuse.dfu", "it is a DfuSe file by its first bytes, and "),
    ("fw_CRC.uf2", "it is a UF2 file by its first bytes, and "),
    ("fw_CRC.hex", "it is an Intel HEX file by its first bytes, and "),
], ids=["raw-binary", "dfuse", "uf2", "hex"])
def test_another_file_named_mbi_is_not_taken_for_one(velk, monkeypatch, flashed, tmp_path,
                                                     other, what):
    """Whatever its first bytes say, a file named .mbi.bin is flashed as a
    master boot image: one without the header is refused, not read as the
    format it really is and said to be right."""
    path = tmp_path / "fw.mbi.bin"
    shutil.copy(flashed / other, path)
    word = struct.unpack_from("<I", path.read_bytes(), 0x24)[0]
    for words in (["--base", "0x08000000"], ["--elf", flashed / "fw.elf"]):
        code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--a134", *words,
                                 "--exclude", header_left_out(0x08000000))
        assert (code, out) == (UNREADABLE, ""), out
        assert (f"cannot read it as an NXP master boot image: {what}its image type at 0x24 "
                f"is 0x{word:X}, not 0x4005") in err, err


@pytest.mark.parametrize("size, slot, exclude, said", [
    (0x100, 0x80, None, "crc1 covers 0x00000020-0x00000038, the words --nxp-mbi fills in "
                        "after every record (the image's length, type, CRC and address): "
                        "leave them out of its range (--exclude 0x00000020-0x00000038)"),
    (0x100, 0x28, None, "crc1 is stored in 0x00000020-0x00000038, the words --nxp-mbi fills in"),
    (0x100, 0x80, "0x20-0x28", "crc1 covers 0x00000020-0x00000038"),
    (0x30, 0x10, None, "--nxp-mbi: the image 0x00000000-0x00000030 is 0x30 bytes, shorter than "
                       "the 0x38 bytes an NXP master boot image's header needs"),
], ids=["record-covers-the-words", "record-in-the-crc-word", "crc-word-still-covered",
        "too-short"])
def test_refused_before_anything_is_written(velk, monkeypatch, tmp_path, size, slot, exclude,
                                            said):
    build = firmware(tmp_path, 0, size=size, slot=slot)
    words = ["--exclude", exclude] if exclude else []
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc1", "--nxp-mbi", *words)
    assert (code, out) == (REFUSED, "")
    assert said in err and len(err.splitlines()) == 1, err
    with pytest.raises(velk_crc.Refused, match="nxp_mbi=True"):
        velk_crc.flash(str(build), symbol="crc1", nxp_mbi=True,
                       **({"exclude": exclude} if exclude else {}))
    assert os.listdir(tmp_path) == ["fw.elf"]


def test_refused_with_mcuboot(velk, monkeypatch, tmp_path):
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ed25519
    key = tmp_path / "key.pem"
    key.write_bytes(ed25519.Ed25519PrivateKey.generate().private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    build = tmp_path / "app.elf"
    shutil.copy(os.path.join(DATA, "fw_mcuboot_app.elf"), build)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc_value", "--nxp-mbi",
                             "--mcuboot", f"key={key},header=0x200")
    assert (code, out) == (REFUSED, "")
    assert err.endswith(": --nxp-mbi and --mcuboot: an MCUboot slot is checked by MCUboot, "
                        "not by the NXP boot ROM's CRC; ask for the master boot image of the "
                        "bootloader's build\n"), err
    assert sorted(os.listdir(tmp_path)) == ["app.elf", "key.pem"]


def test_each_device_its_own_crc(velk, monkeypatch, tmp_path):
    build = firmware(tmp_path, 0x10000)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc1", "--nxp-mbi",
                             "--exclude", header_left_out(0x10000), "--stamp",
                             "0x100C0:4=serial:7..8", "--out", tmp_path / "line")
    assert code == 0, err
    crcs = set()
    for serial in (7, 8):
        image = (tmp_path / "line" / f"fw_{serial}_CRC.mbi.bin").read_bytes()
        assert image[0xC0:0xC4] == struct.pack("<I", serial)
        assert words_of(image) == (0x100, 0x4005, crc_of(image), 0x10000)
        crcs.add(words_of(image)[2])
        assert velk_crc.check(str(tmp_path / "line" / f"fw_{serial}_CRC.mbi.bin"), offset=0x80,
                              base=0x10000, exclude=header_left_out(0x10000)).ok
    assert len(crcs) == 2


def test_an_earlier_mbi_is_removed(velk, monkeypatch, tmp_path):
    build = firmware(tmp_path, 0)
    assert run_cli(velk, monkeypatch, "FLASH", build, "--ncrc1", "--nxp-mbi", "--exclude",
                   header_left_out(0))[0] == 0
    assert run_cli(velk, monkeypatch, "FLASH", build, "--ncrc1")[0] == 0
    assert not os.path.exists(tmp_path / "fw_CRC.mbi.bin")


@pytest.mark.parametrize("place, refused", [
    ("0x10024:4", True), ("0x10022:4", True), ("0x10034:2", True), ("0x1002C:4", False),
], ids=["image-type", "straddling-length-and-type", "execution-address", "svcall-vector"])
def test_a_stamp_in_the_header_words(velk, monkeypatch, tmp_path, place, refused):
    """A device's stamp where the header goes would be written over in its
    .mbi.bin: refused before anything is written, --force or not. The
    SVCall and DebugMon vectors between them are the image's own (--force:
    the test's build holds no placeholder there)."""
    build = firmware(tmp_path, 0x10000)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc1", "--nxp-mbi",
                             "--exclude", header_left_out(0x10000), "--stamp",
                             f"{place}=serial:7..8", "--out", tmp_path / "line", "--force")
    if refused:
        assert (code, out) == (REFUSED, ""), out
        assert (f"the stamp {place} at 0x{int(place.split(':')[0], 16):08X}" in err
                and "lies in the header words --nxp-mbi writes over" in err
                and len(err.splitlines()) == 1), err
        assert os.listdir(tmp_path) == ["fw.elf"]
        return
    assert code == 0, err
    for serial in (7, 8):
        image = (tmp_path / "line" / f"fw_{serial}_CRC.mbi.bin").read_bytes()
        assert image[0x2C:0x30] == struct.pack("<I", serial)
        assert words_of(image) == (0x100, 0x4005, crc_of(image), 0x10000)


def test_merge_writes_no_merged_image(velk, monkeypatch, tmp_path):
    """--merge makes no merged .mbi.bin, so the bootloader far from the
    application (fw_bootloader.hex at 0x08000000) leaves no fill to refuse."""
    build = firmware(tmp_path, 0x10000)
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc1", "--nxp-mbi",
                             "--exclude", header_left_out(0x10000), "--merge",
                             os.path.join(DATA, "fw_bootloader.hex"))
    assert code == 0, err
    assert sorted(os.listdir(tmp_path)) == ["fw.elf", "fw_CRC.elf", "fw_CRC.hex",
                                            "fw_CRC.mbi.bin", "fw_CRC_merged.hex"]
    image = (tmp_path / "fw_CRC.mbi.bin").read_bytes()
    assert words_of(image) == (0x100, 0x4005, crc_of(image), 0x10000)
    # With --bin the merged .bin would be that fill: refused, and named alone.
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc1", "--nxp-mbi", "--bin",
                             "--exclude", header_left_out(0x10000), "--merge",
                             os.path.join(DATA, "fw_bootloader.hex"))
    assert code == REFUSED
    assert "the merged .bin would hold 127 MiB of fill" in err and "leave out --bin," in err


@pytest.mark.parametrize("size", [0x105, 0x106, 0x107, 0x108],
                         ids=["padded-by-3", "padded-by-2", "padded-by-1", "whole-words"])
def test_padded_to_a_whole_word(velk, monkeypatch, tmp_path, size):
    """The image padded with zeros to a whole word, counted in the length and
    the CRC; CHECK takes the padding as zeros and nothing else."""
    build = firmware(tmp_path, 0x10000, size=size)
    left_out = header_left_out(0x10000)
    velk_crc.flash(str(build), symbol="crc1", bin=True, nxp_mbi=True, exclude=left_out)
    raw = (tmp_path / "fw_CRC.bin").read_bytes()
    image = (tmp_path / "fw_CRC.mbi.bin").read_bytes()
    padded = -(-size // 4) * 4
    assert len(raw) == size and len(image) == padded
    assert image[size:] == bytes(padded - size)
    assert words_of(image) == (padded, 0x4005, crc_of(image), 0x10000)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.mbi.bin", "--ncrc1",
                             "--elf", build, "--exclude", left_out)
    assert (code, err) == (0, ""), out + err
    if padded == size:
        return
    # A byte of the padding that is not zero, the CRC made right.
    bad = image[:-1] + b"\x01"
    bad = bad[:0x28] + struct.pack("<I", crc_of(bad)) + bad[0x2C:]
    (tmp_path / "bad.mbi.bin").write_bytes(bad)
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "bad.mbi.bin", "--ncrc1",
                             "--elf", build, "--exclude", left_out)
    assert code == MISMATCH
    assert out.startswith(f"content mismatch at 0x{0x10000 + padded - 1:08X}: the file holds "
                          "0x01"), out


@pytest.mark.parametrize("records, refused", [
    (["--ncalib_crc"], True), (["--ncalib_crc", "--force"], False),
    (["--ncalib_crc", "--ncrc1"], False),
], ids=["calibration-block-alone", "forced", "application-too"])
def test_an_image_without_the_vector_table(velk, monkeypatch, tmp_path, records, refused):
    """A record in a calibration block far from the application alone makes
    its image the .mbi.bin's: the header would go over its data, and the
    ROM would find no vector table. Refused unless the application's image
    is a record's too."""
    code = bytearray((i * 7 + 3) & 0xFF for i in range(0x100))
    code[0x20:0x38] = bytes(0x18)
    code[0x80:0x84] = b"\xff" * 4
    calib = bytearray((i * 5 + 1) & 0xFF for i in range(0x100))
    calib[0xF0:0xF4] = b"\xff" * 4
    build = tmp_path / "fw.elf"
    Elf(entry=0x41, segments=[Segment(0, bytes(code), section=".text"),
                              Segment(0x100000, bytes(calib), section=".calib")],
        symbols=[("crc1", 0x80), ("calib_crc", 0x1000F0)]).write(build)
    left_out = [header_left_out(0)] if "--ncrc1" in records else []
    left_out.append(header_left_out(0x100000))
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, *records, "--nxp-mbi",
                             *(word for x in left_out for word in ("--exclude", x)))
    if refused:
        assert (code, out) == (REFUSED, "")
        assert err.endswith("--nxp-mbi: the image 0x00100000-0x00100100 does not hold the "
                            "build's entry point 0x00000041: the boot ROM starts a master boot "
                            "image from its vector table; give the image that holds it a "
                            "record (--force writes it anyway)\n"), err
        assert os.listdir(tmp_path) == ["fw.elf"]
        return
    assert code == 0, err
    image = (tmp_path / "fw_CRC.mbi.bin").read_bytes()
    start = 0x100000 if "--force" in records else 0
    length, kind, _, address = words_of(image)
    assert (length, kind, address) == (len(image), 0x4005, start)


@pytest.mark.parametrize("at", HEADER, ids=["length", "type", "crc", "address"])
def test_a_build_holding_data_under_the_words_is_refused(velk, monkeypatch, tmp_path, at):
    """The words go where an LPC55S/MCX build leaves the reserved vector
    entries 0: another build's handler address there would be lost, and the
    file would not be that build."""
    build = firmware(tmp_path, 0)
    elf = bytearray(build.read_bytes())
    code_at = elf.index(bytes((i * 7 + 3) & 0xFF for i in range(0x10)))
    elf[code_at + at:code_at + at + 4] = struct.pack("<I", 0x00000041)
    build.write_bytes(bytes(elf))
    words = ["--ncrc1", "--nxp-mbi", "--exclude", header_left_out(0)]
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, *words)
    assert (code, out) == (REFUSED, "")
    assert (f"the build holds 0x00000041 at 0x{at:08X}: an LPC55S/MCX build leaves those "
            "reserved vector entries 0 (--force writes it anyway)") in err, err
    assert len(err.splitlines()) == 1 and os.listdir(tmp_path) == ["fw.elf"]
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, *words, "--force")
    assert code == 0, err
    image = (tmp_path / "fw_CRC.mbi.bin").read_bytes()
    assert words_of(image) == (0x100, 0x4005, crc_of(image), 0)


@pytest.mark.parametrize("at, refused", [(0, False), (0x100, True)], ids=["where-it-runs",
                                                                          "elsewhere"])
def test_a_merged_bootloader_image_keeps_its_header(velk, monkeypatch, tmp_path, at, refused):
    """A bootloader's .mbi.bin merged into an application's files goes in
    as flash must hold it, its header words and all, for the ROM to boot it;
    merged elsewhere than its execution address, it is refused."""
    (tmp_path / "boot").mkdir()
    velk_crc.flash(str(firmware(tmp_path / "boot", 0)), symbol="crc1", nxp_mbi=True,
                   exclude=header_left_out(0))
    boot = (tmp_path / "boot" / "fw_CRC.mbi.bin").read_bytes()
    build = firmware(tmp_path, 0x10000)
    merge = ["--merge", f"{tmp_path / 'boot' / 'fw_CRC.mbi.bin'}@0x{at:X}"]
    code, out, err = run_cli(velk, monkeypatch, "FLASH", build, "--ncrc1", "--bin", *merge,
                             "--exclude", header_left_out(0x10000))
    if refused:
        assert (code, out) == (REFUSED, "")
        assert err.endswith("fw_CRC.mbi.bin: cannot read it as an NXP master boot image: its "
                            "execution address at 0x34 is 0x00000000, but it is placed at "
                            "0x00000100\n"), err
        return
    assert code == 0, err
    merged = (tmp_path / "fw_CRC_merged.bin").read_bytes()
    assert merged[:len(boot)] == boot and words_of(boot)[1] == 0x4005
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC_merged.bin",
                             "--ncrc1", "--elf", build, *merge, "--exclude",
                             header_left_out(0x10000))
    assert code == 0, out + err
