"""FLASH --mcuboot with imgtool 2.5.0's image options (rom-fixed=, load-addr=,
non-bootable, boot-record=, max-sectors=, overwrite-only, hex-addr=): the
.bin and HEX byte for byte against `imgtool sign` of the same build, in both
header layouts; the measured-boot record decoded by cbor2; our CHECK accepts
what FLASH wrote and names a wrong flag, load_addr or trailer room; the
refusals as typed."""

import hashlib
import re
import shutil
import struct
import subprocess

import cbor2
import pytest
from cryptography.hazmat.primitives import serialization

import velk_crc
from conftest import run_command
from hexcheck import read_hex
from test_mcuboot import HEADER, SLOT, app_elf, imgtool, keys, memory_bytes, tlvs_of  # noqa: F401

BOOT_RECORD, KEYHASH = 0x60, 0x01
ROM_FIXED, RAM_LOAD, NON_BOOTABLE = 0x100, 0x20, 0x10


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    """Each layout's build, and its HEX as the toolchain writes it: what
    imgtool is given. No record is stored, so both sign the same bytes."""
    objcopy = shutil.which("arm-none-eabi-objcopy") or shutil.which("objcopy")
    if objcopy is None:
        pytest.skip("objcopy is not installed")
    folder = tmp_path_factory.mktemp("builds")
    made = {}
    for room in ("added", "reserved"):
        elf = folder / f"{room}.elf"
        app_elf(elf, room)
        subprocess.run([objcopy, "-O", "ihex", elf, folder / f"{room}.hex"], check=True,
                       capture_output=True)
        made[room] = elf, folder / f"{room}.hex"
    return made


def imgtool_sign(source, out, room, options, key=None, version="1.2.3+4", slot=0x10000):
    args = [imgtool(), "sign", "-H", hex(HEADER), "-S", hex(slot), "-v", version,
            *(["--pad-header"] if room == "added" else []),
            *(["-k", str(key)] if key else []), *options, str(source), str(out)]
    done = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


# (our settings, imgtool's options); every image is version 1.2.3+4 in a slot
# of 0x10000.
OPTIONS = [
    pytest.param({"rom-fixed": SLOT}, ["--rom-fixed", hex(SLOT)], id="rom-fixed"),
    pytest.param({"load-addr": 0x20000000}, ["--load-addr", "0x20000000"], id="load-addr"),
    pytest.param({"non-bootable": True}, ["--non-bootable"], id="non-bootable"),
    pytest.param({"boot-record": "SPE"}, ["--boot-record", "SPE"], id="boot-record-unsigned"),
    pytest.param({"boot-record": "CoprocessorA", "key": "ed25519", "counter": "auto"},
                 ["--boot-record", "CoprocessorA", "-s", "auto"], id="boot-record-ed25519"),
    pytest.param({"pad": True, "max-sectors": 256}, ["--pad", "-M", "256"],
                 id="max-sectors-pad"),
    pytest.param({"confirm": True, "max-sectors": 32, "align": 8},
                 ["--confirm", "-M", "32", "--align", "8"], id="max-sectors-confirm-align8"),
    pytest.param({"pad": True, "overwrite-only": True}, ["--pad", "--overwrite-only"],
                 id="overwrite-only"),
    pytest.param({"pad": True, "overwrite-only": True, "align": 32},
                 ["--pad", "--overwrite-only", "--align", "32"], id="overwrite-only-align32"),
    pytest.param({"hex-addr": 0, "confirm": True}, ["--hex-addr", "0", "--confirm"],
                 id="hex-addr-0"),
    pytest.param({"hex-addr": 0x30000, "rom-fixed": SLOT, "non-bootable": True,
                  "boot-record": "NSPE", "key": "ed25519"},
                 ["--hex-addr", "0x30000", "--rom-fixed", hex(SLOT), "--non-bootable",
                  "--boot-record", "NSPE"], id="together"),
]

# What our CHECK is given of each image's settings.
CHECKED = ("key", "pad", "confirm", "max-sectors", "overwrite-only")


