"""CHECK --mcuboot's verdict on the files a release ships and on rearranged
TLV areas, as MCUboot's bootloader gives it: FLASH's signed images of the
test application, merged with a bootloader that holds the header's magic as
a literal, cut short, padded and rearranged. The TLV areas are read and
rebuilt here from the header's sizes; the verdicts follow bootutil's walk
of them (every SHA-256 entry must match; a signature counts only right after
a key hash of the key, compared as a prefix; the last one counted decides)."""

import os
import shutil
import struct
import subprocess
import sysconfig

import pytest
from intelhex import IntelHex

import velk_crc
from conftest import DATA, run_cli, run_command

SLOT = 0x08004000  # fw_mcuboot_app.ld: the slot, the header's room before the build
MAGIC = struct.pack("<I", 0x96F3B83D)
IMGTOOL = shutil.which("imgtool", path=sysconfig.get_path("scripts")) or shutil.which("imgtool")
pytestmark = pytest.mark.skipif(IMGTOOL is None, reason="imgtool is a test dependency")


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    made = {}
    for name in ("ours", "other"):
        made[name] = folder / f"{name}.pem"
        subprocess.run([IMGTOOL, "keygen", "-k", made[name], "-t", "ed25519"], check=True)
    return made


def flash(folder, *settings, merge=False, name="fw_mcuboot_app", extra=()):
    """FLASH's files of the test application signed with `settings`."""
    folder.mkdir(exist_ok=True)
    elf = folder / f"{name}.elf"
    shutil.copy(os.path.join(DATA, "fw_mcuboot_app.elf"), elf)
    extra = [*extra, *(["--merge", os.path.join(DATA, "fw_mcuboot_loader.hex")] if merge else [])]
    done = run_command("FLASH", elf, "--ncrc_value", "--mcuboot", ",".join(settings), "--bin",
                       *extra, cwd=folder)
    assert done.returncode == 0, done.stderr
    return folder / f"{name}_CRC"


@pytest.fixture(scope="module")
def images(tmp_path_factory, keys):
    """FLASH's signed .bin of the application by our key and by another."""
    root = tmp_path_factory.mktemp("images")
    made = {}
    for name in ("ours", "other"):
        made[name] = flash(root / name, f"key={keys[name]}", "header=0x200")
    return made


def read_areas(image):
    """What the hash and signatures cover (up to the unprotected area), and
    the unprotected entries as (type, value), read from the header's sizes."""
    hdr_size, protect, img_size = struct.unpack_from("<HHI", image, 8)
    start = hdr_size + img_size + protect
    magic, total = struct.unpack_from("<HH", image, start)
    assert magic == 0x6907
    entries, at = [], start + 4
    while at < start + total:
        kind, _, length = struct.unpack_from("<BBH", image, at)
        entries.append((kind, image[at + 4:at + 4 + length]))
        at += 4 + length
    assert at == start + total
    return image[:start], entries


def rebuilt(covered, entries):
    body = b"".join(struct.pack("<BBH", kind, 0, len(value)) + value for kind, value in entries)
    return covered + struct.pack("<HH", 0x6907, 4 + len(body)) + body


def spoiled(value):
    return value[:-1] + bytes([value[-1] ^ 0x01])


# (case, the entries after the header's hash from ours (H, K, S) and the other
# key's image (Ko, So), MCUboot's verdict, what the line or note names)
REARRANGED = [
    ("as-signed", lambda H, K, S, Ko, So: [H, K, S], 0, None),
    ("hash-twice-second-wrong", lambda H, K, S, Ko, So: [H, (0x10, spoiled(H[1])), K, S], 1,
     "the hash TLV (0x10)"),
    ("signature-before-key-hash", lambda H, K, S, Ko, So: [H, S, K], 1,
     "a signature MCUboot passes over"),
    ("pair-twice-second-corrupt", lambda H, K, S, Ko, So: [H, K, S, K, (0x24, spoiled(S[1]))],
     1, "a signature that does not verify"),
    ("ours-then-wrong-key-hash", lambda H, K, S, Ko, So: [H, K, Ko, S], 1,
     "a signature MCUboot passes over"),
    ("other-pair-before-ours", lambda H, K, S, Ko, So: [H, Ko, So, K, S], 0,
     "MCUboot passes over it"),
    ("wrong-key-hash-before-right", lambda H, K, S, Ko, So: [H, Ko, K, S], 0,
     "MCUboot picks no key there"),
    # A signature of the wrong size after the key's hash fails the image,
    # whatever follows.
    ("short-signature-then-good", lambda H, K, S, Ko, So: [H, K, (0x24, S[1][:63]), K, S], 1,
     "MCUboot refuses another size"),
    # MCUboot keeps the verdict of the last signature it verifies.
    ("corrupt-pair-then-good", lambda H, K, S, Ko, So: [H, K, (0x24, spoiled(S[1])), K, S], 0,
     "MCUboot goes by the last one"),
    ("key-hash-prefix-16", lambda H, K, S, Ko, So: [H, (1, K[1][:16]), S], 0,
     "holds the first 16 bytes"),
    ("key-hash-prefix-4", lambda H, K, S, Ko, So: [H, (1, K[1][:4]), S], 1,
     "MCUboot would accept it"),
    ("key-hash-empty", lambda H, K, S, Ko, So: [H, (1, b""), S], 1, "MCUboot would accept it"),
    ("key-hash-too-long", lambda H, K, S, Ko, So: [H, (1, K[1] + b"\0"), S], 1,
     "MCUboot refuses a longer one"),
    ("hash-typed-sha384", lambda H, K, S, Ko, So: [(0x11, H[1]), K, S], 1, "a SHA-384 hash"),
    ("no-hash", lambda H, K, S, Ko, So: [K, S], 1, "the hash TLV (0x10)"),
]


