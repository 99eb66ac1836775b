"""FLASH --mcuboot encrypt=: an encrypted MCUboot image. The test opens our
image with its own code from cryptography's primitives (the key exchange,
HKDF, HMAC and AES-CTR as MCUboot's bootloader composes them; RSA-OAEP; its
own RFC 3394 unwrap for AES-KW) and compares the plaintext image with
imgtool 2.5.0's `--clear` image of the same input, byte for byte, the
randomised TLVs aside. CHECK decrypt= must accept ours and imgtool's."""

import json
import re
import struct
import subprocess

import pytest
from cryptography.hazmat.primitives import hashes, hmac, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa, x25519
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

import velk_crc
from conftest import run_command, run_python
from elfwriter import Elf, Segment
from hexcheck import read_hex
from test_mcuboot import HEADER, SLOT, imgtool, keys, segment_memory  # noqa: F401 (keys)

BODY = 0x5F4  # not whole AES blocks: the image is padded to them
CODE = SLOT + HEADER

TLV_ENC = {"x25519": 0x33, "x25519-sha512": 0x34, "p256": 0x32, "rsa": 0x30, "kw": 0x31}


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    """An application linked after the header's room, its CRC record the last
    word, and its checksummed HEX (the input imgtool signs)."""
    folder = tmp_path_factory.mktemp("encrypt")
    data = bytearray((i * 13 + 5) & 0xFF for i in range(BODY))
    struct.pack_into("<I", data, 0, 0x20002000)
    struct.pack_into("<I", data, 4, CODE + 0x41)
    data[-4:] = bytes(4)
    elf = folder / "fw.elf"
    elf.write_bytes(Elf(segments=[Segment(CODE, bytes(data), section=".text")],
                        symbols=[("crc_slot", CODE + BODY - 4, 4, 1)],
                        entry=CODE + 0x41).build())
    velk_crc.flash(elf, symbol="crc_slot")
    (folder / "plain.hex").write_bytes((folder / "fw_CRC.hex").read_bytes())
    return folder


@pytest.fixture(scope="module")
def reserved(tmp_path_factory):
    """The same application in a build that reserves the header's room at
    the slot's start (Zephyr's ROM offset), its CRC from the payload on."""
    folder = tmp_path_factory.mktemp("encrypt-reserved")
    data = bytearray(HEADER) + bytearray((i * 13 + 5) & 0xFF for i in range(BODY))
    struct.pack_into("<II", data, HEADER, 0x20002000, CODE + 0x41)
    data[-4:] = bytes(4)
    elf = folder / "fw.elf"
    elf.write_bytes(Elf(segments=[Segment(SLOT, bytes(data), section=".text")],
                        symbols=[("crc_slot", SLOT + len(data) - 4, 4, 1)],
                        entry=CODE + 0x41).build())
    velk_crc.flash(elf, symbol=f"crc_slot@{CODE:#x}")
    (folder / "plain.hex").write_bytes((folder / "fw_CRC.hex").read_bytes())
    return folder


