"""--mcuboot key=pkcs11:<URI>: an image signed by a key that never leaves
its PKCS#11 token. The token is SoftHSM2's, made here; its keys are
generated in it by python-pkcs11 and their public halves exported by this
file's own code. imgtool 2.5.0 verifies each image with that PEM file, and
our CHECK verifies it with the token's key and with the PEM. Each failure
is one line with nothing written, and the PIN shows nowhere."""

import json
import os
import shutil
import subprocess

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa

import velk_crc
from conftest import run_cli, run_command
from test_mcuboot import SLOT, app_elf, imgtool, tlvs_of

# Where Debian, Fedora and Homebrew put SoftHSM2's module.
SOFTHSM_MODULES = ["/usr/lib/softhsm/libsofthsm2.so",
                   "/usr/lib64/pkcs11/libsofthsm2.so",
                   "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                   "/opt/homebrew/lib/softhsm/libsofthsm2.so"]

TOKEN = "velk build"         # token=velk%20build: the URI percent-encodes the space
PIN = "Pin;4729"             # pin-value=Pin%3B4729: and the ';'
PIN_IN_URI = "Pin%3B4729"
SECRET = "4729"              # in either spelling: no line, JSON or file may hold it

# name: (label, id, kind, size)
KEYS = {
    "ed25519": ("ed25519", b"\x01", "ed25519", None),
    "ecdsa-p256": ("ecdsa-p256", b"\x02", "secp256r1", None),
    "rsa-2048": ("rsa-2048", b"\x03", "rsa", 2048),
    "rsa-3072": ("rsa-3072", b"\x04", "rsa", 3072),
    "ecdsa-p521": ("ecdsa-p521", b"\x05", "secp521r1", None),  # no MCUboot key
    "ecdsa-p384": ("ecdsa-p384", b"\x06", "secp384r1", None),
}


def octets(der):
    """The content of a DER OCTET STRING, as a token gives CKA_EC_POINT."""
    assert der[0] == 0x04
    if der[1] < 0x80:
        assert der[1] == len(der) - 2
        return der[2:]
    size = der[1] & 0x7F
    assert int.from_bytes(der[2:2 + size], "big") == len(der) - 2 - size
    return der[2 + size:]


def exported(public, kind):
    """The token's public key as a PEM file, read from its attributes by
    the cryptography package."""
    from pkcs11 import Attribute, KeyType
    if public.key_type == KeyType.EC_EDWARDS:
        key = ed25519.Ed25519PublicKey.from_public_bytes(octets(public[Attribute.EC_POINT]))
    elif public.key_type == KeyType.EC:
        key = ec.EllipticCurvePublicKey.from_encoded_point(
            {"secp256r1": ec.SECP256R1(), "secp384r1": ec.SECP384R1(),
             "secp521r1": ec.SECP521R1()}[kind],
            octets(public[Attribute.EC_POINT]))
    else:
        key = rsa.RSAPublicNumbers(int.from_bytes(public[Attribute.PUBLIC_EXPONENT], "big"),
                                   int.from_bytes(public[Attribute.MODULUS], "big")).public_key()
    return key.public_bytes(serialization.Encoding.PEM,
                            serialization.PublicFormat.SubjectPublicKeyInfo)


class Token:
    def __init__(self, module, pems):
        self.module = module
        self.pems = pems


@pytest.fixture(scope="module")
def token(tmp_path_factory):
    """Two tokens in a SoftHSM2 made for this module, the first holding a
    key of each kind; the module in VELK_PKCS11_MODULE, no PIN set."""
    pkcs11 = pytest.importorskip("pkcs11", reason="python-pkcs11 is a test dependency")
    util = shutil.which("softhsm2-util")
    module = next((m for m in SOFTHSM_MODULES if os.path.isfile(m)), None)
    if util is None or module is None:
        pytest.skip("SoftHSM2 is not installed (.ci/run installs Debian's softhsm2)")
    from pkcs11 import Attribute, KeyType
    from pkcs11.util.ec import encode_named_curve_parameters
    folder = tmp_path_factory.mktemp("token")
    (folder / "tokens").mkdir()
    conf = folder / "softhsm2.conf"
    conf.write_text(f"directories.tokendir = {folder / 'tokens'}\n"
                    "objectstore.backend = file\nlog.level = ERROR\n")
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("SOFTHSM2_CONF", str(conf))
        for label in (TOKEN, "spare"):
            subprocess.run([util, "--init-token", "--free", "--label", label, "--so-pin",
                            "0000", "--pin", PIN], check=True, capture_output=True, timeout=60)
        pems = {}
        lib = pkcs11.lib(module)
        with lib.get_token(token_label=TOKEN).open(rw=True, user_pin=PIN) as session:
            for name, (label, key_id, kind, size) in KEYS.items():
                if kind == "rsa":
                    public, _ = session.generate_keypair(KeyType.RSA, size, store=True,
                                                         label=label, id=key_id)
                else:
                    curve = {"ed25519": "1.3.101.112"}.get(kind, kind)
                    params = session.create_domain_parameters(
                        KeyType.EC_EDWARDS if kind == "ed25519" else KeyType.EC,
                        {Attribute.EC_PARAMS: encode_named_curve_parameters(curve)}, local=True)
                    public, _ = params.generate_keypair(store=True, label=label, id=key_id)
                pems[name] = folder / f"{name}.pem"
                pems[name].write_bytes(exported(public, kind))
        patch.setenv("VELK_PKCS11_MODULE", module)
        patch.delenv("VELK_PKCS11_PIN", raising=False)
        yield Token(module, pems)


def no_secret(folder, *texts):
    """The PIN is in no text and in no file under `folder`."""
    for text in texts:
        assert SECRET not in text, text
    for path in folder.rglob("*"):
        if path.is_file():
            assert SECRET.encode() not in path.read_bytes(), path


# (key, the URI after pkcs11: and any other settings, the environment's PIN,
# the TLVs after the payload): each picks its token and key another way.
SIGNED = [
    pytest.param("ed25519", f"token=velk%20build;object=ed25519?pin-value={PIN_IN_URI}",
                 None, [0x10, 0x01, 0x24], id="ed25519-by-label-pin-in-uri"),
    pytest.param("ed25519", "token=velk%20build;object=ed25519,pure", PIN,
                 [0x12, 0x25, 0x01, 0x24], id="pure-ed25519-over-the-image"),
    pytest.param("ecdsa-p256", "token=velk%20build;id=%02", PIN, [0x10, 0x01, 0x22],
                 id="ecdsa-p256-by-id-pin-from-env"),
    pytest.param("ecdsa-p384", "token=velk%20build;object=ecdsa-p384", PIN,
                 [0x11, 0x01, 0x22], id="ecdsa-p384-with-sha384"),
    pytest.param("rsa-2048", "token=velk%20build;model=SoftHSM%20v2;object=rsa-2048"
                 f"?pin-value={PIN_IN_URI}&module-path={{module}}", None, [0x10, 0x01, 0x20],
                 id="rsa-2048-module-in-uri"),
    pytest.param("rsa-3072", "token=velk%20build;object=rsa-3072;type=private", PIN,
                 [0x10, 0x01, 0x23], id="rsa-3072-type-private"),
]


@pytest.mark.parametrize("key, uri, pin, tlvs", SIGNED)
def test_a_token_key_signs_what_imgtool_and_check_verify(tmp_path, token, velk, monkeypatch,
                                                         key, uri, pin, tlvs):
    uri, _, more = ("pkcs11:" + uri.format(module=token.module)).partition(",")
    if "module-path=" in uri:
        monkeypatch.delenv("VELK_PKCS11_MODULE")
    if pin:
        monkeypatch.setenv("VELK_PKCS11_PIN", pin)
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc_slot", "--bin", "--json",
                             "--mcuboot", ",".join(filter(None, [f"key={uri}", "header=0x200",
                                                                 more])))
    assert code == 0, err
    report = json.loads(out)
    assert report["mcuboot"]["signature"]["type"] == key
    image = (tmp_path / "fw_CRC.bin").read_bytes()
    assert [t for t, _ in tlvs_of(image, 0)] == tlvs
    done = subprocess.run([imgtool(), "verify", "-k", str(token.pems[key]),
                           str(tmp_path / "fw_CRC.bin")], capture_output=True, text=True,
                          timeout=120)
    assert "Image was correctly validated" in done.stdout, done.stdout + done.stderr

    # CHECK with the token's key (its public half, which needs no PIN),
    # then with the PEM file.
    monkeypatch.delenv("VELK_PKCS11_PIN", raising=False)
    masked = uri.replace(PIN_IN_URI, "***")
    for named, shown in [(uri, masked), (token.pems[key], str(token.pems[key]))]:
        code, checked, check_err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex",
                                           "--ncrc_slot", "--elf", elf, "--mcuboot",
                                           f"key={named}")
        assert code == 0, checked + check_err
        assert (f"MCUboot signature: {key} (TLV 0x{tlvs[-1]:02X}) by {shown}, ok"
                in checked.splitlines()), checked
    no_secret(tmp_path, out, err, checked, check_err)