@pytest.mark.parametrize("case,arrange,code,named", REARRANGED, ids=[c[0] for c in REARRANGED])
def test_rearranged_tlvs_judged_as_mcuboot_does(velk, monkeypatch, tmp_path, keys, images,
                                                case, arrange, code, named):
    covered, ours = read_areas(images["ours"].with_suffix(".bin").read_bytes())
    _, other = read_areas(images["other"].with_suffix(".bin").read_bytes())
    assert [k for k, _ in ours] == [0x10, 0x01, 0x24]
    (H, K, S), (_, Ko, So) = ours, other
    path = tmp_path / "rearranged.bin"
    path.write_bytes(rebuilt(covered, arrange(H, K, S, Ko, So)))
    got, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--base", hex(SLOT), "--mcuboot",
                            f"key={keys['ours']}")
    assert got == code, out + err
    if named:
        assert named in (out if code else err), out + err
    # A signature by the key is never called wrong for it.
    if case.startswith("key-hash-prefix") or case == "key-hash-empty":
        assert "wrong for" not in out and ("verifies" in out if code else ", ok" in out)
    report = velk_crc.check(path, base=SLOT, mcuboot={"key": str(keys["ours"])})
    assert report.ok == (code == 0) and report.mcuboot["ok"] == (code == 0)


def test_the_image_as_signed_passes_imgtool_too(keys, images):
    # A second opinion on the image the cases start from.
    done = subprocess.run([IMGTOOL, "verify", "-k", keys["ours"],
                           images["ours"].with_suffix(".bin")], capture_output=True, text=True)
    assert done.returncode == 0 and "Image was correctly validated" in done.stdout


# --- where the file stops -------------------------------------------------------

def test_a_file_cut_one_byte_short_is_one_line(velk, monkeypatch, tmp_path, keys, images):
    image = images["ours"].with_suffix(".bin").read_bytes()
    path = tmp_path / "cut.bin"
    path.write_bytes(image[:-1])
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--base", hex(SLOT), "--mcuboot",
                             f"key={keys['ours']}")
    end = SLOT + len(image)
    assert code == 1 and out.splitlines() == [
        f"MCUboot image mismatch: the file ends at 0x{end - 1:08X}, inside the image's TLVs, "
        f"which run to 0x{end:08X} (MCUboot header at 0x{SLOT:08X})"], out + err


def test_bytes_after_the_tlvs_are_named_and_pass(velk, monkeypatch, tmp_path, keys, images):
    image = images["ours"].with_suffix(".bin").read_bytes()
    path = tmp_path / "more.bin"
    path.write_bytes(image + b"tail: no trailer" + bytes(16))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--base", hex(SLOT), "--mcuboot",
                             f"key={keys['ours']}")
    end = SLOT + len(image)
    assert code == 0, out + err
    assert f"32 bytes after the image's TLVs, from 0x{end:08X}" in err
    assert f"0x{end:08X} to 0x{end + 32:08X}: after the image's TLVs" in out
    assert "trailer" not in out and "image_ok" not in out and "erased" not in out


# --- a bootloader that holds the magic, merged --------------------------------

def loader_literal():
    """Where the test bootloader holds the header's magic, read from its HEX."""
    loader = IntelHex(os.path.join(DATA, "fw_mcuboot_loader.hex"))
    data = loader.tobinstr()
    at = data.find(MAGIC)
    assert at >= 0 and at % 4 == 0, "the bootloader holds the magic as a literal"
    return loader.minaddr() + at