@pytest.fixture(scope="module")
def enc(tmp_path_factory):
    """The device's keys: private and public PEM of each kind, and KEKs."""
    folder = tmp_path_factory.mktemp("enc-keys")
    made = {"x25519": x25519.X25519PrivateKey.generate(),
            "p256": ec.generate_private_key(ec.SECP256R1()),
            "rsa": rsa.generate_private_key(public_exponent=65537, key_size=2048),
            "rsa3072": rsa.generate_private_key(public_exponent=65537, key_size=3072)}
    paths = {"objects": made}
    for name, key in made.items():
        paths[name] = folder / f"{name}.pem"
        paths[name].write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                                  serialization.PrivateFormat.PKCS8,
                                                  serialization.NoEncryption()))
        paths[name + "-pub"] = folder / f"{name}-pub.pem"
        paths[name + "-pub"].write_bytes(key.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    for size in (16, 32, 20):
        paths[f"kek{size}"] = folder / f"kek{size}.bin"
        paths[f"kek{size}"].write_bytes(bytes((i * 29 + size) & 0xFF for i in range(size)))
    return paths


def image_of(path):
    """The image's bytes from the slot's start to its last byte in a HEX."""
    memory = read_hex(path).memory
    return bytes(memory.get(a, 0xFF) for a in range(SLOT, max(memory) + 1))


def tlvs(image):
    """(type, offset of its value, value) of each entry of both areas."""
    hdr_size, protect, img_size = struct.unpack_from("<HHI", image, 8)
    at = hdr_size + img_size
    out = []
    for _ in range(2 if protect else 1):
        _, total = struct.unpack_from("<HH", image, at)
        end, at = at + total, at + 4
        while at < end:
            kind, length = struct.unpack_from("<BxH", image, at)
            out.append((kind, at + 4, image[at + 4:at + 4 + length]))
            at += 4 + length
    return out


def ctr(key, data):
    return Cipher(algorithms.AES(key), modes.CTR(bytes(16))).encryptor().update(data)


def unwrap_rfc3394(kek, wrapped):
    """RFC 3394's unwrap, section 2.2.2, from the AES block cipher alone."""
    ecb = Cipher(algorithms.AES(kek), modes.ECB())
    n = len(wrapped) // 8 - 1
    a, r = wrapped[:8], [wrapped[8 * i:8 * i + 8] for i in range(1, n + 1)]
    for j in range(5, -1, -1):
        for i in range(n, 0, -1):
            t = (n * j + i).to_bytes(8, "big")
            b = ecb.decryptor().update(bytes(x ^ y for x, y in zip(a, t)) + r[i - 1])
            a, r[i - 1] = b[:8], b[8:]
    assert a == bytes([0xA6] * 8), "the KEK does not unwrap it"
    return b"".join(r)


def image_key(kind, value, enc, aes):
    """The AES key an encryption TLV carries, opened as MCUboot does."""
    size = aes // 8
    if kind == "kw":
        return unwrap_rfc3394(enc[f"kek{size}"].read_bytes(), value)
    private = enc["objects"][kind.split("-")[0]]
    if kind == "rsa":
        return private.decrypt(value, padding.OAEP(mgf=padding.MGF1(hashes.SHA256()),
                                                   algorithm=hashes.SHA256(), label=None))
    point = 65 if kind == "p256" else 32
    sha = hashes.SHA512() if kind == "x25519-sha512" else hashes.SHA256()
    peer, tag = value[:point], value[point:point + sha.digest_size]
    sealed = value[point + sha.digest_size:]
    if kind == "p256":
        shared = private.exchange(ec.ECDH(), ec.EllipticCurvePublicKey.from_encoded_point(
            ec.SECP256R1(), peer))
    else:
        shared = private.exchange(x25519.X25519PublicKey.from_public_bytes(peer))
    derived = HKDF(sha, size + sha.digest_size, None, b"MCUBoot_ECIES_v1").derive(shared)
    mac = hmac.HMAC(derived[size:], sha)
    mac.update(sealed)
    mac.verify(tag)
    return ctr(derived[:size], sealed)


def decrypted(image, kind, enc, aes):
    """The image with its payload decrypted by the test's own code."""
    hdr_size, _, img_size = struct.unpack_from("<HHI", image, 8)
    (_, _, value), = [t for t in tlvs(image) if t[0] == TLV_ENC[kind]]
    assert len(value) == {"x25519": 64, "x25519-sha512": 96, "p256": 97,
                          "rsa": 256 - aes // 8, "kw": 8}[kind] + aes // 8
    key = image_key(kind, value, enc, aes)
    end = hdr_size + img_size
    return image[:hdr_size] + ctr(key, image[hdr_size:end]) + image[end:]


def imgtool_clear(build, out, enc_key, key, aes, extra=(), clear=True, room="added"):
    args = [imgtool(), "sign", "-H", str(HEADER), "-S", "0x10000", "-v", "0.0.0",
            "-E", str(enc_key), "--encrypt-keylen", str(aes), *extra]
    if room == "added":
        args.append("--pad-header")
    if clear:
        args.append("--clear")
    if key:
        args += ["-k", str(key)]
    done = subprocess.run(args + [str(build / "plain.hex"), str(out)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


def same_but_random(mine, theirs, random_types):
    """Byte for byte to the TLVs and in every TLV but those each run makes
    afresh (the sealed key, a randomised ECDSA or RSA signature, whose DER
    length varies too): those of the same types in the same order."""
    hdr_size, protect, img_size = struct.unpack_from("<HHI", mine, 8)
    assert mine[:hdr_size + img_size + protect] == theirs[:hdr_size + img_size + protect]
    ours, its = tlvs(mine), tlvs(theirs)
    assert [k for k, _, _ in ours] == [k for k, _, _ in its]
    for (kind, _, value), (_, _, other) in zip(ours, its):
        if kind not in random_types:
            assert value == other, hex(kind)
    # A padded slot's trailer, at its end.
    if len(theirs) > 0x1000:
        assert len(mine) == len(theirs) and mine[-0x200:] == theirs[-0x200:]


# The device's key, the signing key, the AES size, more settings.
ENCRYPTED = [
    pytest.param("x25519", "ed25519", 128, {}, id="x25519-ed25519-aes128"),
    pytest.param("x25519", "ed25519", 256, {"slot": 0x10000, "confirm": True},
                 id="x25519-ed25519-aes256-confirm"),
    pytest.param("x25519", "ed25519", 128, {"sha": 512}, id="x25519-ed25519-sha512"),
    pytest.param("x25519", "ed25519", 256, {"hmac": 512}, id="x25519-hmac-sha512-aes256"),
    pytest.param("p256", "ecdsa", 128, {}, id="p256-ecdsa-aes128"),
    pytest.param("p256", None, 256, {}, id="p256-unsigned-aes256"),
    pytest.param("rsa", "rsa", 128, {}, id="rsa-rsa-aes128"),
    pytest.param("rsa", "rsa", 256, {"slot": 0x10000, "pad": True}, id="rsa-rsa-aes256-pad"),
]


@pytest.mark.parametrize("kind, signer, aes, more", ENCRYPTED)
def test_our_image_decrypts_to_imgtools_clear_image(build, enc, keys, kind, signer, aes, more):
    settings = {"header": HEADER, "encrypt": str(enc[kind + "-pub"]), **more}
    if aes == 256:
        settings["aes"] = 256
    if signer:
        settings["key"] = str(keys[signer])
    report = velk_crc.flash(build / "fw.elf", symbol="crc_slot", mcuboot=settings)
    mine = image_of(build / "fw_CRC.hex")
    extra = ["--confirm"] if more.get("confirm") else ["--pad"] if more.get("pad") else []
    if "sha" in more:
        extra += ["--sha", str(more["sha"])]
    if "hmac" in more:
        extra += ["--hmac-sha", str(more["hmac"])]
    imgtool_clear(build, build / "clear.hex", enc[kind + "-pub"],
                  keys[signer] if signer else None, aes, extra)
    theirs = image_of(build / "clear.hex")
    sealing = kind + "-sha512" if more.get("hmac") == 512 else kind
    plain = decrypted(mine, sealing, enc, aes)
    # The header says encrypted, with the key's size, and counts the zeros
    # that pad the payload to whole blocks.
    flags, = struct.unpack_from("<I", plain, 16)
    assert flags == (0x04 if aes == 128 else 0x08)
    assert struct.unpack_from("<I", plain, 12)[0] == 0x600
    assert plain[HEADER + BODY:HEADER + 0x600] == bytes(0x600 - BODY)
    same_but_random(plain, theirs,
                    {TLV_ENC[sealing]} | ({0x22, 0x20} if signer in ("ecdsa", "rsa") else set()))
    # The payload itself is not in the clear.
    assert mine[HEADER:HEADER + 0x600] != plain[HEADER:HEADER + 0x600]
    assert report.mcuboot["encryption"] == {
        "type": {"x25519": "ECIES-X25519", "x25519-sha512": "ECIES-X25519-SHA512",
                 "p256": "ECIES-P256", "rsa": "RSA-OAEP"}[sealing],
        "aes": aes}


@pytest.mark.parametrize("aes", [128, 256])
def test_aes_kw_unwraps_with_the_tests_own_rfc3394(build, enc, keys, aes):
    kek = enc[f"kek{aes // 8}"]
    done = run_command("FLASH", build / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"key={keys['ed25519']},header=0x200,encrypt-kw={kek},aes={aes}")
    assert done.returncode == 0, done.stderr
    assert f"encrypted with AES-KW ({kek}), AES-{aes}" in done.stdout
    mine = image_of(build / "fw_CRC.hex")
    (_, _, wrapped), = [t for t in tlvs(mine) if t[0] == 0x31]
    assert len(wrapped) == aes // 8 + 8
    # imgtool has no AES-KW: its X25519 clear image of the same input has the
    # same header, payload, hash and signature.
    imgtool_clear(build, build / "clear.hex", enc["x25519-pub"], keys["ed25519"], aes)
    theirs = image_of(build / "clear.hex")
    plain = decrypted(mine, "kw", enc, aes)
    end = HEADER + 0x600
    assert plain[:end] == theirs[:end]
    assert [t for t in tlvs(plain) if t[0] != 0x31] == \
        [t for t in tlvs(theirs) if t[0] != 0x33]
    checked = run_command("CHECK", build / "fw_CRC.hex", "--mcuboot",
                          f"key={keys['public']},decrypt={kek}")
    assert checked.returncode == 0, checked.stdout + checked.stderr


@pytest.mark.parametrize("maker", ["ours", "imgtool"])
@pytest.mark.parametrize("kind, hmac_sha", [("x25519", 256), ("p256", 256), ("rsa", 256),
                                            ("x25519", 512)],
                         ids=["x25519", "p256", "rsa", "x25519-hmac-sha512"])
def test_check_decrypts_and_verifies(build, enc, keys, maker, kind, hmac_sha):
    image = build / f"{maker}-{kind}-{hmac_sha}.hex"
    if maker == "ours":
        velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                       mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                                "encrypt": str(enc[kind + "-pub"]), "hmac": hmac_sha})
        image.write_bytes((build / "fw_CRC.hex").read_bytes())
    else:
        imgtool_clear(build, image, enc[kind + "-pub"], keys["ed25519"], 128, clear=False,
                      extra=["--hmac-sha", str(hmac_sha)])
    done = run_command("CHECK", image, "--mcuboot",
                       f"key={keys['public']},decrypt={enc[kind]}")
    assert done.returncode == 0, done.stdout + done.stderr
    assert ", decrypted with " in done.stdout
    assert "MCUboot signature: ed25519 (TLV 0x24) by" in done.stdout
    # With the build: the decrypted payload, padding and record, is the build's.
    report = velk_crc.check(image, elf=build / "fw.elf", symbol="crc_slot",
                            mcuboot={"key": str(keys["public"]), "decrypt": str(enc[kind])})
    assert report.ok and report.mcuboot["ok"] and report.mcuboot["signature"]["ok"]
    assert report.mcuboot["encryption"] == {
        "type": {"x25519": "ECIES-X25519", "p256": "ECIES-P256", "rsa": "RSA-OAEP"}[kind] +
        ("-SHA512" if hmac_sha == 512 else ""), "aes": 128, "checked": True, "ok": True}
    assert report.records[0]["ok"]


def test_check_names_a_tampered_byte_of_the_encrypted_payload(build, enc, keys):
    velk_crc.flash(build / "fw.elf", symbol="crc_slot", bin=True,
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                            "encrypt": str(enc["x25519-pub"])})
    image = bytearray((build / "fw_CRC.bin").read_bytes())
    image[HEADER + 0x123] ^= 0x40
    tampered = build / "tampered.bin"
    tampered.write_bytes(image)
    done = run_command("CHECK", tampered, "--base", hex(SLOT), "--mcuboot",
                       f"key={keys['public']},decrypt={enc['x25519']}")
    assert done.returncode == 1, done.stdout + done.stderr
    assert "MCUboot mismatch: the hash TLV (0x10)" in done.stdout
    done = run_command("CHECK", tampered, "--elf", build / "fw.elf", "--ncrc_slot",
                       "--mcuboot", f"key={keys['public']},decrypt={enc['x25519']}")
    assert done.returncode == 1, done.stdout + done.stderr
    assert f"content mismatch at 0x{SLOT + HEADER + 0x123:08X}" in done.stdout
    # The sealed key's own tag is checked too.
    image[HEADER + 0x123] ^= 0x40
    (_, at, _), = [t for t in tlvs(bytes(image)) if t[0] == 0x33]
    image[at + 40] ^= 0x01
    tampered.write_bytes(image)
    done = run_command("CHECK", tampered, "--base", hex(SLOT), "--mcuboot",
                       f"decrypt={enc['x25519']}")
    assert done.returncode == 1
    assert f"the encryption key TLV (0x33) at 0x{SLOT + at:08X}" in done.stdout
    assert "its HMAC tag is not the one" in done.stdout


@pytest.mark.parametrize("front", ["cli", "api"])
def test_without_the_key_check_says_the_payload_was_not_checked(build, enc, keys, front):
    velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                            "encrypt": str(enc["x25519-pub"])})
    image = build / "fw_CRC.hex"
    if front == "api":
        with pytest.raises(velk_crc.Error, match="the MCUboot payload is encrypted"):
            velk_crc.check(image, mcuboot={"key": str(keys["public"])})
        return
    done = run_command("CHECK", image, "--mcuboot", f"key={keys['public']}")
    # No verdict: nothing found wrong, and the payload not checked either.
    assert done.returncode == 2, done.stdout + done.stderr
    assert "not checked: no key (--mcuboot decrypt=<file> decrypts it)" in done.stdout
    assert "MCUboot hash" not in done.stdout and ", ok" not in done.stdout
    assert "error: " in done.stderr and "were not checked" in done.stderr
    done = run_command("CHECK", image, "--json", "--mcuboot", f"key={keys['public']}")
    report = json.loads(done.stdout)
    assert done.returncode == 2 and report["verdict"] == "error"
    assert report["mcuboot"]["ok"] is False
    assert report["mcuboot"]["hash"] == {"type": "SHA256", "value": None, "checked": False,
                                         "ok": None}
    assert report["mcuboot"]["encryption"] == {"type": "ECIES-X25519", "aes": 128,
                                               "checked": False, "ok": None}
    # Nor is it compared with the build.
    done = run_command("CHECK", image, "--elf", build / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"key={keys['public']}")
    assert done.returncode == 2, done.stdout + done.stderr
    assert "comparing its payload with the build needs --mcuboot decrypt=<file>" in done.stderr