def test_the_api_signs_with_a_token_key_and_masks_the_pin(tmp_path, token, monkeypatch):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "reserved")
    uri = f"pkcs11:token=velk%20build;object=ecdsa-p256?pin-value={PIN_IN_URI}"
    report = velk_crc.flash(elf, symbol="crc_slot", bin=True,
                            mcuboot={"header": 0x200, "key": uri})
    assert report.mcuboot["signature"]["type"] == "ecdsa-p256"
    # A program that holds the token logged in itself, as the user.
    import pkcs11
    token_session = pkcs11.lib(token.module).get_token(token_label=TOKEN).open(user_pin=PIN)
    try:
        again = velk_crc.flash(elf, symbol="crc_slot", bin=True,
                               mcuboot={"header": 0x200, "key": uri})
    finally:
        token_session.close()
    # The token's ECDSA is randomised, not RFC 6979's: the same hash, and
    # a signature of the same kind.
    assert again.mcuboot["hash"] == report.mcuboot["hash"]
    assert again.mcuboot["signature"] == report.mcuboot["signature"]
    verdict = velk_crc.check(tmp_path / "fw_CRC.hex", symbol="crc_slot", elf=elf,
                             mcuboot={"key": uri})
    assert verdict.mcuboot["ok"], verdict
    (tmp_path / "fw_CRC.hex").unlink()
    with pytest.raises(velk_crc.Refused) as info:
        velk_crc.flash(elf, symbol="crc_slot",
                       mcuboot={"header": 0x200, "key": uri.replace("velk%20build", "nothing")})
    assert "no token matches pkcs11:token=nothing;object=ecdsa-p256?pin-value=*** in" in str(
        info.value)
    assert not (tmp_path / "fw_CRC.hex").exists()
    no_secret(tmp_path, repr(report), repr(verdict), str(info.value))