@pytest.fixture(scope="module")
def merged(tmp_path_factory, keys):
    root = tmp_path_factory.mktemp("merged")
    return {
        "unpadded": flash(root / "unpadded", f"key={keys['ours']}", "header=0x200", merge=True),
        "padded": flash(root / "padded", f"key={keys['ours']}", "header=0x200",
                        "slot=0x20000", "pad", merge=True),
    }


@pytest.mark.parametrize("kind", ["unpadded", "padded"])
@pytest.mark.parametrize("header", [None, "0x200"], ids=["no-header", "header"])
def test_merged_image_found_past_the_bootloaders_literal(velk, monkeypatch, keys, merged, kind,
                                                         header):
    path = merged[kind].parent / (merged[kind].name + "_merged.hex")
    settings = f"key={keys['ours']}" + (f",header={header}" if header else "")
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--mcuboot", settings)
    assert code == 0, out + err
    assert f"MCUboot image at 0x{SLOT:08X}" in out
    assert f"also at 0x{loader_literal():08X}" in err and f"one at 0x{SLOT:08X}" in err
    report = velk_crc.check(path, mcuboot={"key": str(keys["ours"])})
    assert report.ok and report.mcuboot["slot"] == SLOT


@pytest.mark.parametrize("header", ["0x400", "0x100"])
def test_a_header_size_no_magic_fits_is_named(velk, monkeypatch, keys, merged, header):
    path = merged["unpadded"].parent / "fw_mcuboot_app_CRC_merged.hex"
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--mcuboot", f"header={header}")
    assert code == 1, out + err
    assert (f"MCUboot mismatch: hdr_size at 0x{SLOT + 8:08X} holds 0x200; it should hold "
            f"{header}") in out
    report = velk_crc.check(path, mcuboot={"header": int(header, 16)})
    assert not report.ok and report.mcuboot["slot"] == SLOT


def test_a_damaged_trailer_after_a_merged_bootloader(velk, monkeypatch, tmp_path, keys, merged):
    hexed = IntelHex(str(merged["padded"].parent / "fw_mcuboot_app_CRC_merged.hex"))
    end = SLOT + 0x20000
    hexed[end - 1] ^= 0xFF
    path = tmp_path / "damaged.hex"
    hexed.write_hex_file(str(path))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--mcuboot", f"key={keys['ours']}")
    assert code == 1, out + err
    assert f"MCUboot mismatch: the trailer's magic at 0x{end - 16:08X}" in out


# --- files cut inside the image: no read past the file's bytes ----------------

def payload_line_deleted(prefix, folder):
    """The signed HEX with 16 payload bytes gone and img_size 16 less."""
    hexed = IntelHex(str(prefix.with_suffix(".hex")))
    hdr_size, _, img_size = struct.unpack_from("<HHI", hexed.tobinstr(SLOT, SLOT + 16), 8)
    for a in range(SLOT + hdr_size + 0x40, SLOT + hdr_size + 0x50):
        del hexed[a]
    for i, b in enumerate(struct.pack("<I", img_size - 16)):
        hexed[SLOT + 12 + i] = b
    path = folder / "deleted.hex"
    hexed.write_hex_file(str(path))
    return path, f"holds nothing from 0x{SLOT + hdr_size + 0x40:08X}"


def segment_shortened(prefix, folder, which):
    """FLASH's _CRC.elf with one load segment's p_filesz 4 less: the
    application's (`payload`) or the TLVs' (`tlvs`)."""
    data = bytearray(prefix.with_suffix(".elf").read_bytes())
    phoff, = struct.unpack_from("<I", data, 0x1C)
    count, = struct.unpack_from("<H", data, 0x2C)
    loads = []
    for i in range(count):
        kind, _, vaddr, paddr, filesz = struct.unpack_from("<5I", data, phoff + 32 * i)
        if kind == 1 and filesz and SLOT <= paddr < SLOT + 0x20000:
            loads.append((paddr, phoff + 32 * i, filesz))
    loads.sort()
    paddr, at, filesz = loads[1] if which == "payload" else loads[-1]
    struct.pack_into("<I", data, at + 16, filesz - 4)
    path = folder / f"short-{which}.elf"
    path.write_bytes(bytes(data))
    return path, f"0x{paddr + filesz - 4:08X}"


