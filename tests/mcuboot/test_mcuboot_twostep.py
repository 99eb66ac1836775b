"""FLASH --mcuboot with a key the build never holds: the first step
(sign=digest|payload) writes <root>_CRC.tosign and no image, the second
(signature=<file>) puts the holder's signature in. Checked against imgtool
2.5.0 run on the same checksummed build (--vector-to-sign for the first
step, sign --fix-sig for the second, verify for the result), against
signatures the test makes with `cryptography` and with openssl as a key's
holder would, and against our own CHECK."""

import base64
import hashlib
import json
import shutil
import subprocess

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa, utils

import velk_crc
from conftest import run_command, run_python
from hexcheck import read_hex
from test_mcuboot import HEADER, SLOT, app_elf, imgtool, memory_bytes, tlvs_of

SLOT_SIZE = 0x10000
ECDSA_SIG = 0x22
PSS = padding.PSS(mgf=padding.MGF1(hashes.SHA256()), salt_length=32)


@pytest.fixture(scope="module")
def holders(tmp_path_factory):
    """A key of each kind MCUboot verifies, as its holder keeps it (the key
    object) and as the build machine has it: the public PEM, and the private
    PEM for the test's imgtool runs that need one."""
    folder = tmp_path_factory.mktemp("holders")
    made = {"ed25519": ed25519.Ed25519PrivateKey.generate(),
            "ecdsa-p256": ec.generate_private_key(ec.SECP256R1()),
            "ecdsa-p384": ec.generate_private_key(ec.SECP384R1()),
            "rsa-2048": rsa.generate_private_key(public_exponent=65537, key_size=2048),
            "rsa-3072": rsa.generate_private_key(public_exponent=65537, key_size=3072),
            "other-ed25519": ed25519.Ed25519PrivateKey.generate()}
    out = {}
    for name, key in made.items():
        private, public = folder / f"{name}.pem", folder / f"{name}.pub.pem"
        private.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                              serialization.PrivateFormat.PKCS8,
                                              serialization.NoEncryption()))
        public.write_bytes(key.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
        out[name] = {"key": key, "private": private, "public": public}
    return out


def holder_signs(key, data, vector):
    """What the key's holder returns for the bytes of a .tosign file: Ed25519
    over them as they are; ECDSA and RSA-PSS over the digest as a hash
    already taken, or over the payload with the image's hash (SHA-384 for
    P-384, else SHA-256)."""
    if isinstance(key, ed25519.Ed25519PrivateKey):
        return key.sign(data)
    p384 = isinstance(key, ec.EllipticCurvePrivateKey) and key.curve.key_size == 384
    hash_ = hashes.SHA384() if p384 else hashes.SHA256()
    algorithm = utils.Prehashed(hash_) if vector == "digest" else hash_
    if isinstance(key, ec.EllipticCurvePrivateKey):
        return key.sign(data, ec.ECDSA(algorithm))
    return key.sign(data, PSS, algorithm)


def settings_of(holder, extra=None, **more):
    given = {"header": HEADER, "key": str(holder["public"])}
    given.update(extra or {})
    given.update(more)
    return given


def plain_hex(tmp_path, elf, symbol):
    """The checksummed build with no MCUboot image, in a folder of its own:
    what imgtool is given."""
    folder = tmp_path / "plain"
    folder.mkdir(exist_ok=True)
    shutil.copy(elf, folder / "fw.elf")
    velk_crc.flash(folder / "fw.elf", symbol=symbol)
    return folder / "fw_CRC.hex"


def imgtool_run(*args):
    done = subprocess.run([imgtool(), *map(str, args)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def imgtool_options(settings, room):
    args = ["-H", settings["header"], "-S", settings.get("slot", 0x100000),
            "-v", settings.get("version", "0.0.0")]
    if room == "added":
        args.append("--pad-header")
    if settings.get("confirm"):
        args.append("--confirm")
    elif settings.get("pad"):
        args.append("--pad")
    if "counter" in settings:
        args += ["-s", settings["counter"]]
    if "sha" in settings:
        args += ["--sha", settings["sha"]]
    if settings.get("pure"):
        args.append("--pure")
    for tlv in settings.get("tlv", []):
        kind, value = tlv.split(":")
        args += ["--custom-tlv", kind, "0x" + value]
    return args


def build(tmp_path, room):
    """The application ELF and the record's symbol: a CRC starting after a
    reserved room, so that imgtool, given the checksummed build, signs what
    FLASH signs."""
    elf = tmp_path / "fw.elf"
    app_elf(elf, room)
    return elf, "crc_slot" if room == "added" else f"crc_slot@{SLOT + HEADER:#x}"


VECTORS = [
    pytest.param("digest", "added", {}, id="digest"),
    pytest.param("payload", "added", {}, id="payload"),
    pytest.param("digest", "reserved", {"version": "1.2.3+4", "counter": 9,
                                        "tlv": ["0xA0:01020304"]}, id="digest-protected"),
    pytest.param("payload", "reserved", {"version": "1.2.3+4", "counter": 9,
                                         "tlv": ["0xA0:01020304"]}, id="payload-protected"),
    pytest.param("digest", "added", {"slot": SLOT_SIZE, "confirm": True}, id="digest-confirm"),
    pytest.param("payload", "reserved", {"slot": SLOT_SIZE, "pad": True}, id="payload-pad"),
    pytest.param("digest", "added", {"sha": 512}, id="digest-sha512"),
    pytest.param("payload", "added", {"pure": True}, id="payload-pure"),
]


@pytest.mark.parametrize("vector, room, extra", VECTORS)
def test_tosign_holds_imgtools_vector_to_sign(tmp_path, holders, vector, room, extra):
    elf, symbol = build(tmp_path, room)
    kind = "ed25519" if extra.get("pure") or "sha" in extra else "ecdsa-p256"
    settings = settings_of(holders[kind], extra, sign=vector)
    plain = plain_hex(tmp_path, elf, symbol)
    imgtool_run("sign", *imgtool_options(settings, room), "--vector-to-sign", vector, plain,
                plain.parent / "vector.bin")
    theirs = (plain.parent / "vector.bin").read_bytes()

    report = velk_crc.flash(elf, symbol=symbol, mcuboot=settings)
    mine = (tmp_path / "fw_CRC.tosign").read_bytes()
    # imgtool pads its vector file to the slot with pad or confirm; ours is
    # the bare digest or payload.
    assert mine == theirs[:len(mine)]
    if "slot" in extra:
        assert len(theirs) == SLOT_SIZE
    else:
        assert mine == theirs
    if vector == "digest":
        assert len(mine) == extra.get("sha", 256) // 8
        assert mine.hex() == report.mcuboot["hash"]["value"]
    assert report.to_sign == {"file": str(tmp_path / "fw_CRC.tosign"), "vector": vector,
                              "size": len(mine), "key": settings["key"],
                              "key_type": kind, "bytes": mine.hex()}
    assert report.files == [str(tmp_path / "fw_CRC.tosign")]
    assert report.files[0].format == "bytes to sign"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.elf", "fw_CRC.tosign", "plain"]


KINDS = [
    pytest.param("ed25519", "digest", {}, id="ed25519"),
    pytest.param("ecdsa-p256", "digest", {}, id="ecdsa-p256-digest"),
    pytest.param("ecdsa-p256", "payload", {"version": "2.0.1", "counter": 3},
                 id="ecdsa-p256-payload"),
    pytest.param("rsa-2048", "digest", {"slot": SLOT_SIZE, "confirm": True},
                 id="rsa-2048-confirm"),
    pytest.param("rsa-3072", "payload", {}, id="rsa-3072-payload"),
    pytest.param("ecdsa-p384", "digest", {}, id="ecdsa-p384-digest"),
    pytest.param("ecdsa-p384", "payload", {"slot": SLOT_SIZE, "pad": True},
                 id="ecdsa-p384-payload-pad"),
    pytest.param("ed25519", "digest", {"sha": 512}, id="ed25519-sha512"),
]


@pytest.mark.parametrize("kind, vector, extra", KINDS)
def test_two_steps_make_imgtools_fix_sig_image(tmp_path, holders, kind, vector, extra):
    holder = holders[kind]
    elf, symbol = build(tmp_path, "added")
    first = settings_of(holder, extra, sign=vector)
    velk_crc.flash(elf, symbol=symbol, mcuboot=first)
    signature = holder_signs(holder["key"], (tmp_path / "fw_CRC.tosign").read_bytes(), vector)
    (tmp_path / "fw.sig").write_bytes(base64.b64encode(signature))

    second = settings_of(holder, extra, signature=str(tmp_path / "fw.sig"))
    report = velk_crc.flash(elf, symbol=symbol, bin=True, mcuboot=second)
    assert report.mcuboot["signature"]["type"] == kind
    imgtool_run("sign", *imgtool_options(first, "added"), "--fix-sig", tmp_path / "fw.sig",
                "--fix-sig-pubkey", holder["public"], plain_hex(tmp_path, elf, symbol),
                tmp_path / "imgtool.hex")
    theirs = read_hex(tmp_path / "imgtool.hex").memory
    mine = read_hex(tmp_path / "fw_CRC.hex").memory
    end = max(max(mine), max(theirs)) + 1
    assert memory_bytes(mine, SLOT, end) == memory_bytes(theirs, SLOT, end)
    assert (tmp_path / "fw_CRC.bin").read_bytes() == memory_bytes(theirs, SLOT, end)
    done = imgtool_run("verify", "-k", holder["public"], tmp_path / "fw_CRC.bin")
    assert "Image was correctly validated" in done.stdout
    assert velk_crc.check(tmp_path / "fw_CRC.hex", elf=elf, symbol=symbol,
                          mcuboot={"key": str(holder["public"])}).ok
    # The second step takes the first step's file away with the rest.
    assert not (tmp_path / "fw_CRC.tosign").exists()
    assert any("fw_CRC.tosign of an earlier run is removed" in n for n in report.notes)


def der_to_rs(der, size=32):
    r, s = utils.decode_dss_signature(der)
    return r.to_bytes(size, "big") + s.to_bytes(size, "big")


def high_s(der):
    """The same signature with s replaced by n - s, which verifies as well:
    of the two, the one whose top bit is set, so that its DER needs a 0x00."""
    r, s = utils.decode_dss_signature(der)
    n = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
    return utils.encode_dss_signature(r, s if s >> 255 else n - s)


def same(sig):
    return sig


# How the holder's signature may come: imgtool's base64, raw, and for ECDSA
# a token's r||s. `chosen` picks the signature the image must carry (DER
# for ECDSA) from the holder's, `form` makes the file of it.
FORMS = [
    pytest.param("ed25519", same, same, id="ed25519-raw"),
    pytest.param("ed25519", same, base64.encodebytes, id="ed25519-base64-lines"),
    pytest.param("ecdsa-p256", same, same, id="ecdsa-der-raw"),
    pytest.param("ecdsa-p256", same, der_to_rs, id="ecdsa-rs-raw"),
    pytest.param("ecdsa-p256", same, lambda sig: base64.b64encode(der_to_rs(sig)) + b"\n",
                 id="ecdsa-rs-base64"),
    pytest.param("ecdsa-p256", high_s, der_to_rs, id="ecdsa-rs-high-s"),
    pytest.param("rsa-2048", same, same, id="rsa-raw"),
    pytest.param("ecdsa-p384", same, lambda sig: der_to_rs(sig, 48), id="ecdsa-p384-rs-raw"),
]


@pytest.mark.parametrize("kind, chosen, form", FORMS)
def test_the_signature_file_may_be_base64_or_raw_and_ecdsa_rs(tmp_path, holders, kind,
                                                              chosen, form):
    holder = holders[kind]
    elf, symbol = build(tmp_path, "added")
    velk_crc.flash(elf, symbol=symbol, mcuboot=settings_of(holder, sign="digest"))
    signature = chosen(holder_signs(holder["key"], (tmp_path / "fw_CRC.tosign").read_bytes(),
                                    "digest"))
    (tmp_path / "fw.sig").write_bytes(form(signature))
    done = run_command("FLASH", elf, f"--n{symbol}", "--bin", "--mcuboot",
                       f"key={holder['public']},header={HEADER:#x},signature={tmp_path / 'fw.sig'}")
    assert done.returncode == 0, done.stderr
    assert f"the signature from {tmp_path / 'fw.sig'} verified" in done.stdout
    image = (tmp_path / "fw_CRC.bin").read_bytes()
    # The image carries the signature as MCUboot reads it: an ECDSA one as
    # DER, whichever form it came in.
    assert tlvs_of(image, 0)[-1][1] == signature
    done = imgtool_run("verify", "-k", holder["public"], tmp_path / "fw_CRC.bin")
    assert "Image was correctly validated" in done.stdout


def openssl_signs(key_path, digest_path, kind):
    """openssl as the key's holder, signing the digest file."""
    args = ["openssl", "pkeyutl", "-sign", "-inkey", key_path, "-in", digest_path]
    if kind == "ed25519":
        args.append("-rawin")
    elif kind.startswith("rsa"):
        args += ["-pkeyopt", "digest:sha256", "-pkeyopt", "rsa_padding_mode:pss",
                 "-pkeyopt", "rsa_pss_saltlen:32", "-pkeyopt", "rsa_mgf1_md:sha256"]
    return subprocess.run(args, capture_output=True, check=True, timeout=60).stdout


@pytest.mark.parametrize("kind", ["ed25519", "ecdsa-p256", "rsa-2048"])
def test_openssl_as_the_holder_signs_the_digest(tmp_path, holders, kind):
    if shutil.which("openssl") is None:
        pytest.skip("openssl is not installed")
    holder = holders[kind]
    elf, symbol = build(tmp_path, "reserved")
    velk_crc.flash(elf, symbol=symbol, mcuboot=settings_of(holder, sign="digest"))
    (tmp_path / "fw.sig").write_bytes(
        openssl_signs(holder["private"], tmp_path / "fw_CRC.tosign", kind))
    velk_crc.flash(elf, symbol=symbol, bin=True,
                   mcuboot=settings_of(holder, signature=str(tmp_path / "fw.sig")))
    done = imgtool_run("verify", "-k", holder["public"], tmp_path / "fw_CRC.bin")
    assert "Image was correctly validated" in done.stdout


def bad_signature(tmp_path, holders, how):
    """A signature file that must not go into this image."""
    data = (tmp_path / "fw_CRC.tosign").read_bytes()
    if how == "another-key":
        return base64.b64encode(holders["other-ed25519"]["key"].sign(data))
    if how == "another-image":
        return base64.b64encode(holders["ed25519"]["key"].sign(bytes(32)))
    if how == "cut-short":
        return holders["ed25519"]["key"].sign(data)[:63]
    return b"not a signature at all\n"


@pytest.mark.parametrize("how, reads", [
    pytest.param("another-key", "base64, 64 bytes", id="another-key"),
    pytest.param("another-image", "base64, 64 bytes", id="another-image"),
    pytest.param("cut-short", "raw, 63 bytes", id="cut-short"),
    pytest.param("text", "raw, 23 bytes", id="text"),
])
@pytest.mark.parametrize("front", ["cli", "api"])
def test_a_signature_that_does_not_verify_is_refused_and_nothing_written(
        tmp_path, holders, how, reads, front):
    holder = holders["ed25519"]
    elf, symbol = build(tmp_path, "added")
    velk_crc.flash(elf, symbol=symbol, mcuboot=settings_of(holder, sign="digest"))
    (tmp_path / "fw.sig").write_bytes(bad_signature(tmp_path, holders, how))
    # Files an earlier run left stay as they are.
    (tmp_path / "fw_CRC.hex").write_text("an earlier run's\n")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    said = (f"the signature in {tmp_path / 'fw.sig'} ({reads}) does not verify with the "
            f"ed25519 key of {holder['public']} over this image: it was made with another "
            "key, or over another image (another build, or other settings)")
    if front == "cli":
        done = run_command("FLASH", elf, f"--n{symbol}", "--bin", "--mcuboot",
                           f"key={holder['public']},header=0x200,signature={tmp_path / 'fw.sig'}")
        assert done.returncode == 255
        assert done.stderr == f"error: {elf}: --mcuboot: {said}\n"
        assert done.stdout == ""
    else:
        with pytest.raises(velk_crc.Refused) as refused:
            velk_crc.flash(elf, symbol=symbol, bin=True,
                           mcuboot=settings_of(holder, signature=str(tmp_path / "fw.sig")))
        assert str(refused.value) == f"{elf}: mcuboot: {said}"
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_the_first_step_removes_an_earlier_runs_files_in_its_commit(tmp_path, holders):
    """No earlier signed image stays beside the file to sign, where a flashing
    step could take it for this build's; the second step removes the file to
    sign, and so does any later run."""
    holder = holders["ed25519"]
    elf, symbol = build(tmp_path, "added")
    (tmp_path / "boot.bin").write_bytes(bytes(range(16)))
    merged = f"{tmp_path / 'boot.bin'}@0x08010000"
    one_step = {"header": HEADER, "key": str(holder["private"])}
    velk_crc.flash(elf, symbol=symbol, bin=True, srec=True, merge=merged, mcuboot=one_step)
    earlier = {p.name for p in tmp_path.glob("fw_CRC*")}
    assert {"fw_CRC.hex", "fw_CRC.elf", "fw_CRC.bin", "fw_CRC.srec",
            "fw_CRC_merged.hex"} <= earlier

    done = run_command("FLASH", elf, f"--n{symbol}", "--bin", "--srec", "--merge", merged,
                       "--mcuboot", f"key={holder['public']},header=0x200,sign=digest")
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["boot.bin", "fw.elf", "fw_CRC.tosign"]
    notes = [line for line in done.stderr.splitlines() if line.startswith("note: ")]
    assert len(notes) == 1 and notes[0].endswith(
        "): this build's image is written once its signature is given")
    assert sorted(notes[0].split("(", 1)[1].split(")")[0].split(", ")) == \
        sorted(str(tmp_path / name) for name in earlier)
    assert done.stdout.splitlines()[-1] == (
        f'create new file to sign "{tmp_path / "fw_CRC.tosign"}": the image\'s digest, 32 '
        f"bytes, for the holder of the ed25519 key of {holder['public']} to sign; FLASH with "
        "signature=<file> then writes the image")

    # A one-step run afterwards leaves no file to sign either.
    velk_crc.flash(elf, symbol=symbol, mcuboot=one_step)
    assert not (tmp_path / "fw_CRC.tosign").exists()


def test_the_api_takes_both_steps_and_json_gives_the_bytes(tmp_path, holders):
    holder = holders["ecdsa-p256"]
    elf, symbol = build(tmp_path, "reserved")
    first = velk_crc.flash(elf, symbol=symbol, mcuboot=settings_of(holder, sign="digest"))
    assert first.verdict == "written"
    digest = bytes.fromhex(first.to_sign["bytes"])
    assert digest == (tmp_path / "fw_CRC.tosign").read_bytes()
    assert first.sha256 == {str(tmp_path / "fw_CRC.tosign"): hashlib.sha256(digest).hexdigest()}
    # The command line's --json object is the API's report.
    done = run_command("FLASH", elf, f"--n{symbol}", "--json", "--mcuboot",
                       f"key={holder['public']},header=0x200,sign=digest")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["to_sign"] == first.to_sign
    (tmp_path / "fw.sig").write_bytes(der_to_rs(holder_signs(holder["key"], digest, "digest")))
    second = velk_crc.flash(elf, symbol=symbol,
                            mcuboot=settings_of(holder, signature=tmp_path / "fw.sig"))
    assert "to_sign" not in second.as_dict()
    assert [t["type"] for t in second.mcuboot["tlvs"]] == [0x10, 0x01, ECDSA_SIG]
    assert second.mcuboot["hash"]["value"] == digest.hex()
    assert velk_crc.check(tmp_path / "fw_CRC.hex", mcuboot={"key": str(holder["public"])}).ok


def test_a_private_key_file_is_read_for_its_public_half(tmp_path, holders):
    """Neither step signs: the key's holder does. A private key file gives
    the same file to sign and takes the same signature as its public key."""
    holder = holders["rsa-2048"]
    elf, symbol = build(tmp_path, "added")
    velk_crc.flash(elf, symbol=symbol, mcuboot=settings_of(holder, sign="digest"))
    public = (tmp_path / "fw_CRC.tosign").read_bytes()
    velk_crc.flash(elf, symbol=symbol,
                   mcuboot=settings_of(holder, sign="digest", key=str(holder["private"])))
    assert (tmp_path / "fw_CRC.tosign").read_bytes() == public
    (tmp_path / "fw.sig").write_bytes(holder_signs(holder["key"], public, "digest"))
    report = velk_crc.flash(elf, symbol=symbol, mcuboot=settings_of(
        holder, key=str(holder["private"]), signature=str(tmp_path / "fw.sig")))
    assert report.mcuboot["signature"]["type"] == "rsa-2048"


@pytest.mark.parametrize("words, says", [
    pytest.param("header=0x200,sign=hash", 'sign=hash: digest or payload, what the key\'s '
                 "holder signs", id="unknown-vector"),
    pytest.param("header=0x200,sign=digest", "sign= needs key=<file> too: the public key of "
                 "the key's holder, as in key=signing-key.pub.pem", id="sign-without-key"),
    pytest.param("header=0x200,signature=fw.sig", "signature= needs key=<file> too: the "
                 "public key of the key's holder, as in key=signing-key.pub.pem",
                 id="signature-without-key"),
    pytest.param("key={public},header=0x200,sign=digest,signature=fw.sig",
                 "sign= writes what the key's holder signs and signature= puts their signature "
                 "in: one step or the other", id="both-steps"),
    pytest.param("key={public},header=0x200,sign=payload",
                 "sign=payload: the ed25519 key of {public} signs the image's digest, so its "
                 "holder must be given that: sign=digest", id="ed25519-payload"),
    pytest.param("key={public},header=0x200,signature={missing}",
                 "cannot read the signature {missing}: No such file or directory",
                 id="missing-signature"),
    pytest.param("key={public},header=0x200,signature={empty}",
                 "the signature file {empty} is empty", id="empty-signature"),
])
def test_what_cannot_make_a_step_is_refused_in_one_line(tmp_path, holders, words, says):
    elf, symbol = build(tmp_path, "added")
    (tmp_path / "empty.sig").write_text("\n")
    names = {"public": holders["ed25519"]["public"], "missing": tmp_path / "no.sig",
             "empty": tmp_path / "empty.sig"}
    done = run_command("FLASH", elf, f"--n{symbol}", "--mcuboot", words.format(**names),
                       cwd=tmp_path)
    assert done.returncode == 255
    assert done.stderr == f"error: {elf}: --mcuboot: {says.format(**names)}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty.sig", "fw.elf"]


@pytest.mark.parametrize("kind", ["ed25519", "ecdsa-p256"])
def test_the_first_step_refuses_an_image_that_would_not_fit_once_signed(tmp_path, holders,
                                                                        kind):
    """Header, payload and the TLVs without the signature fit the slot with
    its trailer; the signature would not. The holder is not asked to sign
    it: the first step refuses it as a one-step run does."""
    holder = holders[kind]
    elf, symbol = build(tmp_path, "added")
    # 0x800 of header and payload, 76 bytes of TLVs, a 432-byte trailer; the
    # signature's TLV: 68 bytes, for ECDSA up to 76.
    slot = 0x800 + 76 + 432 + 40
    one_step = run_command("FLASH", elf, f"--n{symbol}", "--mcuboot",
                           f"key={holder['private']},header=0x200,slot={slot:#x}")
    first = run_command("FLASH", elf, f"--n{symbol}", "--mcuboot",
                        f"key={holder['public']},header=0x200,slot={slot:#x},sign=digest")
    assert one_step.returncode == first.returncode == 255
    assert "the signed image does not fit its slot" in first.stderr
    if kind == "ed25519":
        assert first.stderr == one_step.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.elf"]


def test_a_pure_ed25519_image_from_the_holders_signature_of_the_payload(tmp_path, holders):
    """imgtool makes no pure image from a fixed signature; the two steps do:
    the holder signs the payload itself, and the image is the one a run
    that holds the key makes (Ed25519 signs alike every time)."""
    holder = holders["ed25519"]
    elf, symbol = build(tmp_path, "added")
    velk_crc.flash(elf, symbol=symbol, mcuboot=settings_of(holder, sign="payload", pure=True))
    payload = (tmp_path / "fw_CRC.tosign").read_bytes()
    (tmp_path / "fw.sig").write_bytes(holder["key"].sign(payload))
    report = velk_crc.flash(elf, symbol=symbol, bin=True, mcuboot=settings_of(
        holder, signature=str(tmp_path / "fw.sig"), pure=True))
    assert [t["name"] for t in report.mcuboot["tlvs"]] == ["SHA512", "SIG_PURE", "KEYHASH",
                                                           "ED25519"]
    two_steps = (tmp_path / "fw_CRC.bin").read_bytes()
    assert two_steps[:len(payload)] == payload
    done = imgtool_run("verify", "-k", holder["public"], tmp_path / "fw_CRC.bin")
    assert "Image was correctly validated" in done.stdout
    velk_crc.flash(elf, symbol=symbol, bin=True,
                   mcuboot=settings_of(holder, key=str(holder["private"]), pure=True))
    assert (tmp_path / "fw_CRC.bin").read_bytes() == two_steps


@pytest.mark.parametrize("kind, loaded", [
    pytest.param("ed25519", False, id="ed25519"),
    pytest.param("ecdsa-p256", False, id="ecdsa-p256"),
    pytest.param("ecdsa-p384", False, id="ecdsa-p384"),
    pytest.param("rsa-2048", True, id="rsa-2048"),
])
def test_the_first_step_reads_a_public_key_without_the_key_library(tmp_path, holders, kind,
                                                                   loaded):
    """The first step verifies nothing: an Ed25519 or ECDSA public key, whose
    DER is a fixed prefix and its bytes, gives its kind and bytes without
    the cryptography package (an RSA key's DER varies: the package reads
    it). hashlib hashes the image either way."""
    elf, symbol = build(tmp_path, "added")
    done = run_python(
        "import sys, velk_crc\n"
        f"r = velk_crc.flash({str(elf)!r}, symbol={symbol!r}, mcuboot={{'header': 0x200, "
        f"'key': {str(holders[kind]['public'])!r}, 'sign': 'digest'}})\n"
        "print(r.to_sign['key_type'], 'cryptography' in sys.modules, 'hashlib' in sys.modules)")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [kind, str(loaded), "True"]
