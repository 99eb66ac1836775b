"""MCUboot images the bootloader would refuse, though each part of them is
well made: FLASH refuses to make them in one line and writes nothing, and
CHECK names what MCUboot trips over rather than saying "ok". Where imgtool
2.5.0 makes such an image, its image is the one CHECK reads."""

import base64
import re
import struct
import subprocess

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import x25519

import velk_crc
from conftest import run_command
from hexcheck import read_hex
from test_mcuboot import HEADER, SLOT, app_elf, imgtool, keys  # noqa: F401 (keys)

SIG_PURE = 0x25


@pytest.fixture(scope="module")
def device(tmp_path_factory):
    """The device's X25519 key (private and public PEM) and an application
    linked after the header's room, with its checksummed HEX."""
    folder = tmp_path_factory.mktemp("review")
    key = x25519.X25519PrivateKey.generate()
    paths = {"elf": folder / "fw.elf", "x25519": folder / "x25519.pem",
             "x25519-pub": folder / "x25519-pub.pem"}
    paths["x25519"].write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                                  serialization.PrivateFormat.PKCS8,
                                                  serialization.NoEncryption()))
    paths["x25519-pub"].write_bytes(key.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    app_elf(paths["elf"], "added")
    velk_crc.flash(paths["elf"], symbol="crc_slot")
    paths["plain"] = folder / "plain.hex"
    paths["plain"].write_bytes((folder / "fw_CRC.hex").read_bytes())
    return paths


# A bootloader that verifies pure signatures does so over the slot's bytes
# as they lie, and is built with no decryption: an encrypted pure image
# never boots, whichever key carries the AES key.
@pytest.mark.parametrize("sealing, words", [
    pytest.param("encrypt", "encrypt=", id="ecies-x25519"),
    pytest.param("encrypt-kw", "encrypt-kw=", id="aes-kw"),
])
@pytest.mark.parametrize("front", ["cli", "api"])
def test_flash_refuses_a_pure_signature_on_an_encrypted_image(tmp_path, device, keys, sealing,
                                                               words, front):
    kek = tmp_path / "kek.bin"
    kek.write_bytes(bytes(range(16)))
    sealed = str(device["x25519-pub"]) if sealing == "encrypt" else str(kek)
    elf = tmp_path / "fw.elf"
    elf.write_bytes(device["elf"].read_bytes())
    message = (f"pure and {words} together: MCUboot verifies a pure signature over the "
               "slot's bytes as they lie, encrypted, and is built without decryption beside it")
    if front == "api":
        with pytest.raises(velk_crc.Refused, match=re.escape(message)):
            velk_crc.flash(elf, symbol="crc_slot",
                           mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                                    "pure": True, sealing: sealed})
    else:
        done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot",
                           f"header={HEADER},key={keys['ed25519']},pure,{sealing}={sealed}")
        assert done.returncode == 255, done.stdout + done.stderr
        assert done.stderr == f"error: {elf}: --mcuboot: {message}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.elf", "kek.bin"]


