"""Broken MCUboot images thrown at CHECK: malformed TLVs of the signing and
encryption kinds, header flags that contradict the TLVs, and seeded random
byte flips and truncations of valid signed and encrypted images.

    python scripts/mcuboot_check_fuzz.py [--cases 300] [--seed 1] [--keep DIR]

Every case must end with exit status 0, 1 or 2, at most one error line on
standard error, and no traceback, signal or hang. The images are FLASH's own
(.bin at the slot's address), made in a scratch folder by the Python API
from a small application; the test suite runs a short version.
"""

import argparse
import os
import random
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from elfwriter import Elf, Segment  # noqa: E402

SLOT = 0x08000000
HEADER = 0x200
CODE = SLOT + HEADER
BODY = 0x5F4        # not whole AES blocks: an encrypted image is padded
TLV_INFO, TLV_PROT = 0x6907, 0x6908
FLAG_RAM_LOAD, FLAG_AES128, FLAG_AES256, FLAG_ROM_FIXED = 0x20, 0x04, 0x08, 0x100


def make_keys(folder):
    from cryptography.hazmat.primitives import serialization as ser
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa, x25519
    made = {"ed": ed25519.Ed25519PrivateKey.generate(),
            "p256": ec.generate_private_key(ec.SECP256R1()),
            "p384": ec.generate_private_key(ec.SECP384R1()),
            "rsa": rsa.generate_private_key(public_exponent=65537, key_size=2048),
            "x25519": x25519.X25519PrivateKey.generate()}
    paths = {}
    for name, key in made.items():
        paths[name] = os.path.join(folder, name + ".pem")
        with open(paths[name], "wb") as f:
            f.write(key.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.PKCS8,
                                      ser.NoEncryption()))
    for name, size in (("kek", 16), ("kek15", 15), ("kek33", 33)):
        paths[name] = os.path.join(folder, name)
        with open(paths[name], "wb") as f:
            f.write(bytes(range(7, 7 + size)))
    return paths


def make_elf(path):
    data = bytearray((i * 13 + 5) & 0xFF for i in range(BODY))
    struct.pack_into("<II", data, 0, 0x20002000, CODE + 0x41)
    data[-4:] = bytes(4)
    with open(path, "wb") as f:
        f.write(Elf(segments=[Segment(CODE, bytes(data), section=".text")],
                    symbols=[("crc_slot", CODE + BODY - 4, 4, 1)], entry=CODE + 0x41).build())


# (name, FLASH's --mcuboot settings, CHECK's --mcuboot settings)
SEEDS = [
    ("ed-pure", "key={ed},header=0x200,slot=0x10000,pure", "key={ed}"),
    ("p384-record", "key={p384},header=0x200,slot=0x10000,sha=384,boot-record=SPE",
     "key={p384}"),
    ("ed-x25519", "key={ed},header=0x200,slot=0x10000,encrypt={x25519}",
     "key={ed},decrypt={x25519}"),
    ("p256-ecies", "key={p256},header=0x200,slot=0x10000,encrypt={p256},rom-fixed=0x08000000",
     "key={p256},decrypt={p256}"),
    ("rsa-oaep", "key={rsa},header=0x200,slot=0x10000,encrypt={rsa},aes=256",
     "key={rsa},decrypt={rsa}"),
    ("ed-kw", "key={ed},header=0x200,slot=0x10000,encrypt-kw={kek},confirm",
     "key={ed},decrypt={kek},slot=0x10000"),
]


def velk():
    return [sys.executable, "-m", "velk_crc"]


def build_seeds(work):
    """{name: (image bytes, CHECK's words)}, each image FLASH's .bin."""
    keys = make_keys(work)
    elf = os.path.join(work, "fw.elf")
    make_elf(elf)
    seeds = {}
    for name, flash_words, check_words in SEEDS:
        p = subprocess.run([*velk(), "FLASH", elf, "--ncrc_slot", "--bin", "--mcuboot",
                            flash_words.format(**keys)], cwd=work, capture_output=True,
                           text=True, timeout=120)
        assert p.returncode == 0, (name, p.stderr)
        with open(os.path.join(work, "fw_CRC.bin"), "rb") as f:
            seeds[name] = (f.read(), check_words.format(**keys))
    return seeds, keys