@pytest.mark.parametrize("room", ["added", "reserved"])
@pytest.mark.parametrize("settings, options", OPTIONS)
def test_each_option_is_imgtools_byte_for_byte(tmp_path, builds, keys, room, settings,
                                               options):
    elf, source = builds[room]
    key = keys[settings["key"]] if "key" in settings else None
    imgtool_sign(source, tmp_path / "imgtool.bin", room, options, key)
    imgtool_sign(source, tmp_path / "imgtool.hex", room, options, key)
    given = {"header": HEADER, "version": "1.2.3+4", "slot": 0x10000, **settings}
    if key:
        given["key"] = str(key)
    folder = tmp_path / "ours"
    folder.mkdir()
    shutil.copy(elf, folder / "fw.elf")
    report = velk_crc.flash(folder / "fw.elf", bin=True, mcuboot=given)

    # The .bin at the slot, whatever hex-addr= says, as imgtool's.
    assert (folder / "fw_CRC.bin").read_bytes() == (tmp_path / "imgtool.bin").read_bytes()
    # The HEX where imgtool's is: at hex-addr=, or at the slot.
    mine = read_hex(folder / "fw_CRC.hex").memory
    theirs = read_hex(tmp_path / "imgtool.hex").memory
    at = settings.get("hex-addr", SLOT)
    assert min(mine) == min(theirs) == at
    end = max(max(mine), max(theirs)) + 1
    assert memory_bytes(mine, at, end) == memory_bytes(theirs, at, end)

    # The header's fields as the test reads them, and as --json shows them.
    image = (folder / "fw_CRC.bin").read_bytes()
    load_addr, flags = struct.unpack_from("<I", image, 4)[0], struct.unpack_from("<I", image, 16)[0]
    wanted_flags = ((ROM_FIXED if "rom-fixed" in settings else 0) |
                    (RAM_LOAD if "load-addr" in settings else 0) |
                    (NON_BOOTABLE if "non-bootable" in settings else 0))
    assert flags == wanted_flags
    assert load_addr == settings.get("rom-fixed", settings.get("load-addr", 0))
    assert report.mcuboot["header"]["flags"] == flags
    assert report.mcuboot["header"]["load_addr"] == load_addr

    # Our CHECK accepts it where FLASH put it.
    checked = {name: given[name] for name in CHECKED if name in given}
    verdict = velk_crc.check(folder / "fw_CRC.bin", base=SLOT,
                             mcuboot={**checked, "header": HEADER, "slot": 0x10000})
    assert verdict.ok, verdict.mcuboot["faults"]


@pytest.mark.parametrize("role, key", [
    pytest.param("SPE", None, id="unsigned"),
    pytest.param("ABCDEFGHIJKL", "ed25519", id="twelve-characters-ed25519"),
    pytest.param("Ré", "ecdsa", id="utf8-ecdsa"),
])
def test_the_boot_record_is_the_cbor_map_a_measured_boot_reads(tmp_path, keys, role, key):
    """Decoded by cbor2: the role, the version without its build, the
    signer's key hash (zeros unsigned), the measurement's kind, and the
    measurement's zeros last, where the bootloader writes the hash."""
    app_elf(tmp_path / "fw.elf", "added")
    settings = {"header": HEADER, "version": "3.2.1+9", "boot-record": role}
    if key:
        settings["key"] = str(keys[key])
    report = velk_crc.flash(tmp_path / "fw.elf", bin=True, mcuboot=settings)
    image = (tmp_path / "fw_CRC.bin").read_bytes()
    entries = tlvs_of(image, 0)
    record = dict(entries)[BOOT_RECORD]
    decoded = cbor2.loads(record)
    signer = dict(entries)[KEYHASH] if key else bytes(32)
    assert list(decoded.items()) == [(1, role), (4, "3.2.1"), (5, signer), (6, "SHA256"),
                                     (2, bytes(32))]
    # Protected: in the first area, which protect_tlv_size counts.
    protect = struct.unpack_from("<H", image, 10)[0]
    assert protect == 4 + 4 + len(record)
    listed = [t for t in report.mcuboot["tlvs"] if t["type"] == BOOT_RECORD]
    assert [(t["name"], t["protected"], t["value"]) for t in listed] == [
        ("BOOT_RECORD", True, record.hex())]
    if key:
        verify = subprocess.run([imgtool(), "verify", "-k", str(keys[key]),
                                 str(tmp_path / "fw_CRC.bin")], capture_output=True, text=True,
                                timeout=120)
        assert "Image was correctly validated" in verify.stdout, verify.stdout + verify.stderr


