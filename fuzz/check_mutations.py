"""Mutated copies of FLASH's own files thrown at CHECK, a bounded count.

    python fuzz/check_mutations.py --cases 2000 [--seed N] [--keep DIR]

Run it under the sanitizer build (LD_PRELOAD and ASAN_OPTIONS as
scripts/sanitize.sh sets them, log_path in the work folder): a case that
ends with a signal, an exit status other than 0, 1 or 2, or a sanitizer
report is a finding. For HEX and .bin seeds the mutation is made on the
memory the file holds (records rewritten with right checksums), so the
test knows which addresses changed: CHECK saying ok (exit 0) when a changed
address lies in the checksummed or signed bytes is a finding too.

Seeds: FLASH's files of the test firmware, plain and signed (Ed25519,
ECDSA, RSA; the header added before the build and over its own room;
padded and confirmed slots; merged with a bootloader that holds the
header's magic), in every format, each with the CHECK words a user gives
it (alone, with --elf, with --mcuboot and its settings).
"""

import argparse
import glob
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "data")
sys.path.insert(0, os.path.join(ROOT, "fuzz"))
from flash_campaign import build_own, make_keys  # noqa: E402

VELK = [sys.executable, "-m", "velk_crc"]


def flash(work, elf, words):
    p = subprocess.run([*VELK, "FLASH", elf, *words, "--bin", "--srec", "--uf2", "stm32f4",
                        "--json"], cwd=work, capture_output=True, text=True, env=clean_env())
    assert p.returncode == 0, (elf, words, p.stderr)
    return json.loads(p.stdout)


