"""FLASH --mcuboot with every hash and key imgtool 2.5.0 signs with
(sha=384|512, ECDSA P-384, Ed25519 over a SHA-512 digest, pure Ed25519),
against imgtool's `sign` of the same checksummed build byte for byte (its
`verify` for ECDSA's randomised signatures), against the digests and
signatures recomputed here with hashlib and cryptography, and CHECK of
both tools' images."""

import hashlib
import json
import re
import subprocess

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519

import velk_crc
from conftest import run_command
from hexcheck import read_hex
from test_mcuboot import keys  # noqa: F401 (a fixture)
from test_mcuboot import BODY, HEADER, SLOT, app_elf, imgtool, memory_bytes, tlvs_of

SIG_PURE = 0x25


@pytest.fixture(scope="module")
def p384(tmp_path_factory):
    """An ECDSA P-384 key made by imgtool's keygen, and its public key."""
    folder = tmp_path_factory.mktemp("p384")
    private = folder / "p384.pem"
    done = subprocess.run([imgtool(), "keygen", "-k", private, "-t", "ecdsa-p384"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    public = folder / "p384-public.pem"
    key = serialization.load_pem_private_key(private.read_bytes(), None)
    public.write_bytes(key.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    return {"private": private, "public": public}


def key_paths(keys, p384):
    return {**keys, "p384": p384["private"], "p384-public": p384["public"]}


# (id, our settings beyond header=, imgtool's options, the hash TLV's type and
# size, the key's name in key_paths() or None)
KINDS = [
    ("unsigned-sha384", {"sha": 384}, ["--sha", "384"], 0x11, 48, None),
    ("unsigned-sha512", {"sha": "512"}, ["--sha", "512"], 0x12, 64, None),
    ("ed25519-sha512", {"sha": 512}, ["--sha", "512"], 0x12, 64, "ed25519"),
    ("ed25519-pure", {"pure": True}, ["--pure"], 0x12, 64, "ed25519"),
]
ROOMS = ["added", "reserved"]


def build(tmp_path, room):
    """The application, its CRC stored by FLASH alone (fw_CRC.hex and .bin):
    what imgtool is given. With the reserved room the CRC starts behind it,
    as imgtool cannot know the header's fields beforehand."""
    elf = tmp_path / "fw.elf"
    app_elf(elf, room)
    symbol = "crc_slot" if room == "added" else f"crc_slot@{SLOT + HEADER:#x}"
    velk_crc.flash(elf, symbol=symbol, bin=True)
    plain = {suffix: tmp_path / f"plain{suffix}" for suffix in (".hex", ".bin")}
    for suffix, path in plain.items():
        path.write_bytes((tmp_path / f"fw_CRC{suffix}").read_bytes())
    return elf, symbol, plain


def imgtool_sign(source, out, room, options, key=None):
    args = [imgtool(), "sign", "-H", str(HEADER), "-S", str(0x100000), "-v", "0.0.0"]
    if room == "added":
        args.append("--pad-header")
    if key is not None:
        args += ["-k", str(key)]
    done = subprocess.run(args + options + [str(source), str(out)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


def imgtool_verify(key, image):
    done = subprocess.run([imgtool(), "verify", "-k", str(key), str(image)],
                          capture_output=True, text=True, timeout=120)
    return done.returncode == 0 and "Image was correctly validated" in done.stdout


def covered(image):
    """What the hash covers: header, payload and protected TLVs."""
    hdr_size, protect, img_size = (int.from_bytes(image[8:10], "little"),
                                   int.from_bytes(image[10:12], "little"),
                                   int.from_bytes(image[12:16], "little"))
    return image[:hdr_size + img_size + protect]


def public_der(path):
    key = serialization.load_pem_private_key(path.read_bytes(), None)
    return key.public_key().public_bytes(serialization.Encoding.DER,
                                         serialization.PublicFormat.SubjectPublicKeyInfo)


@pytest.mark.parametrize("room", ROOMS)
@pytest.mark.parametrize("kind, settings, options, hash_type, size, key",
                         KINDS, ids=[k[0] for k in KINDS])
def test_the_image_is_imgtools_byte_for_byte(tmp_path, keys, room, kind, settings, options,
                                             hash_type, size, key):
    elf, symbol, plain = build(tmp_path, room)
    key_path = keys[key] if key else None
    for suffix in (".hex", ".bin"):
        imgtool_sign(plain[suffix], tmp_path / f"imgtool{suffix}", room, options, key_path)
    given = {"header": HEADER, **settings, **({"key": str(key_path)} if key else {})}
    report = velk_crc.flash(elf, symbol=symbol, bin=True, mcuboot=given)

    theirs = read_hex(tmp_path / "imgtool.hex").memory
    mine = read_hex(tmp_path / "fw_CRC.hex").memory
    end = max(max(mine), max(theirs)) + 1
    assert memory_bytes(mine, SLOT, end) == memory_bytes(theirs, SLOT, end)
    image = (tmp_path / "fw_CRC.bin").read_bytes()
    assert image == (tmp_path / "imgtool.bin").read_bytes()

    # The hash and key hash as hashlib takes them; the signature as the
    # cryptography package verifies it: over the digest, or pure over the
    # covered bytes themselves.
    entries = tlvs_of(image, 0)
    digest = hashlib.new(f"sha{size * 8}", covered(image)).digest()
    assert entries[0] == (hash_type, digest)
    assert report.mcuboot["hash"]["type"] == f"SHA{size * 8}"
    if key:
        found = dict(entries)
        assert found[0x01] == hashlib.new(f"sha{size * 8}", public_der(key_path)).digest()
        public = ed25519.Ed25519PublicKey.from_public_bytes(public_der(key_path)[-32:])
        public.verify(found[0x24], covered(image) if kind.endswith("pure") else digest)
        assert imgtool_verify(key_path, tmp_path / "fw_CRC.bin")
    if kind.endswith("pure"):
        assert [t for t, _ in entries] == [0x12, SIG_PURE, 0x01, 0x24]
        assert dict(entries)[SIG_PURE] == b"\x01"


@pytest.mark.parametrize("room", ROOMS)
def test_p384_is_imgtools_but_for_the_signature(tmp_path, keys, p384, room):
    elf, symbol, plain = build(tmp_path, room)
    imgtool_sign(plain[".bin"], tmp_path / "imgtool.bin", room, [], p384["private"])
    report = velk_crc.flash(elf, symbol=symbol, bin=True,
                            mcuboot={"header": HEADER, "key": str(p384["private"])})
    image = (tmp_path / "fw_CRC.bin").read_bytes()
    theirs = (tmp_path / "imgtool.bin").read_bytes()
    # The hashed bytes and every TLV are the same; ECDSA's signature is
    # randomised in imgtool and so its DER, and the areas' total, may differ.
    assert covered(image) == covered(theirs)
    mine_tlvs, their_tlvs = tlvs_of(image, 0), tlvs_of(theirs, 0)
    assert [t for t, _ in mine_tlvs] == [t for t, _ in their_tlvs] == [0x11, 0x01, 0x22]
    assert mine_tlvs[:2] == their_tlvs[:2]
    assert len(mine_tlvs[1][1]) == 48
    assert mine_tlvs[1][1] == hashlib.sha384(public_der(p384["private"])).digest()
    key = serialization.load_pem_private_key(p384["private"].read_bytes(), None)
    key.public_key().verify(mine_tlvs[2][1], covered(image), ec.ECDSA(hashes.SHA384()))
    assert imgtool_verify(p384["public"], tmp_path / "fw_CRC.bin")
    assert not imgtool_verify(keys["ecdsa"], tmp_path / "fw_CRC.bin")
    assert report.mcuboot["signature"]["type"] == "ecdsa-p384"
    assert report.mcuboot["hash"]["type"] == "SHA384"
    if room == "added":
        # The command line signs the same bytes: ours are deterministic.
        done = run_command("FLASH", elf, "--ncrc_slot", "--bin", "--mcuboot",
                           f"header=0x200,key={p384['private']}")
        assert done.returncode == 0, done.stderr
        assert "signed with ecdsa-p384 (" in done.stdout and ", SHA-384" in done.stdout
        assert (tmp_path / "fw_CRC.bin").read_bytes() == image


# (id, imgtool's options, ours, the signing key in key_paths(), CHECK's
# key, the hash)
IMGTOOLS = [
    ("unsigned-sha384", ["--sha", "384"], {"sha": 384}, None, None, "SHA-384"),
    ("unsigned-sha512", ["--sha", "512"], {"sha": 512}, None, None, "SHA-512"),
    ("ed25519-sha512", ["--sha", "512"], {"sha": 512}, "ed25519", "public", "SHA-512"),
    ("ed25519-pure", ["--pure"], {"pure": True}, "ed25519", "public", "SHA-512"),
    ("ecdsa-p384", [], {}, "p384", "p384-public", "SHA-384"),
]


@pytest.mark.parametrize("source", ["imgtool", "flash"])
@pytest.mark.parametrize("kind, options, settings, key, check_key, words", IMGTOOLS,
                         ids=[k[0] for k in IMGTOOLS])
def test_check_accepts_each_kind_and_names_a_flipped_byte(tmp_path, keys, p384, source, kind,
                                                          options, settings, key, check_key,
                                                          words):
    paths = key_paths(keys, p384)
    elf, symbol, plain = build(tmp_path, "added")
    image_path = tmp_path / "image.bin"
    if source == "imgtool":
        imgtool_sign(plain[".bin"], image_path, "added", options, paths.get(key))
    else:
        given = {"header": HEADER, **settings, **({"key": str(paths[key])} if key else {})}
        velk_crc.flash(elf, symbol=symbol, bin=True, mcuboot=given)
        image_path.write_bytes((tmp_path / "fw_CRC.bin").read_bytes())
    setting = f"key={paths[check_key]}" if check_key else "header=0x200"
    done = run_command("CHECK", image_path, "--base", hex(SLOT), "--mcuboot", setting, "--json")
    assert done.returncode == 0, done.stdout + done.stderr
    found = json.loads(done.stdout)["mcuboot"]
    assert found["ok"] and found["hash"]["ok"]
    assert found["hash"]["type"] == "SHA" + words[4:]
    if check_key:
        assert found["signature"]["checked"] and found["signature"]["ok"]
        assert found["signature"]["type"] == ("ecdsa-p384" if key == "p384" else "ed25519")
        assert len(bytes.fromhex(found["key"]["hash"])) == int(words[4:]) // 8
    report = velk_crc.check(image_path, base=SLOT,
                            mcuboot={"key": str(paths[check_key])} if check_key else True)
    assert report.ok and report.mcuboot["hash"]["type"] == "SHA" + words[4:]

    image = image_path.read_bytes()
    payload = bytearray(image)
    payload[HEADER + 0x10] ^= 0x01
    image_path.write_bytes(payload)
    done = run_command("CHECK", image_path, "--base", hex(SLOT), "--mcuboot", setting)
    assert done.returncode == 1
    hash_tlv = {"SHA-384": "0x11", "SHA-512": "0x12"}[words]
    assert f"MCUboot mismatch: the hash TLV ({hash_tlv}) at " in done.stdout, done.stdout
    assert f"it should hold the image's {words} " in done.stdout
    if not check_key:
        return
    signature = bytearray(image)
    signature[-1] ^= 0x01
    image_path.write_bytes(signature)
    done = run_command("CHECK", image_path, "--base", hex(SLOT), "--mcuboot", setting)
    assert done.returncode == 1
    assert "holds a signature that does not verify" in done.stdout, done.stdout


REFUSED = [
    ("ed25519,sha=384", "sha=384 does not go with ed25519 keys: their images are hashed with "
                        "sha=256 or sha=512", "ed25519-sha384"),
    ("ecdsa,sha=512", "sha=512 does not go with ecdsa-p256 keys: their images are hashed with "
                      "sha=256", "p256-sha512"),
    ("p384,sha=256", "sha=256 does not go with ecdsa-p384 keys: their images are hashed with "
                     "sha=384", "p384-sha256"),
    ("rsa,sha=512", "sha=512 does not go with rsa-2048 keys: their images are hashed with "
                    "sha=256", "rsa-sha512"),
    ("ed25519,pure,sha=256", "pure images are hashed with SHA-512: sha=256 goes with no pure "
                             "signature", "pure-sha256"),
    ("p384,pure", "pure signs the image itself with an Ed25519 key, and the key is "
                  "ecdsa-p384's", "pure-p384"),
    (",pure", "pure is a signature over the image itself: it needs key=<file> too, an Ed25519 "
              "key, as in key=signing-key.pem", "pure-unsigned"),
    (",sha=1", "sha=1 is no hash: 256, 384, 512 or auto", "sha-1"),
]


@pytest.mark.parametrize("words, says", [(w, s) for w, s, _ in REFUSED],
                         ids=[i for _, _, i in REFUSED])
def test_what_imgtool_refuses_is_one_line(tmp_path, keys, p384, words, says):
    paths = key_paths(keys, p384)
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    name, _, rest = words.partition(",")
    settings = "header=0x200" + (f",key={paths[name]}" if name else "") + "," + rest
    done = run_command("FLASH", "fw.elf", "--ncrc_slot", "--mcuboot", settings, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (255, f"error: fw.elf: --mcuboot: {says}\n")
    given = {"header": HEADER, **({"key": str(paths[name])} if name else {})}
    for one in rest.split(","):
        setting, _, value = one.partition("=")
        given[setting] = value or True
    with pytest.raises(velk_crc.Refused, match=re.escape(f"mcuboot: {says}")):
        velk_crc.flash(elf, symbol="crc_slot", mcuboot=given)
    assert not any(tmp_path.glob("fw_CRC.*"))


@pytest.fixture(scope="module")
def signed(tmp_path_factory, keys, p384):
    """FLASH's .bin of the application by Ed25519 over SHA-512, and by P-384."""
    made = {}
    for name, key, settings in (("ed25519-sha512", keys["ed25519"], {"sha": 512}),
                                ("p384", p384["private"], {})):
        folder = tmp_path_factory.mktemp(name)
        elf = folder / "fw.elf"
        app_elf(elf, "added")
        velk_crc.flash(elf, symbol="crc_slot", bin=True,
                       mcuboot={"header": HEADER, "key": str(key), **settings})
        made[name] = (folder / "fw_CRC.bin").read_bytes()
    return made


def with_entries(image, arrange, der):
    """The image with its unprotected TLVs rearranged by `arrange`, from and
    to (type, value) pairs; `der` is the Ed25519 key's public key."""
    start = len(covered(image))
    body = b"".join(bytes([kind, 0]) + len(value).to_bytes(2, "little") + value
                    for kind, value in arrange(tlvs_of(image, 0), der))
    return image[:start] + (0x6907).to_bytes(2, "little") + \
        (4 + len(body)).to_bytes(2, "little") + body


# (id, the image, its rearrangement, CHECK's key, its exit status, what it names)
REARRANGED = [
    ("sha256-beside-sha512", "ed25519-sha512",
     lambda e, der: e[:1] + [(0x10, bytes(32))] + e[1:], "public", 0,
     "a SHA-256 hash beside the image's SHA-512: a bootloader built for SHA-512 passes over "
     "it, not checked"),
    ("key-hash-of-sha256", "ed25519-sha512",
     lambda e, der: [e[0], (0x01, hashlib.sha256(der).digest()), e[2]], "public", 1,
     # its value after the area's info and the 64-byte hash's entry, and its own head
     "the key hash TLV (0x01) at 0x%08X holds {sha256}; it should hold " % (
         SLOT + HEADER + BODY + 4 + 4 + 64 + 4)),
    ("key-hash-65-bytes", "ed25519-sha512",
     lambda e, der: [e[0], (0x01, e[1][1] + b"\0"), e[2]], "public", 1,
     "holds 65 bytes; it should hold at most 64 bytes, the key's SHA-512 (MCUboot refuses "
     "a longer one)"),
    ("pure-mark-on-ecdsa", "p384", lambda e, der: e[:1] + [(SIG_PURE, b"\x01")] + e[1:],
     "p384-public", 1,
     "holds the mark of a pure signature; it should hold nothing: ecdsa-p384 keys make no "
     "pure signature"),
    ("p384-image-with-an-ed25519-key", "p384", lambda e, der: e, "public", 1,
     "holds a SHA-384 hash; it should hold a hash of SHA-256 or SHA-512, as ed25519 keys' "
     "images carry"),
    ("p384-signature-for-an-ed25519-key", "p384", lambda e, der: e, "public", 1,
     "the ed25519 signature TLV (0x24) at 0x%08X holds none (one of ecdsa-p384, 0x22); it "
     "should hold a signature by " % (SLOT + HEADER + BODY)),
]


@pytest.mark.parametrize("image, arrange, key, status, named",
                         [r[1:] for r in REARRANGED], ids=[r[0] for r in REARRANGED])
def test_check_judges_the_hash_key_hash_and_pure_mark(tmp_path, keys, p384, signed, image,
                                                      arrange, key, status, named):
    path = tmp_path / "image.bin"
    der = public_der(keys["ed25519"])
    named = named.format(sha256=hashlib.sha256(der).hexdigest())
    path.write_bytes(with_entries(signed[image], arrange, der))
    done = run_command("CHECK", path, "--base", hex(SLOT), "--mcuboot",
                       f"key={key_paths(keys, p384)[key]}")
    assert done.returncode == status, done.stdout + done.stderr
    assert named in (done.stdout if status else done.stderr), done.stdout + done.stderr