OK_URI = f"token=velk%20build;object=ed25519?pin-value={PIN_IN_URI}"

# (the URI after pkcs11:, the environment, the one line after "error: <elf>: ").
# None in the environment unsets the variable; {elf} is the build, {module}
# SoftHSM2's module.
REFUSED = [
    pytest.param("token=velk%20build;object=ed25519?pin-value=0000", {},
                 'the PIN pin-value= gives for token "velk build" is wrong', id="wrong-pin"),
    pytest.param("token=velk%20build;object=ed25519", {"VELK_PKCS11_PIN": "0000"},
                 'the PIN VELK_PKCS11_PIN gives for token "velk build" is wrong',
                 id="wrong-pin-from-env"),
    pytest.param("token=velk%20build;object=ed25519", {},
                 "signing with pkcs11:token=velk%20build;object=ed25519 needs the token's PIN: "
                 "set VELK_PKCS11_PIN (or give pin-value= in the URI)", id="no-pin"),
    pytest.param(f"token=velk%20build;object=nothing?pin-value={PIN_IN_URI}", {},
                 'token "velk build" holds no private key labelled "nothing"',
                 id="missing-object"),
    pytest.param(f"token=velk%20build;id=%09?pin-value={PIN_IN_URI}", {},
                 'token "velk build" holds no private key with id 0x09', id="missing-id"),
    pytest.param(f"token=nothing;object=ed25519?pin-value={PIN_IN_URI}", {},
                 "no token matches pkcs11:token=nothing;object=ed25519?pin-value=*** in the "
                 'PKCS#11 module {module} (its tokens: "spare", "velk build")',
                 id="missing-token"),
    pytest.param(f"object=ed25519?pin-value={PIN_IN_URI}", {},
                 "2 tokens match pkcs11:object=ed25519?pin-value=***: name one with token=, "
                 'serial= or slot-id= (its tokens: "spare", "velk build")', id="two-tokens"),
    pytest.param(f"token=velk%20build?pin-value={PIN_IN_URI}", {},
                 '6 private keys in token "velk build" match: name one with object= or id=',
                 id="six-keys"),
    pytest.param(f"token=velk%20build;object=ecdsa-p521?pin-value={PIN_IN_URI}", {},
                 "pkcs11:token=velk%20build;object=ecdsa-p521?pin-value=*** is an ECDSA key "
                 "on secp521r1: ", id="a-key-mcuboot-does-not-verify"),
    pytest.param("token=velk%20build;object=ed25519;type=public", {"VELK_PKCS11_PIN": PIN},
                 "pkcs11:token=velk%20build;object=ed25519;type=public names a public key "
                 "(type=public): signing needs the private key (type=private)",
                 id="public-key"),
    pytest.param(OK_URI, {"VELK_PKCS11_MODULE": None},
                 f"--mcuboot: pkcs11:{OK_URI.replace(PIN_IN_URI, '***')}: a key in a PKCS#11 "
                 "token needs the token's PKCS#11 module: set VELK_PKCS11_MODULE to its "
                 "library's file (as in /usr/lib/softhsm/libsofthsm2.so), or give "
                 "module-path= in the URI", id="module-variable-unset"),
    pytest.param(OK_URI, {"VELK_PKCS11_MODULE": "{elf}.so"},
                 f"--mcuboot: pkcs11:{OK_URI.replace(PIN_IN_URI, '***')}: the PKCS#11 module "
                 "{elf}.so (VELK_PKCS11_MODULE) does not exist", id="module-file-missing"),
    pytest.param(OK_URI, {"VELK_PKCS11_MODULE": "{elf}"},
                 "cannot load the PKCS#11 module {elf}: ", id="module-no-library"),
    pytest.param(OK_URI, {"VELK_PKCS11_MODULE": "{core}"},
                 "cannot load the PKCS#11 module {core}: ", id="module-of-another-library"),
    pytest.param("token=velk%2Gbuild;object=ed25519", {},
                 "--mcuboot: pkcs11:token=velk%2Gbuild;object=ed25519: token= holds a '%' that "
                 "is not followed by two hex digits (a byte is written %XX, as in %20 for a "
                 "space)", id="bad-percent-escape"),
    pytest.param(f"token=velk%20build;pin-value={PIN_IN_URI}", {},
                 "--mcuboot: pkcs11:token=velk%20build;pin-value=***: pin-value= belongs "
                 "after the '?'", id="pin-before-the-query"),
    pytest.param("token=velk%20build?pin-source=file:pin.txt", {},
                 "--mcuboot: pkcs11:token=velk%20build?pin-source=file:pin.txt: pin-source= "
                 "is not supported here: give the PIN in VELK_PKCS11_PIN or pin-value=",
                 id="pin-source"),
    pytest.param("token=velk%20build;colour=blue", {},
                 "--mcuboot: pkcs11:token=velk%20build;colour=***: unknown attribute colour= "
                 "(the attributes: token, manufacturer, serial, model, slot-id, object, id and "
                 "type before the '?', pin-value and module-path after it)",
                 id="unknown-attribute"),
    pytest.param(f"token=velk%20build;object=a;object=b?pin-value={PIN_IN_URI}", {},
                 "--mcuboot: pkcs11:token=velk%20build;object=a;object=b?pin-value=***: "
                 "object= is given twice", id="attribute-twice"),
]


