"""FLASH --mcuboot: an MCUboot image made from the ELF in the same run that
stores the records, checked against imgtool 2.5.0 run on the same
checksummed build (its `sign` byte for byte, its `verify` for the randomised
or library-chosen signatures), against the format's fields as the test reads
them, and against the files' own SHA-256."""

import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa

import velk_crc
from conftest import crc32_mpeg2, run_command, run_python
from elfwriter import Elf, Segment
from hexcheck import read_hex, read_srec

SLOT = 0x08000000
HEADER = 0x200
BODY = 0x600          # the application's bytes, vector table first
CRC_AT = BODY - 4     # its CRC record, the last word of the payload
IMAGE_MAGIC = 0x96F3B83D
TRAILER_MAGIC = bytes.fromhex("77c295f360d2ef7f3552500f2cb67980")


def imgtool():
    exe = shutil.which("imgtool", path=os.path.dirname(sys.executable))
    if exe is None:
        pytest.skip("imgtool is not installed (pip install imgtool==2.5.0)")
    return exe


def body(code_at):
    """A Cortex-M vector table of 16 entries pointing into the code, then
    code-like bytes; the last word is the CRC record's slot."""
    data = bytearray(BODY)
    struct.pack_into("<I", data, 0, 0x20002000)
    for i in range(1, 16):
        struct.pack_into("<I", data, 4 * i, code_at + 0x41 + 2 * i)
    for i in range(0x40, CRC_AT):
        data[i] = (i * 7 + 3) & 0xFF
    return bytes(data)


