"""A firmware engineer's first runs of the production signing settings, and
the mistakes such a run makes: a device key that does not open the image
checked against the build, and a PIN under a misspelt attribute name."""

import re

import pytest

import velk_crc
from conftest import run_command
from test_mcuboot import HEADER, keys  # noqa: F401 (keys)
from test_mcuboot_encrypt import build, enc  # noqa: F401 (fixtures)

SECRET = "Pin4729"


# (what the image is encrypted for, what decrypt= is given, what the line says)
UNOPENED = [
    pytest.param("p256-pub", "p256-pub", "is a public key: decrypting needs the private key",
                 id="the-public-half"),
    pytest.param("p256-pub", "x25519", "is an X25519 key, the image's key is sealed by "
                 "ECIES-P256", id="another-devices-kind"),
    pytest.param("kek16", "kek32", "does not unwrap it", id="another-kek"),
]


@pytest.mark.parametrize("sealed_for, given, said", UNOPENED)
def test_a_device_key_that_does_not_open_the_image_is_named_with_the_build(
        build, enc, keys, sealed_for, given, said):
    """With --elf, decrypt= given but not opening the image's key is said as
    such (could not verify, exit 2), never as a decrypt= that is missing."""
    setting = "encrypt-kw" if sealed_for.startswith("kek") else "encrypt"
    velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                   mcuboot={"header": HEADER, "key": str(keys["ed25519"]),
                            setting: str(enc[sealed_for])})
    done = run_command("CHECK", build / "fw_CRC.hex", "--elf", build / "fw.elf", "--ncrc_slot",
                       "--mcuboot", f"key={keys['public']},decrypt={enc[given]}")
    assert done.returncode == 2, done.stdout + done.stderr
    line, = done.stderr.splitlines()
    assert "is encrypted, and its payload cannot be compared with the build: the encryption " \
        f"key TLV (0x" in line
    assert f"holds a key that decrypt={enc[given]} does not open" in line and said in line
    assert "needs --mcuboot decrypt=" not in line
    with pytest.raises(velk_crc.CannotVerify, match=re.escape(said)):
        velk_crc.check(build / "fw_CRC.hex", elf=build / "fw.elf", symbol="crc_slot",
                       mcuboot={"key": str(keys["public"]), "decrypt": str(enc[given])})
    # Without the build it stays a fault of the image's key TLV.
    alone = run_command("CHECK", build / "fw_CRC.hex", "--mcuboot",
                        f"key={keys['public']},decrypt={enc[given]}")
    assert alone.returncode == 1 and said in alone.stdout


@pytest.mark.parametrize("query", [f"pin_value={SECRET}", f"PIN-VALUE={SECRET}",
                                   f"pin-value=1&pinvalue={SECRET}&module-path=/x.so",
                                   f"module-path=/x.so&pin={SECRET}",
                                   f"pin={SECRET};object=root"],
                         ids=["underscore", "capitals", "after-the-pin", "pin",
                              "before-the-query"])
def test_a_misspelt_pin_attribute_is_refused_without_its_value(build, query, monkeypatch):
    """A PIN typed under a name the URI reader does not know is still a PIN:
    the refusal names the attribute, never its value."""
    monkeypatch.delenv("VELK_PKCS11_PIN", raising=False)
    key = (f"pkcs11:token=release;{query}" if query.endswith("root") else
           f"pkcs11:token=release;object=root?{query}")
    done = run_command("FLASH", build / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"key={key},header={HEADER:#x}")
    assert done.returncode == 255
    assert "unknown attribute " in done.stderr and "=***" in done.stderr
    assert SECRET not in done.stdout + done.stderr
    with pytest.raises(velk_crc.Refused, match="unknown attribute") as refused:
        velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                       mcuboot={"key": key, "header": HEADER})
    assert SECRET not in str(refused.value)


@pytest.mark.parametrize("setting, said", [
    ("fix-sig-pubkey=pub.pem", "imgtool's --fix-sig-pubkey is key=<the public key> here, "
     "with signature=<file>"),
    ("test", "imgtool's --test is pad here (the trailer's magic, image_ok left erased)"),
    ("pad-header", "imgtool's --pad-header is found from the ELF here"),
    ("erased-val=0", "imgtool's --erased-val is --fill 0xFF or --fill 0x00 here"),
], ids=["fix-sig-pubkey", "test", "pad-header", "erased-val"])
def test_imgtools_other_options_are_refused_with_what_stands_for_them(build, setting, said):
    done = run_command("FLASH", build / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"header={HEADER:#x},{setting}")
    assert done.returncode == 255
    name, _, value = setting.partition("=")
    line, = done.stderr.splitlines()
    assert line.startswith(f"error: {build / 'fw.elf'}: --mcuboot: unknown setting "
                           f"\"{name}\": {said}")
    with pytest.raises(velk_crc.Refused, match=re.escape(said)):
        velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                       mcuboot={"header": HEADER, name: value or True})