@pytest.mark.parametrize("front", ["cli", "api"])
def test_check_names_the_pure_mark_of_imgtools_encrypted_image(tmp_path, device, keys, front):
    """imgtool 2.5.0 makes the image; its hash and signature verify once
    decrypted, and yet MCUboot would refuse it."""
    image = tmp_path / "pure-encrypted.hex"
    done = subprocess.run([imgtool(), "sign", "-H", str(HEADER), "--pad-header", "-S",
                           "0x20000", "-v", "1.0.0", "-k", str(keys["ed25519"]), "--pure",
                           "-E", str(device["x25519-pub"]), str(device["plain"]), str(image)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    settings = {"key": str(keys["public"]), "decrypt": str(device["x25519"])}
    if front == "api":
        report = velk_crc.check(image, mcuboot=settings)
        assert not report.ok and not report.mcuboot["ok"]
        assert report.mcuboot["signature"]["ok"]
        return
    done = run_command("CHECK", image, "--mcuboot", ",".join(f"{k}={v}"
                                                             for k, v in settings.items()))
    assert done.returncode == 1, done.stdout + done.stderr
    assert re.search(r"MCUboot mismatch: TLV 0x25 at 0x[0-9A-F]{8} holds the mark of a pure "
                     r"signature; it should hold nothing: an encrypted payload is not the "
                     r"image a pure signature signed", done.stdout), done.stdout
    assert "MCUboot signature: ed25519 (TLV 0x24) by" in done.stdout


def tlv_end(path, slot_size):
    """The slot's bytes of an image in a HEX, and where its TLVs end."""
    memory = read_hex(path).memory
    image = bytes(memory.get(a, 0xFF) for a in range(SLOT, SLOT + slot_size))
    hdr_size, protect, img_size = struct.unpack_from("<HHI", image, 8)
    at = hdr_size + img_size + protect
    return at + struct.unpack_from("<HH", image, at)[1]


@pytest.mark.parametrize("front", ["cli", "api"])
def test_an_encrypted_images_trailer_keeps_room_for_its_keys(tmp_path, device, keys, front):
    """imgtool's image with the least trailer (-M 1) in a slot of 8 KiB, checked
    with a max-sectors= whose trailer fits after the TLVs only without the
    2 x 16 bytes an encrypted image's trailer keeps for its keys: MCUboot
    counts them, as imgtool does when it makes the image."""
    slot = 0x2000
    image = tmp_path / "encrypted.hex"
    done = subprocess.run([imgtool(), "sign", "-H", str(HEADER), "--pad-header", "-S",
                           hex(slot), "-v", "1.0.0", "-k", str(keys["ed25519"]), "-M", "1",
                           "--pad", "-E", str(device["x25519-pub"]), str(device["plain"]),
                           str(image)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    end = tlv_end(image, slot)
    room = slot - end
    # status 3 x sectors at a write size of 1, keys 2 x 16, four flags of 8,
    # the magic's 16
    sectors = (room - 48) // 3
    assert 3 * sectors + 48 <= room < 3 * sectors + 80
    settings = {"key": str(keys["public"]), "decrypt": str(device["x25519"]),
                "slot": slot, "max-sectors": sectors}
    if front == "api":
        assert not velk_crc.check(image, mcuboot=settings).ok
        assert velk_crc.check(image, mcuboot={**settings, "max-sectors": sectors - 11}).ok
        return
    words = ",".join(f"{k}={v}" for k, v in settings.items())
    done = run_command("CHECK", image, "--mcuboot", words)
    assert done.returncode == 1, done.stdout + done.stderr
    assert (f"MCUboot mismatch: the slot's room for its trailer at 0x{SLOT + end:08X} holds "
            f"{room} bytes after the TLVs; it should hold {3 * sectors + 80} bytes or more "
            f"(max-sectors={sectors})") in done.stdout
    done = run_command("CHECK", image, "--mcuboot",
                       words.replace(f"max-sectors={sectors}", f"max-sectors={sectors - 11}"))
    assert done.returncode == 0, done.stdout + done.stderr


def tlv_at(image, kind):
    """Where the value of the unprotected TLV `kind` starts in an image's bytes."""
    hdr_size, protect, img_size = struct.unpack_from("<HHI", image, 8)
    at = hdr_size + img_size + protect + 4
    while True:
        found, length = struct.unpack_from("<BxH", image, at)
        if found == kind:
            return at + 4
        at += 4 + length


@pytest.mark.parametrize("hmac, kind", [
    pytest.param("256", 0x33, id="ecies-x25519"),
    pytest.param("512", 0x34, id="ecies-x25519-hmac-sha512"),
])
def test_each_ecies_key_tlv_is_named_as_the_encryption_key(tmp_path, device, keys, hmac, kind):
    elf = tmp_path / "fw.elf"
    elf.write_bytes(device["elf"].read_bytes())
    velk_crc.flash(elf, symbol="crc_slot", bin=True,
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                            "encrypt": str(device["x25519-pub"]), "hmac": hmac})
    image = bytearray((tmp_path / "fw_CRC.bin").read_bytes())
    at = tlv_at(image, kind)
    image[at + 32] ^= 0x01  # the first byte of the HMAC tag, after the ephemeral key
    tampered = tmp_path / "tampered.bin"
    tampered.write_bytes(image)
    settings = {"key": str(keys["public"]), "decrypt": str(device["x25519"])}
    assert not velk_crc.check(tampered, base=SLOT, mcuboot=settings).ok
    done = run_command("CHECK", tampered, "--base", hex(SLOT), "--mcuboot",
                       ",".join(f"{k}={v}" for k, v in settings.items()))
    assert done.returncode == 1, done.stdout + done.stderr
    assert (f"MCUboot mismatch: the encryption key TLV (0x{kind:02X}) at 0x{SLOT + at:08X} "
            "holds a key that decrypt=") in done.stdout, done.stdout


# MCUboot's pure bootloader takes the SIG_PURE TLV's one byte as the mark
# only when it is 01; imgtool's verify looks at the type alone.
@pytest.mark.parametrize("value, ok", [
    pytest.param(0x01, True, id="as-made"),
    pytest.param(0x00, False, id="zero"),
    pytest.param(0xFF, False, id="erased"),
])
def test_the_pure_mark_holds_01(tmp_path, device, keys, value, ok):
    elf = tmp_path / "fw.elf"
    elf.write_bytes(device["elf"].read_bytes())
    velk_crc.flash(elf, symbol="crc_slot", bin=True,
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]), "pure": True})
    image = bytearray((tmp_path / "fw_CRC.bin").read_bytes())
    at = tlv_at(image, SIG_PURE)
    assert image[at] == 0x01
    image[at] = value
    marked = tmp_path / "marked.bin"
    marked.write_bytes(image)
    assert velk_crc.check(marked, base=SLOT, mcuboot={"key": str(keys["public"])}).ok is ok
    done = run_command("CHECK", marked, "--base", hex(SLOT), "--mcuboot",
                       f"key={keys['public']}")
    assert done.returncode == (0 if ok else 1), done.stdout + done.stderr
    line = (f"MCUboot mismatch: TLV 0x25 at 0x{SLOT + at:08X} holds {value:02x}; it should "
            "hold 01 (the mark of a pure signature: MCUboot reads no other value as one)")
    assert (line in done.stdout) is not ok, done.stdout


