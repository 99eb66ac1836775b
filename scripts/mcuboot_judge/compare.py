"""CHECK --mcuboot's verdict against MCUboot's own image check, on FLASH's
signed images with their unprotected TLVs rearranged at random (entries of
the key's image, of another key's, damaged, cut to a prefix, of other
types). Prints how many verdicts agree.

    scripts/mcuboot_judge/build.sh <mcuboot checkout> <judges>
    python scripts/mcuboot_judge/compare.py <judges> [--count 600] [--seed 1]

CHECK refuses a key hash shorter than 16 bytes that MCUboot would take
(a few bytes match another key by chance): those are counted apart.
"""

import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import sysconfig
import tempfile

import velk_crc

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SLOT = 0x08004000  # tests/data/firmware/mcuboot_app.ld
KINDS = {"ed25519": ("ed25519", "judge-ed25519", 0x24), "ecdsa": ("ecdsa-p256", "judge-ec256", 0x22)}


def unprotected(image):
    """What the hash covers, and the unprotected entries as (type, value)."""
    hdr_size, protect, img_size = struct.unpack_from("<HHI", image, 8)
    start = hdr_size + img_size + protect
    _, total = struct.unpack_from("<HH", image, start)
    entries, at = [], start + 4
    while at < start + total:
        kind, _, length = struct.unpack_from("<BBH", image, at)
        entries.append((kind, image[at + 4:at + 4 + length]))
        at += 4 + length
    return image[:start], entries


def rebuilt(covered, entries):
    body = b"".join(struct.pack("<BBH", k, 0, len(v)) + v for k, v in entries)
    return covered + struct.pack("<HH", 0x6907, 4 + len(body)) + body


def signed(folder, key):
    os.makedirs(folder, exist_ok=True)
    shutil.copy(os.path.join(ROOT, "tests", "data", "fw_mcuboot_app.elf"), folder)
    subprocess.run([sys.executable, "-m", "velk_crc", "FLASH", "fw_mcuboot_app.elf",
                    "--ncrc_value", "--mcuboot", f"key={key},header=0x200", "--bin"],
                   cwd=folder, check=True, capture_output=True)
    with open(os.path.join(folder, "fw_mcuboot_app_CRC.bin"), "rb") as f:
        return f.read()


def campaign(judges, kind, count, rng, work):
    imgtool = shutil.which("imgtool", path=sysconfig.get_path("scripts")) or "imgtool"
    key_type, judge, signature = KINDS[kind]
    keys = {}
    for name in ("ours", "other"):
        keys[name] = os.path.join(work, f"{kind}-{name}.pem")
        subprocess.run([imgtool, "keygen", "-k", keys[name], "-t", key_type], check=True)
    der = os.path.join(work, f"{kind}.der")
    subprocess.run(["openssl", "pkey", "-in", keys["ours"], "-pubout", "-outform", "DER",
                    "-out", der], check=True)
    covered, ours = unprotected(signed(os.path.join(work, kind + "-ours"), keys["ours"]))
    _, theirs = unprotected(signed(os.path.join(work, kind + "-other"), keys["other"]))
    mine, other = dict(ours), dict(theirs)
    H, K, S = mine[0x10], mine[0x01], mine[signature]

    def spoiled(v):
        return v[:-1] + bytes([v[-1] ^ 1])

    pool = [(0x10, H), (0x10, spoiled(H)), (0x01, K), (0x01, K), (0x01, spoiled(K)),
            (0x01, other[0x01]), (signature, S), (signature, S), (signature, spoiled(S)),
            (signature, other[signature]), (0x01, K[:16]), (0x01, K[:20]), (0x01, K[:4]),
            (signature, S[:-1]), (0x11, H), (0x50, b"\x01\x00\x00\x00"), (0x01, K + b"\0")]
    agree, differ, short = 0, [], 0
    path = os.path.join(work, "rearranged.bin")
    for _ in range(count):
        entries = [rng.choice(pool) for _ in range(rng.randint(1, 6))]
        with open(path, "wb") as f:
            f.write(rebuilt(covered, entries))
        judged = subprocess.run([os.path.join(judges, judge), path, "0x20000", der],
                                capture_output=True).returncode == 0
        checked = velk_crc.check(path, base=SLOT, mcuboot={"key": keys["ours"]}).ok
        if any(t == 0x01 and len(v) < 16 for t, v in entries):
            short += 1
            assert not checked
        elif judged == checked:
            agree += 1
        else:
            differ.append([(t, len(v)) for t, v in entries])
    print(f"{kind}: {agree} of {count - short} verdicts agree with MCUboot's, "
          f"{short} with a key hash under 16 bytes refused")
    for d in differ:
        print("  differs:", d)
    return not differ


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("judges", help="the folder build.sh wrote")
    parser.add_argument("--count", type=int, default=600)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    with tempfile.TemporaryDirectory() as work:
        ok = all([campaign(args.judges, kind, args.count, rng, work) for kind in KINDS])
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