def test_flashs_line_names_the_options(tmp_path):
    app_elf(tmp_path / "fw.elf", "added")
    done = run_command("FLASH", "fw.elf", "--mcuboot",
                       "header=0x200,slot=0x10000,rom-fixed=0x08000000,non-bootable,"
                       "boot-record=SPE,max-sectors=256,hex-addr=0x0", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    # 256 sectors of 3 one-byte writes, 4 flags of 8 bytes, the magic's 16.
    assert ", unsigned (the hash alone); rom-fixed=0x08000000, non-bootable, "\
           "boot-record=SPE, a trailer of 816 bytes (max-sectors=256), HEX at 0x00000000\n" \
           in done.stdout


# --- CHECK names a wrong flag, load_addr or trailer room ---------------------

def imgtool_image(folder, *options, slot=0x10000):
    """imgtool's unsigned image of the added layout's payload, as a .bin."""
    app_elf(folder / "fw.elf", "added")
    objcopy = shutil.which("arm-none-eabi-objcopy") or shutil.which("objcopy")
    subprocess.run([objcopy, "-O", "binary", folder / "fw.elf", folder / "app.bin"],
                   check=True)
    imgtool_sign(folder / "app.bin", folder / "image.bin", "added", options, slot=slot)
    return folder / "image.bin"


def faults(report):
    return [(f["what"], f["held"], f["wanted"]) for f in report.mcuboot["faults"]]


@pytest.mark.parametrize("rom_fixed, base, ok", [
    pytest.param(0x08020000, 0x08020000, True, id="the-slots-address"),
    pytest.param(0x20000, 0x08020000, True, id="its-offset-in-flash"),
    pytest.param(0x08020000, 0x08030000, False, id="another-slots-address"),
    pytest.param(0x30000, 0x08020000, False, id="another-slots-offset"),
])
def test_a_rom_fixed_image_is_checked_where_it_lies(tmp_path, rom_fixed, base, ok):
    image = imgtool_image(tmp_path, "--rom-fixed", hex(rom_fixed))
    report = velk_crc.check(image, base=base, mcuboot=True)
    assert report.ok == ok
    done = run_command("CHECK", image, "--base", hex(base), "--mcuboot")
    assert f"MCUboot flags 0x100: ROM_FIXED at 0x{rom_fixed:08X}\n" in done.stdout
    if not ok:
        assert faults(report) == [
            ("load_addr", f"{rom_fixed:#X}".replace("0X", "0x"),
             f"the slot's offset in its flash device (0x{base:08X} less the device's base)")]
        assert done.returncode == 1
        assert (f"MCUboot mismatch: load_addr at 0x{base + 4:08X} holds {rom_fixed:#x}"
                .replace(f"{rom_fixed:#x}", f"0x{rom_fixed:X}")) in done.stdout


@pytest.mark.parametrize("flags, named", [
    pytest.param(ROM_FIXED | RAM_LOAD, "RAM load (0x20) or ROM-fixed (0x100), not both: "
                 "load_addr holds one address", id="ram-load-and-rom-fixed"),
    pytest.param(0x1000, "flags MCUboot knows (0xF3D): 0x1000 is none", id="unknown-bit"),
])
def test_a_wrong_flag_is_named(tmp_path, flags, named):
    image = imgtool_image(tmp_path, "--load-addr", "0x20000000")
    data = bytearray(image.read_bytes())
    struct.pack_into("<I", data, 16, flags)
    image.write_bytes(bytes(data))
    report = velk_crc.check(image, base=SLOT, mcuboot=True)
    assert not report.ok
    assert ("flags", f"0x{flags:X}", named) in faults(report)


@pytest.mark.parametrize("made, checked, room", [
    pytest.param(["-M", "256"], {"max-sectors": 256}, None, id="max-sectors-as-made"),
    pytest.param(["--overwrite-only"], {"overwrite-only": True}, None, id="overwrite-only"),
    # 1024 sectors of one-byte writes take 3072 bytes, and 48 more: the
    # slot leaves 0x1000 - 0x828 after the TLVs.
    pytest.param(["-M", "256"], {"max-sectors": 1024},
                 ("2008 bytes after the TLVs", "3120 bytes or more (max-sectors=1024)"),
                 id="max-sectors-too-many"),
])
def test_the_slots_room_for_the_trailer(tmp_path, made, checked, room):
    image = imgtool_image(tmp_path, "--pad", *made, slot=0x1000)
    report = velk_crc.check(image, base=SLOT,
                            mcuboot={"slot": 0x1000, "pad": True, **checked})
    if room is None:
        assert report.ok, report.mcuboot["faults"]
    else:
        assert faults(report) == [("the slot's room for its trailer", *room)]


# --- refusals as typed -------------------------------------------------------

@pytest.mark.parametrize("settings, says", [
    pytest.param("rom-fixed=0", "rom-fixed=0 is no slot address: 0x1 to 0xFFFFFFFF (0 sets no "
                 "flag), as in rom-fixed=0x08020000", id="rom-fixed-0"),
    pytest.param("load-addr=0x100000000", "load-addr=0x100000000 is no RAM address: 0x1 to "
                 "0xFFFFFFFF (0 sets no flag), as in load-addr=0x20000000", id="load-addr-wide"),
    pytest.param("rom-fixed=0x08000000,load-addr=0x20000000",
                 "rom-fixed and load-addr together: an image runs from its slot or from RAM, "
                 "and load_addr holds one address", id="both-addresses"),
    pytest.param("max-sectors=256", "max-sectors and overwrite-only size the slot's trailer: "
                 "give slot=<size> too", id="max-sectors-without-slot"),
    pytest.param("slot=0x10000,max-sectors=0", "max-sectors=0 is no sector count: 1 to 65535, "
                 "as in max-sectors=256", id="no-sectors"),
    pytest.param("slot=0x10000,overwrite-only,max-sectors=64",
                 "max-sectors sizes the swap status, which an overwrite-only trailer has none "
                 "of: give one of them", id="max-sectors-overwrite-only"),
    pytest.param("slot=0x10000,overwrite-only,confirm",
                 "confirm sets image_ok, which an overwrite-only trailer does not hold: give "
                 "pad", id="confirm-overwrite-only"),
    pytest.param("boot-record=ABCDEFGHIJKLM", "boot-record=ABCDEFGHIJKLM is 13 characters: the "
                 "software's role is at most 12, as in boot-record=SPE", id="role-too-long"),
    pytest.param("non-bootable=1", '"non-bootable" takes no value', id="switch-valued"),
    # imgtool's spellings are answered with ours.
    pytest.param("slot-size=0x10000", 'unknown setting "slot-size": imgtool\'s --slot-size is '
                 'slot= here', id="imgtools-slot-size"),
    pytest.param("custom-tlv=0xA0:01", 'unknown setting "custom-tlv": imgtool\'s --custom-tlv is '
                 'tlv= here', id="imgtools-custom-tlv"),
    pytest.param("hex-addr=0x100000000", "hex-addr=0x100000000 is no HEX address: 0x0 to "
                 "0xFFFFFFFF, as in hex-addr=0x0", id="hex-addr-wide"),
    pytest.param("hex-addr=0xFFFFFC00", "hex-addr=0xFFFFFC00 would move the HEX's bytes at "
                 "0x08000000 to 0x08000827 past 0x0 or 0xFFFFFFFF, the addresses a HEX file "
                 "holds", id="hex-past-4-gib"),
    # imgtool: "Image size (0x828) + trailer (0xc30) exceeds requested size 0x1000".
    pytest.param("slot=0x1000,max-sectors=1024",
                 "= the signed image does not fit its slot: header, payload and TLVs take 2088 "
                 "bytes and the trailer 3120, 1112 bytes more than slot=0x1000",
                 id="trailer-past-the-slot"),
])
def test_an_option_typed_wrong_is_refused(tmp_path, settings, says):
    app_elf(tmp_path / "fw.elf", "added")
    done = run_command("FLASH", "fw.elf", "--mcuboot", "header=0x200," + settings,
                       cwd=tmp_path)
    # "= ": a line of the image, not of the settings.
    line = says[2:] if says.startswith("= ") else "--mcuboot: " + says
    assert (done.returncode, done.stdout, done.stderr) == (255, "", f"error: fw.elf: {line}\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.elf"]


def test_a_rom_fixed_address_of_another_slot_is_refused_unless_forced(tmp_path):
    app_elf(tmp_path / "fw.elf", "added")
    says = (r"rom-fixed=0x8010000 is not the slot's offset in its flash device \(0x08000000 "
            r"less the device's base\): MCUboot boots the image from no slot")
    with pytest.raises(velk_crc.Refused, match=f"fw.elf: {says}"):
        velk_crc.flash(tmp_path / "fw.elf", mcuboot={"header": HEADER, "rom-fixed": 0x08010000})
    velk_crc.flash(tmp_path / "fw.elf", force=True,
                   mcuboot={"header": HEADER, "rom-fixed": 0x08010000})
    assert (tmp_path / "fw_CRC.hex").exists()


def test_check_lists_the_settings_it_takes(tmp_path):
    app_elf(tmp_path / "fw.elf", "added")
    velk_crc.flash(tmp_path / "fw.elf", mcuboot={"header": HEADER})
    done = run_command("CHECK", "fw_CRC.hex", "--mcuboot", "rom-fixed=0x08000000", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (
        2, 'error: fw_CRC.hex: --mcuboot in CHECK takes key=<file> (the public or private '
           'key), header=<size>, slot=<size>, pad, confirm, max-sectors=<n>, overwrite-only '
           'and decrypt=<file> (the private key or KEK): '
           '"rom-fixed=0x08000000" is not one of them\n')


def record_at(image):
    """Where the boot record's value lies in the image, and its bytes."""
    hdr_size, _, img_size = struct.unpack_from("<HHI", image, 8)
    at = hdr_size + img_size + 4
    while image[at] != BOOT_RECORD:
        at += 4 + struct.unpack_from("<H", image, at + 2)[0]
    length = struct.unpack_from("<H", image, at + 2)[0]
    return at + 4, image[at + 4:at + 4 + length]


@pytest.mark.parametrize("change, checked_with, named", [
    pytest.param(None, "ed25519", None, id="as-made"),
    pytest.param("version", "ed25519", ("the boot record TLV (0x60)'s version", "1.2.4",
                                        "1.2.3 (the header's)"), id="another-version"),
    pytest.param(None, "ecdsa", ("the boot record TLV (0x60)'s signer", "{made}",
                                 "{other} (the key's hash)"), id="another-signer"),
    pytest.param("measurement", "ed25519", (
        "the boot record TLV (0x60)", "{head}...",
        "a CBOR map of the software's properties that ends in its measurement, 32 bytes the "
        "bootloader writes the image's hash over"), id="no-measurement-last"),
])
def test_check_reads_the_boot_record(tmp_path, keys, change, checked_with, named):
    image_path = imgtool_image(tmp_path, "-k", str(keys["ed25519"]), "--boot-record", "SPE")
    data = bytearray(image_path.read_bytes())
    at, record = record_at(bytes(data))
    decoded = cbor2.loads(record)
    if change == "version":
        data[at + record.index(b"1.2.3") + 4] = ord("4")
    elif change == "measurement":
        data[at + len(record) - 33] = 0x1F  # the last byte string one byte short
    image_path.write_bytes(bytes(data))
    other = subprocess.run([imgtool(), "getpub", "-k", str(keys[checked_with]), "-e", "pem"],
                           capture_output=True, text=True, check=True).stdout
    (tmp_path / "pub.pem").write_text(other)
    report = velk_crc.check(image_path, base=SLOT, mcuboot={"key": str(tmp_path / "pub.pem")})
    if named is None:
        assert report.ok, report.mcuboot["faults"]
        return
    public = serialization.load_pem_public_key(other.encode()).public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    what, held, wanted = named
    held = held.format(made=decoded[5].hex(), head=record[:16].hex())
    wanted = wanted.format(other=hashlib.sha256(public).hexdigest())
    assert (what, held, wanted) in faults(report)


@pytest.mark.parametrize("function", ["flash", "check"])
@pytest.mark.parametrize("settings, error, says", [
    pytest.param({"max-sectors": True, "slot": 0x10000}, TypeError,
                 'mcuboot["max-sectors"] must be a str or an int, not bool', id="count-as-bool"),
    pytest.param({"overwrite-only": 1, "slot": 0x10000}, TypeError,
                 'mcuboot["overwrite-only"] must be True or False, not int', id="switch-as-int"),
    # None: the function's refusal (CHECK's is a file it cannot verify).
    pytest.param({"max-sectors": 0, "slot": 0x10000}, None,
                 "mcuboot: max-sectors=0 is no sector count: 1 to 65535, as in max-sectors=256",
                 id="no-sectors"),
])
def test_the_api_reads_the_options_as_the_command_line(tmp_path, function, settings, error,
                                                       says):
    app_elf(tmp_path / "fw.elf", "added")
    velk_crc.flash(tmp_path / "fw.elf", mcuboot={"header": HEADER})
    path = tmp_path / ("fw.elf" if function == "flash" else "fw_CRC.hex")
    if error is None:
        error = velk_crc.Refused if function == "flash" else velk_crc.CannotVerify
    with pytest.raises(error, match=re.escape(says) + "$"):
        getattr(velk_crc, function)(path, mcuboot={"header": HEADER, **settings})


def test_the_api_refuses_an_address_as_the_command_line_does(tmp_path):
    app_elf(tmp_path / "fw.elf", "added")
    with pytest.raises(velk_crc.Refused, match=r"^.*fw\.elf: mcuboot: load-addr=0 is no RAM "
                                               r"address: 0x1 to 0xFFFFFFFF \(0 sets no flag\), "
                                               r"as in load-addr=0x20000000$"):
        velk_crc.flash(tmp_path / "fw.elf", mcuboot={"header": HEADER, "load-addr": 0})
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.elf"]


@pytest.mark.parametrize("key, sha", [
    pytest.param(None, "512", id="unsigned-sha512"),
    pytest.param("ed25519", "512", id="ed25519-sha512"),
    pytest.param("secp384", "384", id="p384-sha384"),
])
def test_the_boot_record_follows_the_images_hash(tmp_path, builds, keys, key, sha):
    """The measurement's kind and size and the signer's hash are the image's
    hash's, as imgtool makes them."""
    elf, source = builds["added"]
    options = ["--boot-record", "SPE", "--sha", sha]
    imgtool_sign(source, tmp_path / "imgtool.bin", "added", options, keys[key] if key else None)
    given = {"header": HEADER, "version": "1.2.3+4", "boot-record": "SPE", "sha": sha}
    if key:
        given["key"] = str(keys[key])
    shutil.copy(elf, tmp_path / "fw.elf")
    velk_crc.flash(tmp_path / "fw.elf", bin=True, mcuboot=given)
    mine, theirs = (tmp_path / "fw_CRC.bin").read_bytes(), (tmp_path / "imgtool.bin").read_bytes()
    assert record_at(mine) == record_at(theirs)
    # ECDSA's signature is randomised: the bytes it covers are the same.
    protected_end = record_at(mine)[0] + len(record_at(mine)[1])
    assert mine[:protected_end] == theirs[:protected_end]
    if key != "secp384":
        assert mine == theirs
    assert velk_crc.check(tmp_path / "fw_CRC.bin", base=SLOT,
                          mcuboot={"key": str(keys[key])} if key else True).ok


def test_a_p384_boot_record_needs_its_hash_named(tmp_path, keys):
    app_elf(tmp_path / "fw.elf", "added")
    done = run_command("FLASH", "fw.elf", "--mcuboot",
                       f"header=0x200,boot-record=SPE,key={keys['secp384']}", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (
        255, "error: fw.elf: --mcuboot: boot-record= takes the image's hash, and ecdsa-p384's "
             "is SHA-384: give sha=384 with it\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.elf"]