REFUSED = [
    pytest.param("ecdsa", "x25519-pub", "",
                 "is an X25519 key: an image signed with ecdsa-p256 is encrypted for a P-256 key",
                 id="ecdsa-with-x25519"),
    pytest.param("rsa", "p256-pub", "",
                 "is a P-256 key: an image signed with rsa-2048 is encrypted for an RSA-2048 key",
                 id="rsa-with-p256"),
    pytest.param("ecdsa", "rsa-pub", "", "is an RSA-2048 key: an image signed with ecdsa-p256",
                 id="ecdsa-with-rsa"),
    pytest.param("secp384", "p256-pub", "", "is a P-256 key: an image signed with ecdsa-p384 is "
                 "encrypted for a P-384 key, which MCUboot has no key exchange for",
                 id="ecdsa-p384"),
    pytest.param("ed25519", "rsa3072-pub", "", "MCUboot encrypts an image's key with RSA-2048 "
                 "alone", id="rsa-3072"),
    pytest.param("ed25519", "x25519-pub", ",aes=192", "aes=192: the image's AES key is 128 "
                 "or 256 bits", id="aes-192"),
]


@pytest.mark.parametrize("signer, device, more, message", REFUSED)
def test_refusals(build, enc, keys, signer, device, more, message):
    folder = build / f"refused-{signer}-{device}{more}"
    folder.mkdir(exist_ok=True)
    (folder / "fw.elf").write_bytes((build / "fw.elf").read_bytes())
    done = run_command("FLASH", folder / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"key={keys[signer]},header=0x200,encrypt={enc[device]}{more}")
    assert done.returncode == 255, done.stdout + done.stderr
    assert message in done.stderr
    assert [p.name for p in folder.iterdir()] == ["fw.elf"]


