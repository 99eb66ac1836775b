"""Faults and bad input against the signing, hashing and encryption
settings: CHECK of broken images (scripts/mcuboot_check_fuzz.py's cases,
its random part cut short) ends with 0, 1 or 2 and one line at most, never
a traceback; a pure signature's mark holding another value than the one a
bootloader boots is named; and a PIN typed with an unencoded '&', or under
PIN-VALUE=, shows in no line, exception or file."""

import os
import re
import sys

import pytest

import velk_crc
from conftest import run_command
from test_mcuboot import app_elf
from test_mcuboot_token import SECRET, no_secret

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import mcuboot_check_fuzz as fuzz  # noqa: E402


@pytest.fixture(scope="module")
def seeds(tmp_path_factory):
    """FLASH's images of every seed kind, and the keys that made them."""
    work = tmp_path_factory.mktemp("attack")
    images, keys = fuzz.build_seeds(str(work))
    return work, images, keys


def test_check_survives_every_broken_image(seeds):
    work, images, keys = seeds
    cases = [(name, data, words) for name, (data, words) in
             fuzz.targeted(images, keys).items()]
    cases += list(fuzz.random_cases(images, 12, seed=37))
    found = [bad for name, data, words in cases
             if (bad := fuzz.run_case(str(work), name, data, words))]
    assert not found, found


def pure_mark(images, value):
    image = fuzz.Image(images["ed-pure"][0])
    image.set(0x25, value)
    return image.build()


@pytest.mark.parametrize("value", [b"\x00", b"\x02", b"\xff"], ids=["00", "02", "ff"])
def test_a_pure_mark_the_bootloader_refuses_is_named(seeds, value):
    work, images, keys = seeds
    path = work / f"pure-{value.hex()}.bin"
    path.write_bytes(pure_mark(images, value))
    done = run_command("CHECK", str(path), "--base", hex(fuzz.SLOT), "--mcuboot",
                       f"key={keys['ed']}")
    assert done.returncode == 1, done.stdout + done.stderr
    assert re.search(f"MCUboot mismatch: TLV 0x25 at 0x[0-9A-F]{{8}} holds {value.hex()}; it "
                     r"should hold 01 \(the mark of a pure signature: MCUboot reads no other value as one\)",
                     done.stdout), done.stdout
    report = velk_crc.check(path, base=fuzz.SLOT, mcuboot={"key": keys["ed"]})
    assert report.verdict == "mismatch"
    assert any("0x25" in f["what"] for f in report.mcuboot["faults"]), report.mcuboot


def test_the_pure_mark_flash_writes_passes(seeds):
    work, images, keys = seeds
    path = work / "pure-01.bin"
    path.write_bytes(pure_mark(images, b"\x01"))
    assert velk_crc.check(path, base=fuzz.SLOT, mcuboot={"key": keys["ed"]}).ok


# A PIN with an '&' typed as it is (RFC 7512 wants %26), and one under an
# attribute name in capitals: what follows the '&' is the PIN's, not an
# attribute to show.
LEAKY = [
    pytest.param(f"token=velk%20build;object=ed25519?pin-value=Pin&{SECRET}",
                 "pin-value=***: an '&' stands before no attribute", id="ampersand"),
    pytest.param(f"token=velk%20build;object=ed25519?pin-value=Pin&x={SECRET}",
                 "pin-value=***: unknown attribute x=", id="ampersand-equals"),
    pytest.param(f"token=velk%20build;object=ed25519?pin-value=P&{SECRET}&module-path=/x",
                 "pin-value=***&module-path=/x: an '&' stands", id="ampersand-then-module"),
    pytest.param(f"token=velk%20build;object=ed25519?PIN-VALUE=Pin%3B{SECRET}",
                 "PIN-VALUE=***: unknown attribute PIN-VALUE=", id="capitals"),
]


@pytest.mark.parametrize("uri, says", LEAKY)
@pytest.mark.parametrize("mode", ["FLASH", "CHECK"])
def test_a_pin_typed_with_an_ampersand_shows_nowhere(tmp_path, uri, says, mode):
    # The URI is refused as it is read, before any token is opened.
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    words = ["--mcuboot", f"key=pkcs11:{uri}"]
    if mode == "FLASH":
        words = ["--ncrc_slot", "--json", "--mcuboot", f"key=pkcs11:{uri},header=0x200"]
    done = run_command(mode, str(elf), *words, cwd=tmp_path)
    assert done.returncode == (255 if mode == "FLASH" else 2), done.stderr
    assert says in done.stderr and done.stderr.count("\n") == 1, done.stderr
    with pytest.raises(velk_crc.Refused) as info:
        velk_crc.flash(elf, symbol="crc_slot", mcuboot={"header": 0x200, "key": f"pkcs11:{uri}"})
    assert says in str(info.value)
    assert not list(tmp_path.glob("fw_CRC*"))
    no_secret(tmp_path, done.stdout, done.stderr, str(info.value), repr(info.value))