@pytest.mark.parametrize("uri, environment, says", REFUSED)
def test_a_token_key_that_cannot_sign_is_one_line_and_nothing_is_written(
        tmp_path, token, velk, monkeypatch, uri, environment, says):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    for name, value in environment.items():
        if value is None:
            monkeypatch.delenv(name)
        else:
            monkeypatch.setenv(name, value.format(elf=elf, core=velk_crc._core.__file__))
    code, out, err = run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc_slot", "--bin",
                             "--mcuboot", f"key=pkcs11:{uri},header=0x200")
    assert code == 255, out + err
    line = f"error: {elf}: " + says.format(elf=elf, module=token.module,
                                           core=velk_crc._core.__file__)
    assert err.splitlines() == [err.splitlines()[0]] and err.startswith(line), err
    # The loader's words follow, not the path again.
    assert not err[len(line):].startswith(os.sep), err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.elf"]
    no_secret(tmp_path, out, err)


# Lines that echo what was typed: the URI in them has its PIN masked too.
ECHOED = [
    pytest.param(["FLASH", "{elf}", "--ncrc_slot", "--mcuboot",
                  "key=pkcs11:token=velk%20build?pin-value={pin},header=0x200,"],
                 'an empty setting in "key=pkcs11:token=velk%20build?pin-value=***"',
                 id="flash-settings-word"),
    pytest.param(["FLASH", "{elf}", "--ncrc_slot", "--json", "--mcuboot",
                  "key=pkcs11:token=velk%20build?pin-value={pin}", "--bogus"],
                 "--bogus", id="flash-json"),
    pytest.param(["CHECK", "{elf}", "--mcuboot",
                  "key=pkcs11:token=velk%20build;object=nothing?pin-value={pin}"],
                 "holds no public key", id="check-missing-key"),
]