def test_the_signing_key_given_as_the_device_key_is_named(build, keys):
    folder = build / "refused-signing-key-as-device-key"
    folder.mkdir(exist_ok=True)
    (folder / "fw.elf").write_bytes((build / "fw.elf").read_bytes())
    done = run_command("FLASH", folder / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"key={keys['ed25519']},header=0x200,encrypt={keys['ed25519']}")
    assert done.returncode == 255, done.stdout + done.stderr
    assert done.stderr.count("\n") == 1
    assert ("is an Ed25519 key, which signs: MCUboot encrypts for the device's X25519, "
            "P-256 or RSA-2048 key") in done.stderr
    assert [p.name for p in folder.iterdir()] == ["fw.elf"]


def test_a_kek_of_another_size_is_refused(build, enc):
    done = run_command("FLASH", build / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"header=0x200,encrypt-kw={enc['kek20']}")
    assert done.returncode == 255
    assert "holds 20 bytes: a KEK is a raw AES key of 16 or 32 bytes" in done.stderr


@pytest.mark.parametrize("slot", [2636, 2635], ids=["fits", "one-byte-short"])
def test_the_trailer_keeps_room_for_two_keys(build, enc, slot):
    """Header, padded payload and TLVs take 2172 bytes, the trailer 432 and
    two keys' 32: as imgtool, which refuses the same slots."""
    done = run_command("FLASH", build / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"header=0x200,slot={slot},encrypt={enc['x25519-pub']}")
    args = [imgtool(), "sign", "-H", str(HEADER), "-S", str(slot), "-v", "0.0.0",
            "--pad-header", "-E", str(enc["x25519-pub"]), str(build / "plain.hex"),
            str(build / "slot.hex")]
    theirs = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert (done.returncode == 0) == (theirs.returncode == 0), done.stderr + theirs.stderr
    if slot == 2635:
        assert "take 2172 bytes and the trailer 464, 1 bytes more" in done.stderr