@pytest.mark.parametrize("front", ["cli", "api"])
def test_decrypt_with_a_public_key_gives_no_verdict(tmp_path, device, keys, front):
    """A public key opens no image: that says nothing of the image, so CHECK
    cannot verify it (2), rather than finding it wrong (1)."""
    elf = tmp_path / "fw.elf"
    elf.write_bytes(device["elf"].read_bytes())
    velk_crc.flash(elf, symbol="crc_slot",
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                            "encrypt": str(device["x25519-pub"])})
    image = tmp_path / "fw_CRC.hex"
    public = device["x25519-pub"]
    message = f"decrypt={public} is a public key: decrypting needs the private key"
    if front == "api":
        with pytest.raises(velk_crc.CannotVerify, match=re.escape(message)):
            velk_crc.check(image, mcuboot={"key": str(keys["public"]), "decrypt": str(public)})
        return
    done = run_command("CHECK", image, "--mcuboot", f"key={keys['public']},decrypt={public}")
    assert done.returncode == 2, done.stdout + done.stderr
    assert done.stderr == f"error: {image}: {message}\n"
    assert "ok" not in done.stdout.split()


# A CI job sets VELK_KEY_PASSWORD for its encrypted signing key; the device's
# X25519 key beside it is not encrypted and opens all the same, in FLASH's
# encrypt= and CHECK's decrypt=, as key= does.
@pytest.mark.parametrize("front", ["cli", "api"])
def test_a_password_set_for_another_key_does_not_refuse_an_unencrypted_one(
        tmp_path, device, keys, monkeypatch, front):
    monkeypatch.setenv("VELK_KEY_PASSWORD", "s3cret")
    elf = tmp_path / "fw.elf"
    elf.write_bytes(device["elf"].read_bytes())
    private = str(device["x25519"])
    image = tmp_path / "fw_CRC.hex"
    if front == "api":
        velk_crc.flash(elf, symbol="crc_slot",
                       mcuboot={"header": HEADER, "key": str(keys["encrypted"]),
                                "encrypt": private})
        assert velk_crc.check(image, mcuboot={"key": str(keys["public"]),
                                              "decrypt": private}).ok
        return
    done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot",
                       f"header={HEADER},key={keys['encrypted']},encrypt={private}")
    assert done.returncode == 0, done.stdout + done.stderr
    done = run_command("CHECK", image, "--mcuboot", f"key={keys['public']},decrypt={private}")
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"decrypted with {private}" in done.stdout