def clean_env():
    """FLASH's environment for the seeds: without the sanitizers' runtimes,
    and with VELK_SEED_PYTHONPATH (a plain build) when the checked one is
    a sanitizer build."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    if "VELK_SEED_PYTHONPATH" in env:
        env["PYTHONPATH"] = env["VELK_SEED_PYTHONPATH"]
    return env


def seeds(work, keys):
    """(file, CHECK words, covered ranges [(from, to)]) for each seed."""
    out = []
    loader = os.path.join(DATA, "fw_mcuboot_loader.hex")
    runs = [
        ("fw_boot.elf", ["--ncrc_value"], None),
        ("fw_two_checks.elf", ["--napp_crc", "--a1E0=CRC-16/XMODEM"], None),
        ("fw_header_crc32.elf", ["--header", "app_header:size@8,crc@12,hcrc@16"], None),
        ("fw_mcuboot_app.elf", ["--ncrc_value"], f"key={keys['ed25519']},header=0x200"),
        ("own_layout2.elf", ["--ncrc_value"], f"key={keys['ec256']},header=0x200,slot=0x4000,confirm"),
        ("own_layout1.elf", ["--ncrc_value"], f"key={keys['rsa2048']},header=0x200,slot=0x4000,pad"),
        ("fw_mcuboot_app_reserved.elf", ["--ncrc_value"], f"key={keys['ed25519']},header=0x200,slot=0x2000,confirm,align=8"),
        ("fw_mcuboot_app.elf", ["--a400"], "header=0x200"),
    ]
    for i, (elf, records, mcuboot) in enumerate(runs):
        d = os.path.join(work, f"seed{i}")
        os.makedirs(d, exist_ok=True)
        src = os.path.join(work if elf.startswith("own_") else DATA, elf)
        shutil.copy(src, d)
        words = list(records)
        merge = ["--merge", loader] if mcuboot else []
        if mcuboot:
            words += ["--mcuboot", mcuboot]
        report = flash(d, elf, [*words, *merge])
        m = report.get("mcuboot")
        check_mc = []
        if mcuboot:
            keep = [s for s in mcuboot.split(",") if s.split("=")[0] in
                    ("key", "header", "slot", "pad", "confirm")]
            check_mc = ["--mcuboot", ",".join(keep)]
        covered = []
        if m:
            covered.append((m["slot"], m["image_end"]))
        root = os.path.join(d, elf[:-4])
        for f in sorted(glob.glob(root + "_CRC*")):
            name = os.path.basename(f)
            merged = "_merged" in name
            mw = ["--merge", loader] if merged else []
            uf2 = ["--uf2", "stm32f4"] if name.endswith(".uf2") else []
            if name.endswith(".elf"):
                out.append((f, [*records, *check_mc], covered, elf))
                continue
            out.append((f, [*records, "--elf", os.path.join(d, elf), *mw, *uf2, *check_mc],
                        covered, elf))
            if check_mc and not name.endswith(".bin"):
                out.append((f, [*uf2, *check_mc], covered, elf))
                out.append((f, [*uf2, "--mcuboot"], [], elf))
            if not check_mc and not name.endswith(".bin") and not merged:
                out.append((f, [*records, *uf2], [], elf))
    return out


# --- memory-level files ------------------------------------------------------
def read_memory(path):
    if path.endswith(".hex"):
        from intelhex import IntelHex
        ih = IntelHex(path)
        return {a: ih[a] for a in ih.addresses()}, ih.start_addr
    return None, None


def write_hex(path, memory, start):
    from intelhex import IntelHex
    ih = IntelHex()
    for a, b in memory.items():
        ih[a] = b
    if start:
        ih.start_addr = start
    ih.write_hex_file(path)


def anchors_of(memory, covered):
    """The signed image's header and its TLV areas' info headers: where
    a field set to an edge value reaches the walk."""
    out = []
    for slot, _ in covered:
        try:
            hdr, protect, size = struct.unpack("<HHI", bytes(memory[slot + 8 + i] for i in range(8)))
        except KeyError:
            continue
        tlvs = slot + hdr + size
        out += [slot + f for f in (8, 10, 12, 16)]
        out += [tlvs + 2, tlvs + 4, tlvs + 6, tlvs + protect + 2, tlvs + protect + 6,
                tlvs + protect + 4 + 36 + 2, tlvs + protect + 4 + 36 + 6]
    return out


def mutate_memory(rng, memory, anchors=()):
    """A changed copy of the memory and the addresses that changed."""
    mem = dict(memory)
    addrs = sorted(mem)
    how = rng.random()
    if anchors and how < 0.25:
        at = rng.choice(anchors)
        val = rng.choice([0, 1, 2, 3, 4, 0x20, 0x24, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0xFFFF,
                          0xFFFC, 0xFFFE])
        val = (val + rng.choice([0, 0, 1, -1, 4, -4])) & 0xFFFF
        for i, b in enumerate(struct.pack("<H", val)):
            if at + i in mem:
                mem[at + i] = b
    elif how < 0.45:
        for _ in range(rng.choice([1, 1, 2, 4])):
            a = rng.choice(addrs)
            mem[a] = (mem[a] ^ (1 << rng.randrange(8))) if rng.random() < 0.7 else rng.randrange(256)
    elif how < 0.6:
        # cut the file short
        cut = rng.choice(addrs[len(addrs) // 2:])
        for a in addrs:
            if a >= cut:
                del mem[a]
    elif how < 0.75:
        # a hole
        a = rng.choice(addrs)
        for x in range(a, a + rng.choice([1, 4, 16, 64, 256])):
            mem.pop(x, None)
    elif how < 0.9:
        # a header field near the image's start set to an edge value
        base = addrs[0] if rng.random() < 0.5 else rng.choice(addrs)
        at = base + rng.choice([8, 10, 12, 16, 20, 0x200, 0x202, 0x204, 0x206])
        val = rng.choice([0, 1, 0xFFFF, 0xFFFFFFFF, 0x7FFFFFFF, 0x20, 0x200, 0x10000, 4, 0x6907,
                          0x6908])
        for i, b in enumerate(struct.pack("<I", val & 0xFFFFFFFF)):
            if at + i in mem:
                mem[at + i] = b
    else:
        # bytes moved: a block copied over another
        a, b = rng.choice(addrs), rng.choice(addrs)
        n = rng.choice([4, 16, 64])
        for i in range(n):
            if a + i in memory and b + i in mem:
                mem[b + i] = memory[a + i]
    # a byte left out reads as erased flash, as it was
    changed = {a for a in set(memory) | set(mem) if memory.get(a, 0xFF) != mem.get(a, 0xFF)}
    return mem, changed


def mutate_bytes(rng, data):
    d = bytearray(data)
    how = rng.random()
    if how < 0.4:
        for _ in range(rng.choice([1, 2, 8])):
            i = rng.randrange(len(d))
            d[i] = rng.randrange(256)
    elif how < 0.55:
        d = d[:rng.randrange(len(d))]
    elif how < 0.7:
        i = rng.randrange(len(d))
        del d[i:i + rng.choice([1, 4, 32, 512])]
    elif how < 0.85 and data[:4] == b"\x7fELF":
        # an ELF header or program header field to an edge value
        phoff = struct.unpack_from("<I", d, 0x1C)[0]
        phnum = struct.unpack_from("<H", d, 0x2C)[0]
        shoff = struct.unpack_from("<I", d, 0x20)[0]
        choices = [0x18, 0x1C, 0x20, 0x2C, 0x2E, 0x30, 0x32]
        for k in range(phnum):
            choices += [phoff + 32 * k + f for f in (4, 8, 12, 16, 20)]
        for k in range(4):
            choices += [shoff + 40 * k + f for f in (12, 16, 20)]
        at = rng.choice(choices)
        if at + 4 <= len(d):
            val = rng.choice([0, 1, 4, 0xFFFFFFFF, 0x7FFFFFFF, len(d), len(d) - 4, 0x08004000,
                              struct.unpack_from("<I", d, at)[0] - 4, struct.unpack_from("<I", d, at)[0] + 4])
            struct.pack_into("<I", d, at, val & 0xFFFFFFFF)
    elif how < 0.95:
        # text: a line gone or doubled (HEX, S-records)
        lines = bytes(d).split(b"\n")
        if len(lines) > 2:
            i = rng.randrange(len(lines) - 1)
            if rng.random() < 0.5:
                del lines[i]
            else:
                lines.insert(i, lines[i])
            d = bytearray(b"\n".join(lines))
    else:
        i = rng.randrange(len(d))
        d[i:i] = bytes(rng.randrange(256) for _ in range(rng.choice([1, 4, 512])))
    return bytes(d)


def start_campaign(doc, prefix):
    """What a campaign starts from: its words (--cases, --seed, --keep), a
    random source, its folder, our own build, keys, the seed files, and the
    environment that sends sanitizer reports to <folder>/asan."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--cases", type=int, default=500)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    work = args.keep or tempfile.mkdtemp(prefix=prefix)
    os.makedirs(work, exist_ok=True)
    build_own(work)
    keys = make_keys(work)
    table = seeds(work, keys)
    logs = os.path.join(work, "asan")
    os.makedirs(logs, exist_ok=True)
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += f":log_path={logs}/asan"
        env["UBSAN_OPTIONS"] = env.get("UBSAN_OPTIONS", "") + f":log_path={logs}/ubsan"
    return args, rng, work, keys, table, logs, env