@pytest.mark.parametrize("words, says", ECHOED)
@pytest.mark.parametrize("pin", [PIN_IN_URI, PIN], ids=["encoded", "raw"])
def test_a_line_that_echoes_the_uri_masks_the_pin(tmp_path, token, velk, monkeypatch, words,
                                                  says, pin):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    code, out, err = run_cli(velk, monkeypatch,
                             *(w.format(elf=elf, pin=pin) for w in words))
    assert code != 0 and says in out + err, out + err
    no_secret(tmp_path, out, err)


def test_without_python_pkcs11_a_token_key_says_how_to_get_it(tmp_path, token):
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    shadow = tmp_path / "shadow" / "pkcs11"
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text("raise ImportError('no python-pkcs11 here')\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        [str(shadow.parent)] + os.environ.get("PYTHONPATH", "").split(os.pathsep))}
    done = run_command("FLASH", elf, "--ncrc_slot", "--mcuboot",
                       f"key=pkcs11:{OK_URI},header=0x200", env=env)
    assert done.returncode == 255, done.stderr
    assert done.stderr.splitlines() == [
        f"error: {elf}: a key in a PKCS#11 token needs the python-pkcs11 package "
        "(pip install 'velk-crc[pkcs11]')"]
    assert not (tmp_path / "fw_CRC.hex").exists()


def test_a_module_named_without_a_folder_is_the_file_in_the_current_one(tmp_path, token):
    """Not one the loader's search path finds: the name is the file that
    was checked."""
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    os.symlink(token.module, tmp_path / "module.so")
    done = run_command("FLASH", "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"key=pkcs11:{OK_URI},header=0x200", cwd=tmp_path,
                       env={**os.environ, "VELK_PKCS11_MODULE": "module.so"})
    assert done.returncode == 0, done.stderr
    assert "signed with ed25519" in done.stdout


def test_a_devices_run_signs_each_device_with_the_token_key(tmp_path, token, monkeypatch):
    """Every device's image signed by the token's key on the run's worker
    threads: each passes imgtool's verify, each with its own signature."""
    monkeypatch.setenv("VELK_PKCS11_PIN", PIN)
    elf = tmp_path / "fw.elf"
    app_elf(elf, "added")
    serial = SLOT + 0x200 + 0x100  # in the payload, over the body's bytes
    done = run_command("FLASH", elf, "--ncrc_slot", "--bin", "--force", "--out",
                       tmp_path / "out", "--stamp", f"{serial:#x}:4=serial:1..6", "--mcuboot",
                       "key=pkcs11:token=velk%20build;object=ed25519,header=0x200")
    assert done.returncode == 0, done.stderr
    signatures = set()
    for n in range(1, 7):
        image = (tmp_path / "out" / f"fw_{n}_CRC.bin").read_bytes()
        assert int.from_bytes(image[serial - SLOT:serial - SLOT + 4], "little") == n
        verified = subprocess.run([imgtool(), "verify", "-k", str(token.pems["ed25519"]),
                                   str(tmp_path / "out" / f"fw_{n}_CRC.bin")],
                                  capture_output=True, text=True, timeout=120)
        assert "Image was correctly validated" in verified.stdout, verified.stdout
        signatures.add(dict(tlvs_of(image, 0))[0x24])
    assert len(signatures) == 6
    no_secret(tmp_path, done.stdout, done.stderr)