def test_a_public_key_without_sign_says_how_its_holder_signs(build, keys, tmp_path):
    """The first of two steps with sign= left out: the refusal names the
    setting, and the run with it writes what the holder signs."""
    elf = tmp_path / "fw.elf"
    elf.write_bytes((build / "fw.elf").read_bytes())
    settings = f"header={HEADER:#x},key={keys['public']}"
    done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot", settings)
    assert done.returncode == 255
    assert done.stderr.rstrip().endswith(
        "is a public key: signing needs the private key (or sign=digest, which writes what "
        "its holder signs)")
    done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot", settings + ",sign=digest")
    assert done.returncode == 0, done.stderr
    assert len((tmp_path / "fw_CRC.tosign").read_bytes()) == 32


@pytest.mark.parametrize("name, value", [("rom_fixed", 0x10000), ("non_bootable", True),
                                         ("encrypt_kw", "kek.bin"), ("max_sectors", 256)],
                         ids=["rom-fixed", "non-bootable", "encrypt-kw", "max-sectors"])
def test_a_setting_spelt_as_a_python_keyword_names_the_setting(build, name, value):
    """The API's dict takes the settings' own names; one written with '_',
    as a Python keyword would be, is refused with the name it means."""
    said = f"unknown setting \"{name}\": the setting is {name.replace('_', '-')}, spelt with '-'"
    with pytest.raises(velk_crc.Refused, match=re.escape(said)):
        velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                       mcuboot={"header": HEADER, name: value})
    typed = name if value is True else f"{name}={value}"
    done = run_command("FLASH", build / "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"header={HEADER:#x},{typed}")
    assert done.returncode == 255 and said in done.stderr


@pytest.mark.parametrize("size", [16, 32])
def test_a_kek_given_to_encrypt_names_encrypt_kw(build, enc, size):
    """The KEK's raw bytes where the device's PEM key goes: the line says
    which setting takes them, and that setting encrypts with them."""
    kek = str(enc[f"kek{size}"])
    said = f"cannot read {kek}: no PEM key"
    with pytest.raises(velk_crc.Refused, match=re.escape(said) + ".*; a KEK of 16 or 32 raw "
                       "bytes is given with encrypt-kw="):
        velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                       mcuboot={"header": HEADER, "encrypt": kek})
    report = velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                            mcuboot={"header": HEADER, "encrypt-kw": kek})
    assert report.mcuboot["encryption"] == {"type": "AES-KW", "aes": 128}


def holders_slip(kind, pem, to_sign):
    """What a holder signs by a tool's default: RSA with PKCS#1 v1.5, ECDSA
    over the digest hashed once more."""
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, padding
    key = serialization.load_pem_private_key(pem.read_bytes(), None)
    if kind == "rsa":
        return key.sign(to_sign, padding.PKCS1v15(), hashes.SHA256())
    return key.sign(to_sign, ec.ECDSA(hashes.SHA256()))


@pytest.mark.parametrize("kind, said", [
    ("rsa", ", or not with RSA-PSS (SHA-256, MGF1, a 32-byte salt), which MCUboot verifies"),
    ("ecdsa", ", or over a digest hashed again (ECDSA signs sign=digest's bytes as a hash "
     "already taken)"),
])
def test_a_holders_signature_in_the_wrong_scheme_names_the_scheme(build, keys, tmp_path,
                                                                  kind, said):
    elf = tmp_path / "fw.elf"
    elf.write_bytes((build / "fw.elf").read_bytes())
    first = velk_crc.flash(elf, symbol="crc_slot",
                           mcuboot={"header": HEADER, "key": str(keys[kind]), "sign": "digest"})
    signature = tmp_path / "fw.sig"
    signature.write_bytes(holders_slip(kind, keys[kind], bytes.fromhex(first.to_sign["bytes"])))
    done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot",
                       f"header={HEADER:#x},key={keys[kind]},signature={signature}")
    assert done.returncode == 255
    assert done.stderr.endswith("(another build, or other settings)" + said + "\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.elf", "fw.sig", "fw_CRC.tosign"]
    with pytest.raises(velk_crc.Refused, match=re.escape(said)):
        velk_crc.flash(elf, symbol="crc_slot", mcuboot={"header": HEADER, "key": str(keys[kind]),
                                                        "signature": str(signature)})