def main():
    args, rng, work, keys, table, asan_logs, env = start_campaign(__doc__, "velk-check-mut-")
    counts = {"cases": 0, "exit0": 0, "exit1": 0, "exit2": 0, "findings": 0}
    case_dir = os.path.join(work, "case")
    os.makedirs(case_dir, exist_ok=True)
    for n in range(args.cases):
        path, words, covered, elf = rng.choice(table)
        suffix = os.path.splitext(path)[1]
        target = os.path.join(case_dir, "f" + ("_merged" if "_merged" in path else "") + suffix)
        changed = None
        memory, start = read_memory(path)
        if memory is not None and rng.random() < 0.7:
            mem, changed = mutate_memory(rng, memory, anchors_of(memory, covered))
            write_hex(target, mem, start)
        else:
            with open(path, "rb") as f:
                data = f.read()
            if suffix == ".bin" and rng.random() < 0.7:
                # as memory: the file's offset is the address
                mutated = bytearray(data)
                m, ch = mutate_memory(rng, dict(enumerate(data)))
                top = max(m) + 1 if m else 0
                mutated = bytearray(m.get(i, 0xFF) for i in range(top))
                if any(i not in m for i in range(top)):
                    ch = None  # holes in a .bin read as erased
                changed = None if ch is None else set(ch)
                if changed is not None and len(mutated) < len(data):
                    changed |= set(range(len(mutated), len(data)))
                data = bytes(mutated)
                # bin addresses are offsets: map covered ranges by the slot
            else:
                data = mutate_bytes(rng, data)
            with open(target, "wb") as f:
                f.write(data)
        cmd = [*VELK, "CHECK", target, *words]
        for old in glob.glob(asan_logs + "/*"):
            os.remove(old)
        try:
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=60, env=env)
            code = p.returncode
        except subprocess.TimeoutExpired:
            code, p = "timeout", None
        counts["cases"] += 1
        if counts["cases"] % 100 == 0:
            print(json.dumps(counts), flush=True)
        if code in (0, 1, 2):
            counts[f"exit{code}"] += 1
        reports = glob.glob(asan_logs + "/*")
        bad = None
        if code not in (0, 1, 2) or reports:
            bad = f"exit {code}" + (f", sanitizer report {open(reports[0]).read()[:3000]}" if reports else "")
        elif code == 0 and changed and suffix == ".hex":
            spans = list(covered)
            if "--elf" in words:  # every byte the file holds is the build's or checked
                spans.append((min(memory), max(memory) + 1))
            hit = sorted(a for a in changed if any(lo <= a < hi for lo, hi in spans))
            if hit:
                bad = f"ok for a file changed in its signed bytes, first at {hit[0]:#x}"
        if p is not None and "Traceback" in (p.stderr or ""):
            bad = (bad or "") + " traceback"
        if bad:
            counts["findings"] += 1
            dest = os.path.join(work, f"finding-{n}{suffix}")
            shutil.copy(target, dest)
            print(f"[{n}] {bad}\n  $ velk-crc CHECK {dest} {' '.join(words)}\n  "
                  + ((p.stdout + p.stderr)[-1500:].replace("\n", "\n  ") if p else ""), flush=True)
    print(json.dumps(counts))


if __name__ == "__main__":
    main()