@pytest.mark.parametrize("how", ["hex-line", "elf-payload", "elf-tlvs"])
@pytest.mark.parametrize("with_elf", [False, True], ids=["alone", "with-elf"])
def test_a_file_cut_inside_the_image_is_said(velk, monkeypatch, tmp_path, keys, images, how,
                                             with_elf):
    prefix = images["ours"]
    if how == "hex-line":
        path, said = payload_line_deleted(prefix, tmp_path)
    else:
        path, said = segment_shortened(prefix, tmp_path, how[4:])
    extra = ["--elf", prefix.parent / "fw_mcuboot_app.elf", "--ncrc_value"] if with_elf else []
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, *extra, "--mcuboot",
                             f"key={keys['ours']}")
    assert code == 1, out + err
    assert said in out and "MCUboot image mismatch: the file " in out, out
    report = velk_crc.check(path, mcuboot={"key": str(keys["ours"])})
    assert not report.ok


# --- FLASH's own .bin, and a signed image checked without --mcuboot ------------

def test_flashs_signed_bin_starts_at_the_slot(velk, monkeypatch, keys, images):
    prefix = images["ours"]
    elf = prefix.parent / "fw_mcuboot_app.elf"
    code, out, err = run_cli(velk, monkeypatch, "CHECK", prefix.with_suffix(".bin"), "--elf", elf,
                             "--ncrc_value", "--mcuboot", f"key={keys['ours']}")
    assert code == 0 and f"MCUboot image at 0x{SLOT:08X}" in out, out + err
    # Without a record the build's extent places it: the file then differs
    # from the build in the CRC's placeholder alone, which names its word.
    code, out, err = run_cli(velk, monkeypatch, "CHECK", prefix.with_suffix(".bin"), "--elf", elf,
                             "--mcuboot", f"key={keys['ours']}")
    assert "0xFFFFFFFFFFFFFFFF" not in err, out + err
    assert code == 2 and "only in crc_value" in err and "add --ncrc_value" in err, out + err
    report = velk_crc.check(prefix.with_suffix(".bin"), elf=elf, symbol="crc_value",
                            mcuboot={"key": str(keys["ours"])})
    assert report.ok and report.mcuboot["slot"] == SLOT


@pytest.mark.parametrize("suffix", [".hex", ".bin"])
def test_a_signed_image_without_mcuboot_is_hinted(velk, monkeypatch, images, suffix):
    prefix = images["ours"]
    words = ["CHECK", prefix.with_suffix(suffix), "--elf", prefix.parent / "fw_mcuboot_app.elf",
             "--ncrc_value"]
    code, out, err = run_cli(velk, monkeypatch, *words)
    # The verdict is the content's: a .bin without --mcuboot starts at the build.
    assert code == (0 if suffix == ".hex" else 1), out + err
    assert (f"hint: the file holds an MCUboot header at 0x{SLOT:08X}: --mcuboot checks"
            if suffix == ".hex" else "hint: the raw binary opens with an MCUboot header: "
            "--mcuboot places it at the image's slot") in err


# --- a padded slot's trailer, required by slot=, pad and confirm ---------------

@pytest.fixture(scope="module")
def padded(tmp_path_factory, keys):
    return flash(tmp_path_factory.mktemp("padded") / "p", f"key={keys['ours']}", "header=0x200",
                 "slot=0x20000", "confirm", extra=["--uf2", "stm32f4"])


def uf2_cut(prefix, folder):
    """FLASH's UF2 with the last block's payload 16 bytes short: no magic."""
    data = bytearray(prefix.with_suffix(".uf2").read_bytes())
    for at in range(0, len(data), 512):
        address, size = struct.unpack_from("<II", data, at + 12)
        if address + size == SLOT + 0x20000:
            struct.pack_into("<I", data, at + 16, size - 16)
    path = folder / "cut.uf2"
    path.write_bytes(bytes(data))
    return path