def test_the_checksummed_elf_holds_the_encrypted_image(build, enc, keys):
    """What a programmer loads of fw_CRC.elf is the HEX's image, the padding
    and the holes' encrypted bytes included, and CHECK decrypts it."""
    velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                            "encrypt": str(enc["x25519-pub"])})
    mine = image_of(build / "fw_CRC.hex")
    loaded = segment_memory(build / "fw_CRC.elf")
    assert bytes(loaded.get(a, 0xFF) for a in range(SLOT, SLOT + len(mine))) == mine
    done = run_command("CHECK", build / "fw_CRC.elf", "--mcuboot",
                       f"key={keys['public']},decrypt={enc['x25519']}")
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_reserved_room_decrypts_to_imgtools_clear_image_and_checks(reserved, enc, keys):
    velk_crc.flash(reserved / "fw.elf", symbol=f"crc_slot@{CODE:#x}",
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                            "encrypt": str(enc["x25519-pub"])})
    mine = image_of(reserved / "fw_CRC.hex")
    imgtool_clear(reserved, reserved / "clear.hex", enc["x25519-pub"], keys["ed25519"], 128,
                  room="reserved")
    theirs = image_of(reserved / "clear.hex")
    same_but_random(decrypted(mine, "x25519", enc, 128), theirs, {0x33})
    done = run_command("CHECK", reserved / "fw_CRC.hex", "--elf", reserved / "fw.elf",
                       f"--ncrc_slot@{CODE:#x}", "--mcuboot",
                       f"key={keys['public']},decrypt={enc['x25519']}")
    assert done.returncode == 0, done.stdout + done.stderr