@pytest.mark.parametrize("password, says", [
    pytest.param(None, "{key} is encrypted: give its password in VELK_KEY_PASSWORD",
                 id="no-password"),
    pytest.param("wrong", "cannot read {key}: the password in VELK_KEY_PASSWORD is wrong, or "
                 "it is no PEM private key (", id="wrong-password"),
])
def test_an_encrypted_decrypt_key_says_what_its_password_needs(tmp_path, device, keys,
                                                                monkeypatch, password, says):
    elf = tmp_path / "fw.elf"
    elf.write_bytes(device["elf"].read_bytes())
    velk_crc.flash(elf, symbol="crc_slot",
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                            "encrypt": str(device["x25519-pub"])})
    locked = tmp_path / "x25519-locked.pem"
    locked.write_bytes(serialization.load_pem_private_key(
        device["x25519"].read_bytes(), None).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.BestAvailableEncryption(b"s3cret")))
    if password is None:
        monkeypatch.delenv("VELK_KEY_PASSWORD", raising=False)
    else:
        monkeypatch.setenv("VELK_KEY_PASSWORD", password)
    image = tmp_path / "fw_CRC.hex"
    done = run_command("CHECK", image, "--mcuboot", f"key={keys['public']},decrypt={locked}")
    assert done.returncode == 2, done.stdout + done.stderr
    assert done.stderr.startswith(f"error: {image}: " + says.format(key=locked))
    assert done.stderr.count("\n") == 1
    with pytest.raises(velk_crc.CannotVerify, match=re.escape(says.format(key=locked))):
        velk_crc.check(image, mcuboot={"key": str(keys["public"]), "decrypt": str(locked)})


# The measured-boot record names its signer by the key's hash: in two steps
# the key is the holder's public half, and both steps put its hash there,
# so that the digest signed is the final image's. The result is imgtool's
# `--fix-sig --fix-sig-pubkey --boot-record` image.
@pytest.mark.parametrize("front", ["cli", "api"])
def test_two_steps_sign_an_image_with_a_boot_record(tmp_path, device, keys, front):
    elf = tmp_path / "fw.elf"
    elf.write_bytes(device["elf"].read_bytes())
    public, signature = str(keys["public"]), tmp_path / "fw.sig"
    settings = {"header": HEADER, "key": public, "boot-record": "SPE", "version": "1.2.3"}
    if front == "api":
        first = velk_crc.flash(elf, symbol="crc_slot", mcuboot={**settings, "sign": "digest"})
        digest = bytes.fromhex(first.to_sign["bytes"])
    else:
        words = ",".join(f"{k}={v}" for k, v in settings.items())
        done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot", words + ",sign=digest")
        assert done.returncode == 0, done.stdout + done.stderr
        digest = (tmp_path / "fw_CRC.tosign").read_bytes()
    private = serialization.load_pem_private_key(keys["ed25519"].read_bytes(), None)
    signature.write_bytes(base64.b64encode(private.sign(digest)))
    if front == "api":
        velk_crc.flash(elf, symbol="crc_slot", bin=True,
                       mcuboot={**settings, "signature": str(signature)})
    else:
        done = run_command("FLASH", elf, "--ncrc_slot", "--bin", "--mcuboot",
                           words + f",signature={signature}")
        assert done.returncode == 0, done.stdout + done.stderr
    theirs = tmp_path / "imgtool.bin"
    done = subprocess.run([imgtool(), "sign", "-H", str(HEADER), "--pad-header", "-S",
                           "0x100000", "-v", "1.2.3", "--boot-record", "SPE", "--fix-sig",
                           str(signature), "--fix-sig-pubkey", public, str(device["plain"]),
                           str(theirs)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert (tmp_path / "fw_CRC.bin").read_bytes() == theirs.read_bytes()
    done = subprocess.run([imgtool(), "verify", "-k", public, str(theirs)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert velk_crc.check(tmp_path / "fw_CRC.bin", base=SLOT, mcuboot={"key": public}).ok