def trailer_moved(prefix, folder):
    data = bytearray(prefix.with_suffix(".elf").read_bytes())
    phoff, = struct.unpack_from("<I", data, 0x1C)
    count, = struct.unpack_from("<H", data, 0x2C)
    last = max((struct.unpack_from("<I", data, phoff + 32 * i + 12)[0], phoff + 32 * i)
               for i in range(count)
               if struct.unpack_from("<I", data, phoff + 32 * i)[0] == 1
               and SLOT <= struct.unpack_from("<I", data, phoff + 32 * i + 12)[0] < SLOT + 0x20000)
    paddr, at = last
    assert paddr + 0x18 == SLOT + 0x20000  # the trailer: image_ok's unit and the magic
    struct.pack_into("<II", data, at + 8, paddr + 0x1000, paddr + 0x1000)
    path = folder / "moved.elf"
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize("case,settings,code", [
    ("whole", ",slot=0x20000,confirm", 0),
    ("whole-slot-alone", ",slot=0x20000", 0),
    ("cut", ",slot=0x20000,confirm", 1),
    ("cut-pad", ",slot=0x20000,pad", 1),
    ("elf-moved", "", 1),
    ("uf2-cut", ",slot=0x20000,confirm", 1),
    ("elf-whole", "", 0),
    ("image_ok-erased", ",slot=0x20000,confirm", 1),
])
def test_a_padded_slots_trailer_is_required(velk, monkeypatch, tmp_path, keys, padded, case,
                                            settings, code):
    image = padded.with_suffix(".bin").read_bytes()
    extra = ["--base", hex(SLOT)]
    if case.startswith("elf"):
        path = trailer_moved(padded, tmp_path) if case == "elf-moved" else \
            padded.with_suffix(".elf")
        extra = []
    elif case == "uf2-cut":
        path, extra = uf2_cut(padded, tmp_path), []
    else:
        path = tmp_path / "slot.bin"
        body = image[:len(read_areas(image)[0]) + 0x90] if case.startswith("cut") else image
        if case == "image_ok-erased":
            body = bytearray(image)
            body[0x20000 - 0x18] = 0xFF
        path.write_bytes(bytes(body))
    got, out, err = run_cli(velk, monkeypatch, "CHECK", path, *extra, "--mcuboot",
                            f"key={keys['ours']}" + settings)
    assert got == code, out + err
    if case in ("cut", "cut-pad", "elf-moved", "uf2-cut"):
        assert (f"MCUboot mismatch: the trailer's magic at 0x{SLOT + 0x20000 - 16:08X} holds "
                "nothing") in out
    if case == "image_ok-erased":
        assert f"image_ok at 0x{SLOT + 0x20000 - 0x18:08X} holds 0xFF" in out
    # The API takes the same settings as a dict.
    settings_dict = {"key": str(keys["ours"])}
    for word in filter(None, settings.split(",")):
        name, _, value = word.partition("=")
        settings_dict[name] = int(value, 16) if value else True
    report = velk_crc.check(path, base=SLOT if extra else None, mcuboot=settings_dict)
    assert report.ok == (code == 0)


@pytest.mark.parametrize("settings,says", [
    ("pad", "give slot=<size> too"),
    ("slot=0", "slot= takes the slot's size"),
    ("align=4", "\"align=4\" is not one of them"),
])
def test_checks_slot_settings_refused_with_a_line(velk, monkeypatch, images, settings, says):
    code, _, err = run_cli(velk, monkeypatch, "CHECK", images["ours"].with_suffix(".bin"),
                           "--base", hex(SLOT), f"--mcuboot={settings}")
    assert code == 2 and says in err and err.count("\n") == 1, err


# --- MCUboot's own image check as the judge -------------------------------------

@pytest.fixture(scope="module")
def judge(tmp_path_factory):
    """MCUboot's bootutil_img_validate built for the host from the checkout
    VELK_MCUBOOT_SRC names (scripts/mcuboot_judge/build.sh)."""
    source = os.environ.get("VELK_MCUBOOT_SRC")
    if not source:
        pytest.skip("VELK_MCUBOOT_SRC names no MCUboot checkout to build the judge from")
    out = tmp_path_factory.mktemp("judge")
    here = os.path.dirname(os.path.abspath(__file__))
    subprocess.run([os.path.join(here, "..", "..", "scripts", "mcuboot_judge", "build.sh"), source,
                    out], check=True)
    return out / "judge-ed25519"


@pytest.mark.parametrize("case,arrange,code,named", REARRANGED, ids=[c[0] for c in REARRANGED])
def test_mcuboot_judges_the_rearranged_tlvs_alike(tmp_path, keys, images, judge, case, arrange,
                                                  code, named):
    covered, ours = read_areas(images["ours"].with_suffix(".bin").read_bytes())
    _, other = read_areas(images["other"].with_suffix(".bin").read_bytes())
    path = tmp_path / "rearranged.bin"
    path.write_bytes(rebuilt(covered, arrange(*ours, *other[1:])))
    der = tmp_path / "ours.der"
    subprocess.run(["openssl", "pkey", "-in", keys["ours"], "-pubout", "-outform", "DER",
                    "-out", der], check=True)
    judged = subprocess.run([judge, path, "0x20000", der], capture_output=True, text=True)
    # CHECK refuses a key hash under 16 bytes, which MCUboot takes.
    accepted = code == 0 or case in ("key-hash-prefix-4", "key-hash-empty")
    assert (judged.returncode == 0) == accepted, judged.stdout