def test_decrypt_refuses_a_payload_in_the_clear(build, enc, keys):
    """decrypt= says the image is encrypted: one in the clear is named, as a
    release that would ship its firmware readable."""
    velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"])})
    done = run_command("CHECK", build / "fw_CRC.hex", "--mcuboot",
                       f"key={keys['public']},decrypt={enc['x25519']}")
    assert done.returncode == 1, done.stdout + done.stderr
    assert (f"MCUboot mismatch: flags at 0x{SLOT + 16:08X} holds 0x0; it should hold "
            "ENCRYPTED_AES128 (0x4) or ENCRYPTED_AES256 (0x8)") in done.stdout
    assert "MCUboot signature: ed25519 (TLV 0x24) by" in done.stdout


CIPHER_MODULES = ("cryptography.hazmat.primitives.ciphers", "cryptography.hazmat.primitives.kdf",
                  "cryptography.hazmat.primitives.keywrap",
                  "cryptography.hazmat.primitives.asymmetric.x25519")


@pytest.mark.parametrize("encrypt", [False, True], ids=["signed", "encrypted"])
def test_only_an_encrypting_run_loads_the_ciphers(build, enc, keys, encrypt):
    settings = {"header": HEADER, "key": str(keys["ed25519"])}
    if encrypt:
        settings["encrypt"] = str(enc["x25519-pub"])
    done = run_python(
        "import sys, velk_crc\n"
        f"velk_crc.flash({str(build / 'fw.elf')!r}, symbol='crc_slot', mcuboot={settings!r})\n"
        f"print(sorted(m for m in {CIPHER_MODULES!r} if m in sys.modules))")
    assert done.returncode == 0, done.stderr
    assert (done.stdout.strip() != "[]") == encrypt