def app_elf(path, room, reserved=HEADER, first=None, far=None):
    """An application for the slot at SLOT. room "reserved": the build's image
    starts with `reserved` bytes of 0x00 for the header (Zephyr's ROM offset);
    "added": it is linked HEADER bytes into the slot and starts with its
    vector table. `first` replaces the image's first bytes; `far` adds 256
    bytes of data at that address."""
    if room == "reserved":
        start, code = SLOT, SLOT + reserved
        data = bytes(reserved) + body(code)
    else:
        start = code = SLOT + HEADER
        data = body(code)
    if first is not None:
        data = first + data[len(first):]
    crc = start + len(data) - 4
    segments = [Segment(start, data, section=".text")]
    if far is not None:
        segments.append(Segment(far, bytes(range(256)), section=".config"))
    elf = Elf(segments=segments,
              symbols=[("crc_slot", crc, 4, 1), ("app_start", code, 0, 2)], entry=code + 0x41)
    with open(path, "wb") as f:
        f.write(elf.build())
    return start, crc


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    """A PEM private key of each kind MCUboot verifies, made once; an
    encrypted one; and a public key."""
    folder = tmp_path_factory.mktemp("keys")
    made = {"ed25519": ed25519.Ed25519PrivateKey.generate(),
            "ecdsa": ec.generate_private_key(ec.SECP256R1()),
            "rsa": rsa.generate_private_key(public_exponent=65537, key_size=2048)}
    paths = {}
    for name, key in made.items():
        paths[name] = folder / f"{name}.pem"
        paths[name].write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                                  serialization.PrivateFormat.PKCS8,
                                                  serialization.NoEncryption()))
    paths["encrypted"] = folder / "encrypted.pem"
    paths["encrypted"].write_bytes(made["ed25519"].private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.BestAvailableEncryption(b"s3cret")))
    paths["public"] = folder / "public.pem"
    paths["public"].write_bytes(made["ed25519"].public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    paths["secp384"] = folder / "secp384.pem"
    paths["secp384"].write_bytes(ec.generate_private_key(ec.SECP384R1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    paths["secp256k1"] = folder / "secp256k1.pem"
    paths["secp256k1"].write_bytes(ec.generate_private_key(ec.SECP256K1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    return paths


def memory_bytes(memory, start, end, fill=0xFF):
    return bytes(memory.get(a, fill) for a in range(start, end))


def imgtool_sign(source_hex, out_hex, settings, keys, added):
    """imgtool sign with the options that mean what `settings` (our
    --mcuboot's) mean."""
    args = [imgtool(), "sign", "-H", str(settings["header"]),
            "-S", str(settings.get("slot", 0x100000)),
            "-v", settings.get("version", "0.0.0")]
    if added:
        args.append("--pad-header")
    if "key" in settings:
        args += ["-k", str(keys[settings["key"]])]
    if "align" in settings:
        args += ["--align", str(settings["align"])]
    if settings.get("confirm"):
        args.append("--confirm")
    elif settings.get("pad"):
        args.append("--pad")
    if "counter" in settings:
        args += ["-s", str(settings["counter"])]
    if "dependency" in settings:
        args += ["-d", ",".join("({},{})".format(*d.split(":"))
                                for d in settings["dependency"])]
    for tlv in settings.get("tlv", []):
        kind, value = tlv.split(":")
        args += ["--custom-tlv", kind, "0x" + value]
    if settings.get("pubkey") == "full":
        args += ["--public-key-format", "full"]
    done = subprocess.run(args + [str(source_hex), str(out_hex)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


def ours(settings, keys):
    """The --mcuboot settings with the key's path in place of its name."""
    given = dict(settings)
    if "key" in given:
        given["key"] = str(keys[given["key"]])
    return given


# Settings and both header rooms; every image carries the CRC record in its
# payload.
SAME_AS_IMGTOOL = [
    pytest.param("added", {"header": HEADER}, id="unsigned"),
    pytest.param("reserved", {"header": HEADER}, id="unsigned-reserved-room"),
    pytest.param("added", {"header": HEADER, "key": "ed25519", "version": "1.2.3+4"},
                 id="ed25519"),
    pytest.param("reserved", {"header": HEADER, "key": "ed25519", "slot": 0x8000,
                              "pad": True}, id="ed25519-reserved-pad"),
    pytest.param("added", {"header": HEADER, "key": "ed25519", "slot": 0x10000,
                           "confirm": True, "align": 8}, id="ed25519-confirm-align8"),
    pytest.param("added", {"header": HEADER, "slot": 0x10000, "confirm": True,
                           "align": 32}, id="unsigned-confirm-align32"),
    pytest.param("reserved", {"header": HEADER, "key": "ed25519", "version": "2.1.7+99",
                              "counter": "auto"}, id="ed25519-counter-auto"),
    pytest.param("added", {"header": HEADER, "key": "ed25519", "counter": 7,
                           "dependency": ["1:1.2.0", "2:0.9.4+11"],
                           "tlv": ["0xA0:01020304", "0xB5:ff"]},
                 id="ed25519-counter-dependencies-tlvs"),
    pytest.param("added", {"header": HEADER, "key": "ed25519", "pubkey": "full"},
                 id="ed25519-pubkey-full"),
]


@pytest.mark.parametrize("room, settings", SAME_AS_IMGTOOL)
def test_the_signed_image_is_imgtools_byte_for_byte(tmp_path, keys, room, settings):
    elf = tmp_path / "fw.elf"
    start, crc = app_elf(elf, room)
    # imgtool signs what FLASH alone writes: the records already stored. A
    # CRC over the build's room would read the header's fields, which
    # imgtool cannot be given beforehand: here it starts behind the room.
    symbol = "crc_slot"
    if room == "reserved":
        start = SLOT + HEADER
        symbol = f"crc_slot@{start:#x}"
    velk_crc.flash(elf, symbol=symbol)
    plain = read_hex(tmp_path / "fw_CRC.hex").memory
    assert int.from_bytes(memory_bytes(plain, crc, crc + 4), "little") == \
        crc32_mpeg2(memory_bytes(plain, start, crc))
    imgtool_sign(tmp_path / "fw_CRC.hex", tmp_path / "imgtool.hex", settings, keys,
                 room == "added")
    theirs = read_hex(tmp_path / "imgtool.hex").memory

    report = velk_crc.flash(elf, symbol=symbol, mcuboot=ours(settings, keys))
    mine = read_hex(tmp_path / "fw_CRC.hex").memory
    end = max(max(mine), max(theirs)) + 1
    assert memory_bytes(mine, SLOT, end) == memory_bytes(theirs, SLOT, end)
    assert report.mcuboot["slot"] == SLOT
    assert report.mcuboot["header_room"] == room
    assert report.records[0]["value"] == plain_crc(plain, crc)


@pytest.mark.parametrize("front", ["api", "cli"])
def test_a_crc_over_the_reserved_room_covers_the_header_as_written(tmp_path, keys, front):
    """The record's range starts at the image's start, the build's room: the
    CRC covers the header's fields as flash holds them, in every file."""
    elf = tmp_path / "fw.elf"
    start, crc = app_elf(elf, "reserved")
    assert start == SLOT
    velk_crc.flash(elf, symbol="crc_slot", bin=True)
    imgtool_sign(tmp_path / "fw_CRC.bin", tmp_path / "imgtool.bin",
                 {"header": HEADER, "key": "ed25519"}, keys, False)
    theirs = (tmp_path / "imgtool.bin").read_bytes()
    settings = {"header": HEADER, "key": str(keys["ed25519"])}
    if front == "api":
        velk_crc.flash(elf, symbol="crc_slot", bin=True, mcuboot=settings)
    else:
        done = run_command("FLASH", elf, "--ncrc_slot", "--bin", "--mcuboot",
                           f"key={keys['ed25519']},header=0x200")
        assert done.returncode == 0, done.stderr
    mine = (tmp_path / "fw_CRC.bin").read_bytes()
    # imgtool's header fields, which no record changes; the CRC over the
    # final bytes, header included.
    assert mine[:32] == theirs[:32]
    stored = int.from_bytes(mine[crc - SLOT:crc - SLOT + 4], "little")
    assert stored == crc32_mpeg2(mine[:crc - SLOT])
    done = subprocess.run([imgtool(), "verify", "-k", str(keys["ed25519"]),
                           str(tmp_path / "fw_CRC.bin")], capture_output=True, text=True,
                          timeout=120)
    assert "Image was correctly validated" in done.stdout, done.stdout + done.stderr
    # What a programmer loads of the checksummed ELF file is the same image.
    loaded = segment_memory(tmp_path / "fw_CRC.elf")
    assert memory_bytes(loaded, SLOT, crc + 4) == mine[:crc + 4 - SLOT]
    # FLASH's own CHECK agrees, with the build and without.
    for words in ([tmp_path / "fw_CRC.hex", "--elf", elf], [tmp_path / "fw_CRC.elf"]):
        checked = run_command("CHECK", *words, "--ncrc_slot", "--mcuboot",
                              f"key={keys['public']}")
        assert checked.returncode == 0, checked.stdout + checked.stderr
    report = velk_crc.check(tmp_path / "fw_CRC.hex", elf=elf, symbol="crc_slot",
                            mcuboot={"key": str(keys["public"])})
    assert report.records[0]["value"] == stored


# Signing alone, as `imgtool sign` of the linked build: no record stored.
SIGNED_ALONE = [
    pytest.param("added", {"header": HEADER}, id="unsigned"),
    pytest.param("reserved", {"header": HEADER, "key": "ed25519", "slot": 0x8000,
                              "confirm": True}, id="ed25519-reserved-confirm"),
    pytest.param("added", {"header": HEADER, "key": "ed25519", "version": "1.2.3+4",
                           "counter": "auto", "tlv": ["0xA0:0102"]}, id="ed25519-protected"),
]


@pytest.mark.parametrize("room, settings", SIGNED_ALONE)
def test_signing_without_a_record_is_imgtool_sign_of_the_build(tmp_path, keys, room,
                                                                settings):
    objcopy = shutil.which("arm-none-eabi-objcopy") or shutil.which("objcopy")
    if objcopy is None:
        pytest.skip("objcopy is not installed")
    elf = tmp_path / "fw.elf"
    app_elf(elf, room)
    subprocess.run([objcopy, "-O", "ihex", elf, tmp_path / "build.hex"], check=True,
                   capture_output=True)
    imgtool_sign(tmp_path / "build.hex", tmp_path / "imgtool.hex", settings, keys,
                 room == "added")
    theirs = read_hex(tmp_path / "imgtool.hex").memory

    report = velk_crc.flash(elf, bin=True, mcuboot=ours(settings, keys))
    mine = read_hex(tmp_path / "fw_CRC.hex").memory
    end = max(max(mine), max(theirs)) + 1
    assert memory_bytes(mine, SLOT, end) == memory_bytes(theirs, SLOT, end)
    assert (tmp_path / "fw_CRC.bin").read_bytes() == memory_bytes(theirs, SLOT, end)
    # The hash covers the whole build: nothing is noted as left out.
    assert report.records == [] and report.outside == []


def plain_crc(memory, crc):
    return int.from_bytes(memory_bytes(memory, crc, crc + 4), "little")


def tlvs_of(image, header_at):
    """The TLV entries (type, value) after the payload, as the test reads the
    format: both areas."""
    magic, _, hdr_size, protect, img_size = struct.unpack_from("<IIHHI", image, header_at)
    assert magic == IMAGE_MAGIC
    at = header_at + hdr_size + img_size
    entries = []
    for info in ([0x6908] if protect else []) + [0x6907]:
        kind, total = struct.unpack_from("<HH", image, at)
        assert kind == info
        end, at = at + total, at + 4
        while at < end:
            t, _, length = struct.unpack_from("<BBH", image, at)
            entries.append((t, image[at + 4:at + 4 + length]))
            at += 4 + length
    return entries


@pytest.mark.parametrize("key, signature_type", [
    pytest.param("ecdsa", 0x22, id="ecdsa-p256"),
    pytest.param("rsa", 0x20, id="rsa-2048"),
])
def test_imgtool_verifies_ecdsa_and_rsa(tmp_path, keys, key, signature_type):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    report = velk_crc.flash(elf, symbol="crc_slot", bin=True,
                            mcuboot={"header": HEADER, "key": str(keys[key])})
    image = (tmp_path / "fw_CRC.bin").read_bytes()
    assert [t for t, _ in tlvs_of(image, 0)] == [0x10, 0x01, signature_type]
    done = subprocess.run([imgtool(), "verify", "-k", str(keys[key]),
                           str(tmp_path / "fw_CRC.bin")], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0 and "Image was correctly validated" in done.stdout, \
        done.stdout + done.stderr
    assert report.mcuboot["signature"]["type"] == {"ecdsa": "ecdsa-p256", "rsa": "rsa-2048"}[key]
    # Another key's verify refuses it.
    other = "ed25519"
    done = subprocess.run([imgtool(), "verify", "-k", str(keys[other]),
                           str(tmp_path / "fw_CRC.bin")], capture_output=True, text=True,
                          timeout=120)
    assert "Image was correctly validated" not in done.stdout


def test_ecdsa_signs_the_same_bytes_every_run(tmp_path, keys):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "reserved")
    files = []
    for _ in range(2):
        velk_crc.flash(elf, symbol="crc_slot", bin=True,
                       mcuboot={"header": HEADER, "key": str(keys["ecdsa"]),
                                "version": "3.0.0"})
        files.append((tmp_path / "fw_CRC.bin").read_bytes())
    assert files[0] == files[1]


def segment_memory(path):
    """What a programmer that loads an ELF file by its program headers
    (pyOCD, probe-rs, J-Link) writes: each PT_LOAD's file bytes at its
    physical address."""
    from elftools.elf.elffile import ELFFile
    memory = {}
    with open(path, "rb") as f:
        for segment in ELFFile(f).iter_segments():
            if segment["p_type"] == "PT_LOAD":
                for i, byte in enumerate(segment.data()):
                    memory[segment["p_paddr"] + i] = byte
    return memory


@pytest.mark.parametrize("option", ["--bin", "--srec", "--elf", "--elf-segments"])
def test_every_file_holds_the_signed_image(tmp_path, keys, option):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    settings = f"key={keys['ed25519']},header=0x200,slot=0x4000,confirm"
    words = ["FLASH", elf, "--ncrc_slot", "--mcuboot", settings, "--json"]
    if option in ("--bin", "--srec"):
        words.append(option)
    done = run_command(*words)
    assert done.returncode == 0, done.stderr
    hex_image = memory_bytes(read_hex(tmp_path / "fw_CRC.hex").memory, SLOT, SLOT + 0x4000)
    if option == "--bin":
        got = (tmp_path / "fw_CRC.bin").read_bytes()
    elif option == "--srec":
        got = memory_bytes(read_srec(tmp_path / "fw_CRC.srec").memory, SLOT, SLOT + 0x4000)
    elif option == "--elf-segments":
        got = memory_bytes(segment_memory(tmp_path / "fw_CRC.elf"), SLOT, SLOT + 0x4000)
        # CHECK reads the ELF file as such a programmer does.
        checked = run_command("CHECK", tmp_path / "fw_CRC.elf", "--ncrc_slot", "--elf", elf,
                              "--mcuboot", f"key={keys['public']}")
        assert checked.returncode == 0, checked.stdout + checked.stderr
    else:
        # What a debugger loads of the ELF file: objcopy's sections.
        objcopy = shutil.which("arm-none-eabi-objcopy") or shutil.which("objcopy")
        if objcopy is None:
            pytest.skip("objcopy is not installed")
        subprocess.run([objcopy, "-O", "ihex", tmp_path / "fw_CRC.elf",
                        tmp_path / "objcopy.hex"], check=True, capture_output=True)
        got = memory_bytes(read_hex(tmp_path / "objcopy.hex").memory, SLOT, SLOT + 0x4000)
    assert got == hex_image
    assert hex_image[-16:] == TRAILER_MAGIC and hex_image[-24] == 0x01
    # The manifest: every file's SHA-256 as it lies on disk.
    manifest = json.loads(done.stdout)["sha256"]
    assert sorted(manifest) == sorted(json.loads(done.stdout)["files"])
    for name, digest in manifest.items():
        with open(name, "rb") as f:
            assert hashlib.sha256(f.read()).hexdigest() == digest


def test_the_signature_covers_the_final_bytes_and_no_key_leaks(tmp_path, keys):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "reserved")
    done = run_command("FLASH", elf, "--ncrc_slot", "--bin", "--json", "--mcuboot",
                       f"key={keys['ed25519']},header=0x200,version=1.0.0")
    assert done.returncode == 0, done.stderr
    image = (tmp_path / "fw_CRC.bin").read_bytes()
    _, _, hdr_size, protect, img_size = struct.unpack_from("<IIHHI", image, 0)
    entries = dict(tlvs_of(image, 0))
    covered = image[:hdr_size + img_size + protect]
    assert entries[0x10] == hashlib.sha256(covered).digest()
    private = serialization.load_pem_private_key(keys["ed25519"].read_bytes(), None)
    private.public_key().verify(entries[0x24], entries[0x10])
    raw = private.private_bytes(serialization.Encoding.Raw, serialization.PrivateFormat.Raw,
                                serialization.NoEncryption())
    pem_body = keys["ed25519"].read_text().splitlines()[1]
    for name in os.listdir(tmp_path):
        content = (tmp_path / name).read_bytes()
        if name != "fw.elf":
            assert raw not in content and raw.hex().encode() not in content.lower()
    for text in (done.stdout, done.stderr):
        assert pem_body not in text and raw.hex() not in text


def test_an_encrypted_key_opens_with_the_password_from_the_environment(tmp_path, keys):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    settings = f"key={keys['encrypted']},header=0x200"
    refused = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot", settings,
                          env={**os.environ, "VELK_KEY_PASSWORD": "wrong"})
    assert refused.returncode == 255
    assert "VELK_KEY_PASSWORD is wrong" in refused.stderr
    done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot", settings, "--bin",
                       env={**os.environ, "VELK_KEY_PASSWORD": "s3cret"})
    assert done.returncode == 0, done.stderr
    assert "s3cret" not in done.stdout + done.stderr
    entries = dict(tlvs_of((tmp_path / "fw_CRC.bin").read_bytes(), 0))
    public = serialization.load_pem_public_key(keys["public"].read_bytes())
    public.verify(entries[0x24], entries[0x10])


def test_a_run_without_mcuboot_loads_no_cryptography(tmp_path):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    done = run_python(
        "import sys, velk_crc\n"
        f"velk_crc.flash({str(elf)!r}, symbol='crc_slot', bin=True)\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in "
        "('cryptography', 'hashlib', '_hashlib', 'pkcs11', 'asn1crypto')))")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


def test_a_run_signing_with_a_key_file_loads_no_pkcs11(tmp_path, keys):
    """python-pkcs11 (and asn1crypto, which it brings) is for keys in a
    token alone."""
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    done = run_python(
        "import sys, velk_crc\n"
        f"velk_crc.flash({str(elf)!r}, symbol='crc_slot', bin=True, "
        f"mcuboot={{'header': 0x200, 'key': {str(keys['ecdsa'])!r}}})\n"
        f"velk_crc.check({str(tmp_path / 'fw_CRC.bin')!r}, base=0x08000000, symbol='crc_slot', "
        f"elf={str(elf)!r}, mcuboot={{'key': {str(keys['ecdsa'])!r}}})\n"
        "print('cryptography' in sys.modules, "
        "sorted(m for m in sys.modules if m.split('.')[0] in ('pkcs11', 'asn1crypto')))")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "True []"


# (settings, other words): the manifest's files written on one thread or two
# (the merged ones beside the application's), signed or with the hash alone.
MANIFESTS = [
    pytest.param("header=0x200", [], id="hash-alone-hex"),
    pytest.param("key={ed25519},header=0x200", ["--bin", "--srec", "--uf2", "rp2040"],
                 id="signed-every-format"),
    pytest.param("key={ed25519},header=0x200,pad,slot=0x8000",
                 ["--bin", "--merge", "{boot}@0x07FF0000"], id="signed-merged-padded"),
]


@pytest.mark.parametrize("settings, words", MANIFESTS)
def test_the_manifest_holds_each_files_sha256_as_it_lies_on_disk(tmp_path, keys, settings,
                                                                 words):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    boot = tmp_path / "boot.bin"
    boot.write_bytes(bytes(range(256)) * 4)
    names = {"ed25519": keys["ed25519"], "boot": boot}
    done = run_command("FLASH", elf, "--ncrc_slot", "--json", "--mcuboot",
                       settings.format(**names), *(w.format(**names) for w in words))
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert sorted(report["sha256"]) == sorted(report["files"])
    for name, digest in report["sha256"].items():
        with open(name, "rb") as f:
            assert hashlib.sha256(f.read()).hexdigest() == digest, name


# A cryptography package that cannot load, found before the installed one.
BROKEN_CRYPTOGRAPHY = "raise ImportError('cryptography is broken here')\n"


@pytest.mark.parametrize("settings, status, says", [
    pytest.param("header=0x200", 0, None, id="hash-alone-needs-no-keys"),
    pytest.param("key={ed25519},header=0x200", 255,
                 "error: {elf}: signing and verifying need the cryptography package "
                 "(pip install 'cryptography>=44')", id="signing-says-how-to-get-it"),
])
def test_a_cryptography_that_cannot_load_is_said_where_the_key_is_read(tmp_path, keys,
                                                                       settings, status,
                                                                       says):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    shadow = tmp_path / "shadow" / "cryptography"
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text(BROKEN_CRYPTOGRAPHY)
    env = {**os.environ, "PYTHONPATH": str(shadow.parent)}
    done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot",
                       settings.format(ed25519=keys["ed25519"]), env=env)
    assert done.returncode == status, done.stderr
    if says:
        assert done.stderr.splitlines() == [says.format(elf=elf)]
        assert not (tmp_path / "fw_CRC.hex").exists()


# (room, settings, other words, what the one line says). Sizes in the slot
# case: header 0x200, payload BODY, TLVs 4 + 4 + 32 (the hash alone) and the
# trailer for 1-byte writes, 128 * 3 + 4 * 8 + 16, against a slot of 0x400.
OVERFLOW = HEADER + BODY + 40 + 128 * 3 + 4 * 8 + 16 - 0x400
REFUSALS = [
    pytest.param("reserved", "header=0x200", {"reserved": 0x100},
                 "header's room 0x08000000 to 0x080001FF holds the build's bytes from "
                 "0x08000100 on: the build reserves 0x100 bytes at its start, header=0x200 "
                 "needs them all", id="room-holding-code"),
    pytest.param("reserved", "header=0x100", {"reserved": 0x200},
                 "header=0x100 is smaller than the build's room: the build reserves 0x200 "
                 "bytes at 0x08000000, so there is no vector table at the payload's start "
                 "(0x08000100); header=0x200 fills the room (--force writes it anyway)",
                 id="header-smaller-than-the-room"),
    pytest.param("added", "header=0x200,pubkey=full", {},
                 "--mcuboot: pubkey=full carries the signing key in the image: it needs "
                 "key=<file> too", id="full-key-without-a-key"),
    pytest.param("reserved", "header=0x40", {"reserved": 0x40},
                 "vector table at 0x08000040 (16 entries) is not aligned as VTOR needs",
                 id="misaligned-vector-table"),
    pytest.param("added", "header=0x200,slot=0x400", {},
                 f"{OVERFLOW} bytes more than slot=0x400", id="slot-too-small"),
    pytest.param("added", "header=0x200,slot=0x8000", {"far": SLOT + 0x9000},
                 "the build's bytes at 0x08009000 to 0x080090FF lie outside the slot "
                 "(0x08000000 to 0x08007FFF)", id="bytes-outside-the-slot"),
    pytest.param("added", "header=0x200", {"far": SLOT + 0x100000},
                 "the build's bytes at 0x08100000 to 0x081000FF lie apart from the image",
                 id="bytes-apart-from-the-image"),
    pytest.param("added", "header=0x200,version=1.2", {},
                 "version=1.2 is no version", id="bad-version"),
    pytest.param("added", "header=0x200,version=1.256.0", {},
                 "version=1.256.0 is no version", id="version-out-of-range"),
    pytest.param("added", "header=0x200,align=3", {},
                 "align=3 is no write size: 1, 2, 4, 8, 16 or 32", id="bad-align"),
    pytest.param("added", "header=0x200,key=<elf>", {},
                 "no PEM private key", id="key-not-a-key"),
    pytest.param("added", "header=0x200,key=empty.pem", {},
                 "cannot read empty.pem: no PEM private key", id="empty-key-file"),
    pytest.param("added", "header=0x200,key=<public>", {},
                 "is a public key: signing needs the private key", id="public-key"),
    pytest.param("added", "header=0x200,key=<secp256k1>", {},
                 "is an ECDSA key on secp256k1: MCUboot's ECDSA keys are P-256 (secp256r1) "
                 "or P-384 (secp384r1)", id="key-of-another-curve"),
    pytest.param("added", "header=0x200,key=<encrypted>", {},
                 "is encrypted: give its password in VELK_KEY_PASSWORD",
                 id="encrypted-key-without-password"),
    pytest.param("added", "header=0x200,key=missing.pem", {},
                 "cannot read the key missing.pem: No such file", id="missing-key"),
    pytest.param("added", "header=0x200,--fill 0x55", {},
                 "MCUboot's flash erases to 0xFF or 0x00, not 0x55", id="fill"),
    pytest.param("added", "slot=0x8000", {}, "header=<size> is needed", id="no-header"),
    pytest.param("added", "header=0x200,pad", {}, "give slot=<size> too",
                 id="pad-without-slot"),
    pytest.param("added", "header=0x200,tlv=0x10:00", {}, "type of 0xA0 or above",
                 id="custom-tlv-type"),
    pytest.param("added", "header=0x200,signed", {}, 'unknown setting "signed"',
                 id="unknown-setting"),
]


@pytest.mark.parametrize("room, settings, layout, says", REFUSALS)
def test_what_the_bootloader_would_refuse_is_refused(tmp_path, keys, room, settings,
                                                     layout, says):
    elf = tmp_path / "fw.elf"
    app_elf(elf, room, **layout)
    words = []
    if ",--fill " in settings:
        settings, fill = settings.split(",--fill ")
        words = ["--fill", fill]
    for name in ("public", "secp256k1", "encrypted"):
        settings = settings.replace(f"<{name}>", str(keys[name]))
    settings = settings.replace("<elf>", str(elf))
    (tmp_path / "empty.pem").write_text("")
    env = {k: v for k, v in os.environ.items() if k != "VELK_KEY_PASSWORD"}
    done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot", settings, *words,
                       cwd=tmp_path, env=env)
    assert done.returncode == 255, done.stdout + done.stderr
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: ") and says in lines[0], \
        done.stderr
    assert "http" not in lines[0]  # the library's own pointers are not ours to print
    assert not (tmp_path / "fw_CRC.hex").exists()


def test_force_signs_a_misaligned_vector_table(tmp_path):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "reserved", reserved=0x40)
    with pytest.raises(velk_crc.Refused, match="not aligned as VTOR needs"):
        velk_crc.flash(elf, symbol="crc_slot", mcuboot={"header": 0x40})
    report = velk_crc.flash(elf, symbol="crc_slot", mcuboot={"header": 0x40}, force=True)
    assert any("VTOR" in w for w in report.warnings)
    assert report.mcuboot["header"]["img_size"] == BODY


@pytest.mark.parametrize("settings, says", [
    pytest.param({"header": 0x100}, "header=0x100 is smaller than the build's room",
                 id="header-smaller-than-the-room"),
    pytest.param({"header": HEADER, "pubkey": "full"},
                 "mcuboot: pubkey=full carries the signing key in the image",
                 id="full-key-without-a-key"),
])
def test_the_api_refuses_what_makes_no_bootable_or_signed_image(tmp_path, settings, says):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "reserved")
    with pytest.raises(velk_crc.Refused, match=says):
        velk_crc.flash(elf, symbol="crc_slot", mcuboot=settings)
    assert not (tmp_path / "fw_CRC.hex").exists()