@pytest.mark.parametrize("words", [
    pytest.param("key={ed},decrypt={x25519},decrypt={p256}", id="decrypt"),
    pytest.param("key={ed},key={p256},decrypt={x25519}", id="key"),
])
def test_check_refuses_a_setting_given_twice(seeds, words):
    """One of two keys would be used and the other passed over: CHECK
    refuses it as FLASH does."""
    work, images, keys = seeds
    path = work / "twice.bin"
    path.write_bytes(images["ed-x25519"][0])
    done = run_command("CHECK", str(path), "--base", hex(fuzz.SLOT), "--mcuboot",
                       words.format(**keys))
    name = words.split(",")[-1].split("=")[0] if "decrypt={p256}" in words else "key"
    assert done.returncode == 2, done.stdout
    assert done.stderr == f'error: {path}: --mcuboot: "{name}" is given twice\n'


def test_an_ecdsa_signature_of_another_length_is_refused_as_it_is(seeds, tmp_path):
    """Only the two coordinates of a token's r||s are made DER: a DER
    signature with bytes after it, or r||s of the wrong length, is refused
    as the bytes it is, not as an r||s it is not, and nothing is written."""
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, utils
    work, images, keys = seeds
    elf = tmp_path / "fw.elf"
    fuzz.make_elf(str(elf))
    settings = {"key": keys["p256"], "header": 0x200}
    digest = bytes.fromhex(velk_crc.flash(elf, symbol="crc_slot", mcuboot={
        **settings, "sign": "digest"}).to_sign["bytes"])
    with open(keys["p256"], "rb") as f:
        key = serialization.load_pem_private_key(f.read(), None)
    der = key.sign(digest, ec.ECDSA(utils.Prehashed(hashes.SHA256())))
    r, s = utils.decode_dss_signature(der)
    rs = r.to_bytes(32, "big") + s.to_bytes(32, "big")
    for name, data in [("der-and-more", der + bytes(2 + len(der) % 2)),
                       ("rs-66", bytes(1) + rs + bytes(1))]:
        path = tmp_path / name
        path.write_bytes(data)
        done = run_command("FLASH", str(elf), "--ncrc_slot", "--mcuboot",
                           f"key={keys['p256']},header=0x200,signature={path}", cwd=tmp_path)
        assert done.returncode == 255
        assert f"the signature in {path} (raw, {len(data)} bytes) does not verify" in \
            done.stderr, done.stderr
        with pytest.raises(velk_crc.Refused, match=fr"\(raw, {len(data)} bytes\) does not"):
            velk_crc.flash(elf, symbol="crc_slot", mcuboot={**settings, "signature": path})
        assert not list(tmp_path.glob("fw_CRC.hex"))
    # The signature itself, as DER and as r||s, is taken.
    for name, data in [("der", der), ("rs", rs)]:
        (tmp_path / name).write_bytes(data)
        velk_crc.flash(elf, symbol="crc_slot",
                       mcuboot={**settings, "signature": tmp_path / name})
        assert velk_crc.check(tmp_path / "fw_CRC.hex", mcuboot={"key": keys["p256"]}).ok


def test_a_ram_load_address_the_image_runs_past_4_gib_from_is_refused(seeds, tmp_path):
    """MCUboot copies a RAM-loaded image, header to TLVs, to load_addr and
    refuses one whose end would overflow 32 bits: FLASH refuses the
    address, even with --force, and CHECK names it in an image that has it."""
    work, images, keys = seeds
    elf = tmp_path / "fw.elf"
    fuzz.make_elf(str(elf))
    # The seed is the same build signed the same way, without the flag.
    image = fuzz.Image(images["ed-pure"][0])
    size = len(image.build())
    for address in (0xFFFFFFFF, 2**32 - size):
        done = run_command("FLASH", str(elf), "--ncrc_slot", "--force", "--mcuboot",
                           f"key={keys['ed']},header=0x200,pure,load-addr={address:#x}",
                           cwd=tmp_path)
        assert done.returncode == 255, done.stdout
        assert (f"load-addr=0x{address:08X}: the image's {size} bytes copied there would "
                "reach 4 GiB, which MCUboot refuses") in done.stderr, done.stderr
        with pytest.raises(velk_crc.Refused, match="would reach 4 GiB"):
            velk_crc.flash(elf, symbol="crc_slot", mcuboot={
                "key": keys["ed"], "header": 0x200, "pure": True, "load-addr": address})
        assert not list(tmp_path.glob("fw_CRC*"))
    velk_crc.flash(elf, symbol="crc_slot", mcuboot={
        "key": keys["ed"], "header": 0x200, "pure": True, "load-addr": 2**32 - size - 1})
    # An image that has it, its signature over the header as it is.
    image.flags, image.load_addr = 0x20, 2**32 - 16
    path = tmp_path / "ram.bin"
    path.write_bytes(image.build())
    report = velk_crc.check(path, base=fuzz.SLOT, mcuboot={"key": keys["ed"]})
    assert report.verdict == "mismatch"
    assert "load_addr" in [f["what"] for f in report.mcuboot["faults"]], report.mcuboot