def test_the_api_refuses_a_key_of_another_kind(build, enc, keys):
    with pytest.raises(velk_crc.Refused, match="is an X25519 key: an image signed with "
                       "ecdsa-p256 is encrypted for a P-256 key, as imgtool demands"):
        velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                       mcuboot={"header": HEADER, "key": str(keys["ecdsa"]),
                                "encrypt": str(enc["x25519-pub"])})


def test_merged_with_a_bootloader_and_a_password_on_the_device_key(build, enc, keys, tmp_path,
                                                                  monkeypatch):
    """The merged file holds the encrypted image too; the device's private
    key opens with VELK_KEY_PASSWORD, and never shows in a line."""
    boot = tmp_path / "boot.bin"
    boot.write_bytes(bytes(range(256)) * 4)
    velk_crc.flash(build / "fw.elf", symbol="crc_slot", merge=[f"{boot}@0x07FF0000"],
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                            "encrypt": str(enc["p256-pub"]), "aes": 256})
    locked = tmp_path / "locked.pem"
    locked.write_bytes(enc["objects"]["p256"].private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.BestAvailableEncryption(b"s3cret")))
    monkeypatch.setenv("VELK_KEY_PASSWORD", "s3cret")
    done = run_command("CHECK", build / "fw_CRC_merged.hex", "--mcuboot",
                       f"key={keys['public']},decrypt={locked}")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "AES-256, its key in ECIES-P256 (TLV 0x32), decrypted with" in done.stdout
    assert "s3cret" not in done.stdout + done.stderr


def test_a_key_files_name_may_hold_a_comma(build, enc, keys, tmp_path):
    named = tmp_path / "enc,x25519.pem"
    named.write_bytes(enc["x25519-pub"].read_bytes())
    done = run_command("FLASH", build / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"encrypt={named},header=0x200")
    assert done.returncode == 0, done.stderr
    assert f"encrypted with ECIES-X25519 ({named}), AES-128" in done.stdout