class Image:
    """A signed image split into its header, payload and TLV entries, so a
    case can rewrite one entry and lay the areas out again."""

    def __init__(self, data):
        self.data = bytearray(data)
        _, self.load_addr, self.hdr_size, self.prot_size, self.img_size, self.flags = \
            struct.unpack_from("<IIHHII", data, 0)
        at = self.hdr_size + self.img_size
        self.protected, self.unprotected = [], []
        if self.prot_size:
            at = self._area(at, TLV_PROT, self.protected)
        at = self._area(at, TLV_INFO, self.unprotected)
        self.tail = bytes(data[at:])

    def _area(self, at, magic, out):
        got, total = struct.unpack_from("<HH", self.data, at)
        assert got == magic
        end, at = at + total, at + 4
        while at < end:
            kind, size = struct.unpack_from("<HH", self.data, at)
            out.append([kind, bytes(self.data[at + 4:at + 4 + size])])
            at += 4 + size
        return end

    @staticmethod
    def _pack(magic, entries):
        body = b"".join(struct.pack("<HH", k, len(v)) + v for k, v in entries)
        return struct.pack("<HH", magic, 4 + len(body)) + body

    def build(self, keep_prot_size=False):
        prot = self._pack(TLV_PROT, self.protected) if self.protected else b""
        head = bytearray(self.data[:self.hdr_size + self.img_size])
        if not keep_prot_size:
            struct.pack_into("<H", head, 10, len(prot))
        struct.pack_into("<I", head, 16, self.flags)
        struct.pack_into("<I", head, 4, self.load_addr)
        struct.pack_into("<I", head, 12, self.img_size)
        return bytes(head) + prot + self._pack(TLV_INFO, self.unprotected) + self.tail

    def set(self, kind, value, area=None):
        """Replaces every entry of that type (adds one where none is)."""
        entries = area if area is not None else self.unprotected
        hit = [e for e in entries if e[0] == kind]
        for e in hit:
            e[1] = value
        if not hit:
            entries.append([kind, value])
        return self

    def drop(self, kind):
        self.protected = [e for e in self.protected if e[0] != kind]
        self.unprotected = [e for e in self.unprotected if e[0] != kind]
        return self


def cbor_nest(depth):
    return b"\x81" * depth + b"\x00"


