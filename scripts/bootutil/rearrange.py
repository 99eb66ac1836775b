"""Rearranged unprotected TLV areas of one signed MCUboot image.

usage: rearrange.py OURS.bin OTHER.bin OUTDIR

OURS.bin and OTHER.bin are the same build signed with key a and key b, with
the same settings, so their headers, payloads, protected TLVs and hashes are
the same and each signature is valid for its own key. Each case keeps the
image and protected TLVs and writes a new unprotected area (its info header's
total set to the new length), as an attacker or a faulty signer could without
any key. The key TLV is the key's hash, or the key itself where the images
carry it (pubkey=full); the cases' names say "keyhash" for either. The cases
are written to OUTDIR/<case>.bin and their names, in order, to OUTDIR/list.
"""

import os
import struct
import sys

HEADER_MAGIC = 0x96F3B83D
INFO_MAGIC = 0x6907
PROT_INFO_MAGIC = 0x6908
SHA256 = 0x10
KEYHASH = 0x01
PUBKEY = 0x02


def split(image):
    """The bytes before the unprotected TLV area, and its TLVs as
    (type, value) pairs."""
    magic, _load, hdr_size, prot_size, img_size = struct.unpack_from("<IIHHI", image, 0)
    if magic != HEADER_MAGIC:
        sys.exit(f"rearrange: no MCUboot header at the start of the file")
    at = hdr_size + img_size
    if prot_size:
        info, total = struct.unpack_from("<HH", image, at)
        assert info == PROT_INFO_MAGIC and total == prot_size
        at += prot_size
    info, total = struct.unpack_from("<HH", image, at)
    assert info == INFO_MAGIC, "no unprotected TLV area"
    tlvs, off, end = [], at + 4, at + total
    while off < end:
        kind, length = struct.unpack_from("<HH", image, off)
        tlvs.append((kind, image[off + 4:off + 4 + length]))
        off += 4 + length
    return image[:at], tlvs


def join(head, tlvs):
    body = b"".join(struct.pack("<HH", kind, len(value)) + value for kind, value in tlvs)
    return head + struct.pack("<HH", INFO_MAGIC, 4 + len(body)) + body


def flipped(value, at=0):
    return value[:at] + bytes([value[at] ^ 0xFF]) + value[at + 1:]


def cases(ours, other):
    head, tlvs = split(ours)
    head_b, tlvs_b = split(other)
    assert head == head_b, "the two images differ before their unprotected TLVs"
    by_kind = dict(tlvs)
    key_kind = KEYHASH if KEYHASH in by_kind else PUBKEY
    sig_kind = next(kind for kind, _ in tlvs if kind not in (SHA256, key_kind))
    h = (SHA256, by_kind[SHA256])
    k = (key_kind, by_kind[key_kind])
    s = (sig_kind, by_kind[sig_kind])
    other_kinds = dict(tlvs_b)
    ko = (key_kind, other_kinds[key_kind])
    so = (sig_kind, other_kinds[sig_kind])
    h_wrong = (SHA256, flipped(h[1]))
    k_wrong = (key_kind, flipped(k[1], len(k[1]) - 1))
    s_corrupt = (sig_kind, flipped(s[1], len(s[1]) - 1))
    areas = [
        ("as-signed", [h, k, s]),
        ("sha256-twice-second-wrong", [h, h_wrong, k, s]),
        ("sha256-wrong-after-signature", [h, k, s, h_wrong]),
        ("signature-before-keyhash", [h, s, k]),
        ("keyhash-sig-twice-second-corrupt", [h, k, s, k, s_corrupt]),
        ("keyhash-sig-twice-first-corrupt", [h, k, s_corrupt, k, s]),
        ("ours-then-wrong-keyhash-then-sig", [h, k, k_wrong, s]),
        ("other-key-before-ours", [h, ko, so, k, s]),
        ("other-key-after-ours", [h, k, s, ko, so]),
        ("wrong-keyhash-before-right", [h, k_wrong, k, s]),
        ("other-signature-under-our-keyhash", [h, k, so]),
        ("our-signature-under-other-keyhash", [h, ko, s]),
        ("keyhash-prefix-16", [h, (key_kind, k[1][:16]), s]),
        ("keyhash-prefix-1", [h, (key_kind, k[1][:1]), s]),
        ("keyhash-empty", [h, (key_kind, b""), s]),
        ("keyhash-33-bytes", [h, (key_kind, k[1] + b"\0"), s]),
        ("no-keyhash", [h, s]),
        ("no-signature", [h, k]),
        ("no-sha256", [k, s]),
        ("unknown-tlv-0x77-unprotected", [h, (0x77, b"\x01\x02\x03\x04"), k, s]),
    ]
    for name, area in areas:
        yield name, join(head, area)
    signed = join(head, [h, k, s])
    yield "bytes-after-tlvs", signed + bytes([0xA5]) * 16
    yield "cut-one-byte-short", signed[:-1]


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[2])
    with open(sys.argv[1], "rb") as f:
        ours = f.read()
    with open(sys.argv[2], "rb") as f:
        other = f.read()
    out = sys.argv[3]
    os.makedirs(out, exist_ok=True)
    names = []
    for name, data in cases(ours, other):
        with open(os.path.join(out, name + ".bin"), "wb") as f:
            f.write(data)
        names.append(name)
    with open(os.path.join(out, "list"), "w") as f:
        f.write("\n".join(names) + "\n")
    print("\n".join(names))


if __name__ == "__main__":
    main()