SETTINGS_REFUSED = [
    pytest.param({"aes": 256}, "aes= sizes the key the image is encrypted with: give "
                 "encrypt=<public key> or encrypt-kw=<KEK file> too", id="aes-alone"),
    pytest.param({"encrypt": "x25519-pub", "encrypt-kw": "kek16"},
                 "encrypt= and encrypt-kw= are one key for the image: give one", id="both"),
    pytest.param({"decrypt": "x25519"}, "decrypt= is CHECK's: FLASH encrypts with "
                 "encrypt=<public key> or encrypt-kw=<KEK file>", id="decrypt-in-flash"),
    pytest.param({"encrypt": "rsa3072-pub"}, "MCUboot encrypts an image's key with RSA-2048 "
                 "alone", id="rsa-3072"),
    pytest.param({"encrypt": "p256-pub", "hmac": 512}, "only ECIES-X25519 takes another HMAC "
                 "than SHA-256", id="hmac-512-p256"),
    pytest.param({"hmac": 512}, "hmac= is the HMAC of ECIES: give encrypt=<X25519 public key> "
                 "too", id="hmac-alone"),
]


@pytest.mark.parametrize("given, message", SETTINGS_REFUSED)
def test_the_api_refuses_settings_that_cannot_be(build, enc, given, message):
    settings = {"header": HEADER}
    settings.update({k: str(enc[v]) if isinstance(v, str) else v for k, v in given.items()})
    with pytest.raises(velk_crc.Refused, match=re.escape(message)):
        velk_crc.flash(build / "fw.elf", symbol="crc_slot", mcuboot=settings)


@pytest.mark.parametrize("setting, key, said", [
    ("encrypt=p256-pub", "p256", "its HMAC tag is not the one"),
    ("encrypt=rsa-pub", "rsa", "does not decrypt it"),
    ("encrypt-kw=kek32,aes=256", "kek32", "does not unwrap it"),
    ("encrypt=x25519-pub", "p256", "is a P-256 key, the image's key is sealed by ECIES-X25519"),
    ("encrypt=x25519-pub", "kek16", "is a KEK, and the image's key is sealed by ECIES-X25519"),
], ids=["p256-tag", "rsa-oaep", "aes-kw", "another-kind", "kek-for-ecies"])
def test_a_sealed_key_that_does_not_open_is_named(build, enc, keys, setting, key, said):
    name, file = setting.split(",")[0].split("=")
    more = setting[len(name) + len(file) + 1:]
    velk_crc.flash(build / "fw.elf", symbol="crc_slot", bin=True,
                   mcuboot={"header": HEADER, name: str(enc[file]),
                            **dict(m.split("=") for m in more.split(",") if m)})
    image = bytearray((build / "fw_CRC.bin").read_bytes())
    (kind, at, value), = [t for t in tlvs(bytes(image)) if 0x30 <= t[0] <= 0x34]
    if key == file.removesuffix("-pub"):
        image[at + len(value) - 1] ^= 0x01  # the sealed key's last byte
    (build / "sealed.bin").write_bytes(image)
    done = run_command("CHECK", build / "sealed.bin", "--base", hex(SLOT), "--mcuboot",
                       f"decrypt={enc[key]}")
    assert done.returncode == 1, done.stdout + done.stderr
    assert f"the encryption key TLV (0x{kind:02X}) at 0x{SLOT + at:08X} holds a key" in done.stdout
    assert said in done.stdout
    assert "MCUboot hash" not in done.stdout


def test_decrypt_refuses_a_file_that_is_no_key(build, enc):
    done = run_command("CHECK", build / "fw_CRC.hex", "--mcuboot", f"decrypt={enc['kek20']}")
    assert done.returncode == 2
    assert f"decrypt={enc['kek20']} is neither a PEM private key nor a KEK of 16 or 32 bytes" \
        in done.stderr