def targeted(seeds, keys):
    """(id, image bytes, CHECK's --mcuboot words) of each deliberate fault."""
    def case(seed, change, words=None, **kw):
        image = Image(seeds[seed][0])
        out = change(image)
        data = out if isinstance(out, (bytes, bytearray)) else image.build(**kw)
        return data, words.format(**keys) if words else seeds[seed][1]

    def record(v):
        return lambda i: i.set(0x60, v, i.protected)

    def flags(f):
        def go(i):
            i.flags = f
        return go

    cases = {
        "sha384-short": ("p384-record", lambda i: i.set(0x11, bytes(47))),
        "sha384-long": ("p384-record", lambda i: i.set(0x11, bytes(49))),
        "sha512-short": ("ed-pure", lambda i: i.set(0x12, bytes(32))),
        "sha512-beside-sha256": ("ed-x25519", lambda i: i.set(0x12, bytes(64))),
        "sha384-in-ed": ("ed-pure", lambda i: i.set(0x11, bytes(48))),
        "pure-00": ("ed-pure", lambda i: i.set(0x25, b"\x00")),
        "pure-02": ("ed-pure", lambda i: i.set(0x25, b"\x02")),
        "pure-empty": ("ed-pure", lambda i: i.set(0x25, b"")),
        "pure-long": ("ed-pure", lambda i: i.set(0x25, b"\x01\x01")),
        "pure-on-ecdsa": ("p384-record", lambda i: i.set(0x25, b"\x01")),
        "pure-twice": ("ed-pure", lambda i: i.unprotected.append([0x25, b"\x01"])),
        "pure-dropped": ("ed-pure", lambda i: i.drop(0x25)),
        "pure-protected": ("ed-pure", lambda i: i.drop(0x25).set(0x25, b"\x01", i.protected)),
        "record-empty": ("p384-record", record(b"")),
        "record-truncated": ("p384-record", lambda i: record(dict(i.protected)[0x60][:-7])(i)),
        "record-one-byte": ("p384-record", record(b"\xa5")),
        "record-nested": ("p384-record", record(cbor_nest(60000))),
        "record-nested-maps": ("p384-record", record(b"\xa1\x00" * 30000 + b"\x00")),
        "record-huge-length": ("p384-record", record(b"\x5b" + b"\xff" * 8)),
        "record-huge-map": ("p384-record", record(b"\xbb" + b"\xff" * 8)),
        "record-indefinite": ("p384-record", record(b"\xbf" * 1000)),
        "record-break": ("p384-record", record(b"\xff")),
        "record-reserved": ("p384-record", record(b"\x1c")),
        "record-tag-loop": ("p384-record", record(b"\xc6" * 20000 + b"\x00")),
        "record-text-bad-utf8": ("p384-record", record(b"\xa1\x01\x62\xff\xfe")),
        "record-float": ("p384-record", record(b"\xa1\x01\xfb" + bytes(8))),
        "record-unprotected": ("p384-record",
                               lambda i: i.set(0x60, dict(i.protected)[0x60]) and None),
        "enc-x25519-short": ("ed-x25519", lambda i: i.set(0x33, bytes(16))),
        "enc-x25519-empty": ("ed-x25519", lambda i: i.set(0x33, b"")),
        "enc-x25519-long": ("ed-x25519", lambda i: i.set(0x33, bytes(200))),
        "enc-p256-short": ("p256-ecies", lambda i: i.set(0x32, bytes(40))),
        "enc-p256-bad-point": ("p256-ecies", lambda i: i.set(0x32, b"\x04" + bytes(128))),
        "enc-rsa-short": ("rsa-oaep", lambda i: i.set(0x30, bytes(100))),
        "enc-rsa-zero": ("rsa-oaep", lambda i: i.set(0x30, bytes(256))),
        "enc-kw-23": ("ed-kw", lambda i: i.set(0x31, bytes(23))),
        "enc-kw-24": ("ed-kw", lambda i: i.set(0x31, bytes(24))),
        "enc-kw-0": ("ed-kw", lambda i: i.set(0x31, b"")),
        "enc-kw-41": ("ed-kw", lambda i: i.set(0x31, bytes(41))),
        "enc-34-in-x25519": ("ed-x25519", lambda i: i.set(0x34, bytes(113))),
        "enc-two-keys": ("ed-x25519", lambda i: i.set(0x31, bytes(24))),
        "both-aes-flags": ("ed-x25519", flags(FLAG_AES128 | FLAG_AES256)),
        "aes256-flag-x25519": ("ed-x25519", flags(FLAG_AES256)),
        "flag-no-key-tlv": ("ed-x25519", lambda i: i.drop(0x33) and None),
        "key-tlv-no-flag": ("ed-x25519", flags(0)),
        "key-tlv-plain-image": ("ed-pure", lambda i: i.set(0x33, bytes(113))),
        "img-size-odd": ("ed-x25519", lambda i: setattr(i, "img_size", i.img_size - 3)),
        "img-size-huge": ("ed-x25519", lambda i: setattr(i, "img_size", 0xFFFFFFF0)),
        "prot-size-huge": ("p384-record", lambda i: struct.pack_into("<H", i.data, 10, 0xFFFF)
                           or i.data, None),
        "hdr-size-zero": ("ed-pure", lambda i: struct.pack_into("<H", i.data, 8 + 0, 0)
                          or (i.data[:8] + b"\x00\x00" + i.data[10:])),
        "rom-fixed-odd": ("p256-ecies", lambda i: setattr(i, "load_addr", 0x08000001)),
        "rom-fixed-zero": ("p256-ecies", lambda i: setattr(i, "load_addr", 0)),
        "ram-load-odd": ("ed-pure", lambda i: (flags(FLAG_RAM_LOAD)(i),
                                               setattr(i, "load_addr", 0x20000003))[0]),
        "ram-and-rom": ("p256-ecies", lambda i: flags(FLAG_RAM_LOAD | FLAG_ROM_FIXED
                                                       | FLAG_AES128)(i)),
        "all-flags": ("ed-pure", flags(0xFFFFFFFF)),
        "truncated-in-tlvs": ("ed-x25519", lambda i: bytes(i.data[:-40])),
        "truncated-in-header": ("ed-x25519", lambda i: bytes(i.data[:20])),
        "truncated-in-payload": ("ed-x25519", lambda i: bytes(i.data[:0x300])),
        "trailer-short": ("ed-kw", lambda i: bytes(i.data[:-100])),
        "trailer-long": ("ed-kw", lambda i: bytes(i.data) + b"\xff" * 64),
        "decrypt-wrong-kind": ("ed-x25519", lambda i: None, "key={ed},decrypt={p256}"),
        "decrypt-rsa-for-kw": ("ed-kw", lambda i: None, "key={ed},decrypt={rsa}"),
        "decrypt-ed-key": ("ed-x25519", lambda i: None, "key={ed},decrypt={ed}"),
        "decrypt-kek-for-x25519": ("ed-x25519", lambda i: None, "key={ed},decrypt={kek}"),
        "kek-15": ("ed-kw", lambda i: None, "key={ed},decrypt={kek15}"),
        "kek-33": ("ed-kw", lambda i: None, "key={ed},decrypt={kek33}"),
        "decrypt-plain-image": ("ed-pure", lambda i: None, "key={ed},decrypt={x25519}"),
        "decrypt-missing-file": ("ed-x25519", lambda i: None, "key={ed},decrypt=/nonexistent"),
    }
    out = {}
    for name, spec in cases.items():
        seed, change = spec[0], spec[1]
        words = spec[2] if len(spec) > 2 else None
        out[name] = case(seed, change, words)
    return out