def test_force_signs_a_header_smaller_than_the_room(tmp_path):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "reserved")
    report = velk_crc.flash(elf, symbol="crc_slot", mcuboot={"header": 0x100}, force=True)
    assert any("no vector table at the payload's start" in w for w in report.warnings)
    assert report.mcuboot["payload"] == SLOT + 0x100


def test_the_merged_files_hold_the_signed_image(tmp_path, keys):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    bootloader = tmp_path / "boot.bin"
    bootloader.write_bytes(bytes(range(256)) * 4)
    report = velk_crc.flash(elf, symbol="crc_slot", merge=f"{bootloader}@0x07FF0000",
                            mcuboot={"header": HEADER, "key": str(keys["ed25519"])})
    merged = read_hex(tmp_path / "fw_CRC_merged.hex").memory
    own = read_hex(tmp_path / "fw_CRC.hex").memory
    assert all(merged[a] == b for a, b in own.items())
    assert memory_bytes(merged, 0x07FF0000, 0x07FF0400) == bootloader.read_bytes()
    assert struct.unpack_from("<I", memory_bytes(merged, SLOT, SLOT + 4))[0] == IMAGE_MAGIC
    assert report.mcuboot["header_room"] == "added"


@pytest.mark.parametrize("words, api, label, at", [
    pytest.param(["--a10"], {"offset": 0x10}, "--a10", SLOT + 0x10, id="offset"),
    pytest.param(["--header", f"0x{SLOT:08X}+32:size@12"], None, "header.size", SLOT + 12,
                 id="header-field"),
])
def test_a_record_in_the_mcuboot_headers_fields_is_refused(tmp_path, words, api, label, at):
    """The header's fields are hashed as FLASH writes them: a record stored
    over them would leave an image its own check and the bootloader refuse."""
    elf = tmp_path / "fw.elf"
    app_elf(elf, "reserved")
    says = (f"lies in the MCUboot header's fields (0x{SLOT:08X} to 0x{SLOT + 31:08X}), "
            f"which the header takes: place it after them, at 0x{SLOT + 32:08X} or later")
    for force in ([], ["--force"]):
        done = run_command("FLASH", elf, *words, *force, "--mcuboot", "header=0x200",
                           cwd=tmp_path)
        assert done.returncode == 255, done.stderr
        assert done.stderr.splitlines() == [f"error: {elf}: {label} at 0x{at:08X} {says}"]
        assert not (tmp_path / "fw_CRC.hex").exists()
    if api:
        with pytest.raises(velk_crc.Refused, match="lies in the MCUboot header's fields") as info:
            velk_crc.flash(elf, mcuboot={"header": 0x200}, **api)
        assert not isinstance(info.value, velk_crc.InternalError)


def test_a_payload_running_past_the_slot_is_counted_whole(tmp_path):
    """A build that starts in the slot and runs past its end does not fit:
    the refusal counts every byte of it, and --force does not lift it."""
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    for force in ([], ["--force"]):
        done = run_command("FLASH", elf, "--ncrc_slot", *force, "--mcuboot",
                           "header=0x200,slot=0x400", cwd=tmp_path)
        assert done.returncode == 255
        assert f"take {HEADER + BODY + 40} bytes" in done.stderr, done.stderr
        assert "outside the slot" not in done.stderr