def random_cases(seeds, count, seed):
    rng = random.Random(seed)
    names = sorted(seeds)
    for n in range(count):
        name = rng.choice(names)
        data, words = seeds[name]
        data = bytearray(data)
        how = rng.choice(["flip", "flip", "bytes", "truncate", "tlv"])
        if how == "flip":
            at = rng.randrange(len(data))
            data[at] ^= 1 << rng.randrange(8)
        elif how == "bytes":
            for _ in range(rng.randrange(1, 8)):
                data[rng.randrange(len(data))] = rng.randrange(256)
        elif how == "truncate":
            data = data[:rng.randrange(len(data))]
        else:
            # a byte in the header or the TLV areas, where the structure is
            image = Image(bytes(data))
            tlvs = image.hdr_size + image.img_size
            at = rng.choice([rng.randrange(32), rng.randrange(tlvs, len(data))])
            data[at] = rng.randrange(256)
        yield f"{n}-{name}-{how}", bytes(data), words


def run_case(work, name, data, words, timeout=60):
    """None when CHECK ended as it should, or the reason it did not."""
    path = os.path.join(work, "case.bin")
    with open(path, "wb") as f:
        f.write(data)
    try:
        p = subprocess.run([*velk(), "CHECK", path, "--base", hex(SLOT), "--mcuboot", words],
                           capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return f"{name}: hung"
    errors = [line for line in p.stderr.splitlines() if line.strip()]
    if os.environ.get("VELK_FUZZ_SHOW"):
        print(f"{name}: exit {p.returncode}: {p.stderr.strip()}")
        if os.environ.get("VELK_FUZZ_SHOW") == name:
            print(p.stdout)
    if p.returncode not in (0, 1, 2):
        return f"{name}: exit {p.returncode}: {p.stderr[-2000:]}"
    if "Traceback" in p.stderr or len(errors) > 1:
        return f"{name}: stderr {p.stderr[-2000:]}"
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cases", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep")
    args = ap.parse_args()
    work = args.keep or tempfile.mkdtemp(prefix="velk-mcuboot-fuzz-")
    os.makedirs(work, exist_ok=True)
    seeds, keys = build_seeds(work)
    found = []
    for name, (data, words) in targeted(seeds, keys).items():
        bad = run_case(work, name, data, words)
        if bad:
            found.append(bad)
            print(bad, flush=True)
    for name, data, words in random_cases(seeds, args.cases, args.seed):
        bad = run_case(work, name, data, words)
        if bad:
            found.append(bad)
            print(bad, flush=True)
    print(f"{len(found)} findings")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
