"""Random FLASH option sets over the test firmware; every file of every run
that exits 0 must pass CHECK in the ways a user checks it.

    python fuzz/flash_campaign.py --runs 500 [--seed N] [--judge DIR] [--keep DIR]

Each run picks an ELF (tests/data, and the signed-image applications linked
here with GNU ld's default flags), its records (--n/--a/--s with
algorithms, ranges from a symbol or an address), --exclude with and without
record names, --crc/--be/--fill/--words, the output formats, --merge with a
bootloader and --mcuboot in either header layout with a key, slot, pad,
confirm and align. FLASH must exit 0 or refuse (255, 2); exit 70 is its own
check refusing what it made, and anything else is a fault. After exit 0:
_CRC.elf alone, every HEX/S-record/UF2/.bin with --elf (and --merge for the
merged ones), signed files with --mcuboot (alone and with --elf); with
--judge, MCUboot's own image check (scripts/mcuboot_judge) on the signed
slot. A finding is printed with the commands that reproduce it.
"""

import argparse
import json
import os
import random
import shlex
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "data")
FW = os.path.join(DATA, "firmware")

ALGORITHMS = ["CRC-32/MPEG-2", "CRC-32/ISO-HDLC", "CRC-16/XMODEM", "crc-32c", "modbus",
              "CRC-8/SMBUS", "CRC-24/BLE", "CRC-64/XZ", "fletcher-32", "adler-32",
              "sum-32/words/neg", "sha-256", "CRC-21/CAN-FD"]

# name: (symbol words usable with --n, start of the flash image, the build's
# placeholder symbol(s))
ELVES = {
    "fw_boot.elf": ["crc_value"],
    "fw_clean.elf": ["crc_value"],
    "fw_words.elf": ["crc_value"],
    "fw_bss.elf": ["crc_value"],
    "fw_debug_gc.elf": ["crc_value"],
    "fw_aligned_vectors.elf": ["crc_value"],
    "fw_after_bootloader.elf": ["crc_value"],
    "fw_bootloaded_app.elf": ["crc_value"],
    "fw_two_checks.elf": ["app_crc"],
    "fw_data.elf": [],
    "fw_exidx.elf": [],
    "fw_header_crc32.elf": [],
    "fw_header_xmodem.elf": [],
    "fw_mcuboot_app.elf": ["crc_value"],
    "fw_mcuboot_app_reserved.elf": ["crc_value"],
    # linked here with default ld flags (see build_own)
    "own_layout2.elf": ["crc_value"],
    "own_layout1.elf": ["crc_value"],
}
SIGNABLE = {"fw_mcuboot_app.elf", "fw_mcuboot_app_reserved.elf", "own_layout2.elf",
            "own_layout1.elf", "fw_bootloaded_app.elf", "fw_header_crc32.elf",
            "fw_two_checks.elf", "fw_boot.elf"}


def build_own(work):
    """The signed image's application linked as a user would: behind the
    header's room with GNU ld's default flags (its ELF headers loaded in the
    room), and with the guide's room section."""
    m4 = ["-mcpu=cortex-m4", "-mthumb", "-Os", "-ffreestanding", "-fno-unwind-tables",
          "-fno-asynchronous-unwind-tables", "-nostartfiles", "-nostdlib"]
    cc = ["arm-none-eabi-gcc", *m4, "-I", FW]
    subprocess.run([*cc, "-T", os.path.join(FW, "mcuboot_app.ld"), "-L", FW,
                    "-o", os.path.join(work, "own_layout2.elf"),
                    os.path.join(FW, "bootloaded_app.c")], check=True)
    ld = os.path.join(work, "layout1.ld")
    with open(ld, "w") as f:
        f.write("MEMORY\n{\n  FLASH (rx) : ORIGIN = 0x08004000, LENGTH = 1008K\n"
                "  RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 128K\n}\n"
                "SECTIONS\n{\n  .mcuboot_header : { LONG(0); FILL(0x00); . = 0x200; } > FLASH\n}\n"
                f"INCLUDE {os.path.join(FW, 'boot_sections.ld')}\n__flash_start = ORIGIN(FLASH);\n")
    subprocess.run([*cc, "-T", ld, "-L", FW, "-o", os.path.join(work, "own_layout1.elf"),
                    os.path.join(FW, "bootloaded_app.c")], check=True)


def make_keys(work):
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa
    keys = {}
    for name, key in [("ed25519", ed25519.Ed25519PrivateKey.generate()),
                      ("ec256", ec.generate_private_key(ec.SECP256R1())),
                      ("rsa2048", rsa.generate_private_key(65537, 2048))]:
        path = os.path.join(work, f"{name}.pem")
        with open(path, "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        with open(os.path.join(work, f"{name}.der"), "wb") as f:
            f.write(key.public_key().public_bytes(serialization.Encoding.DER,
                                                  serialization.PublicFormat.SubjectPublicKeyInfo))
        keys[name] = path
    return keys


def pick_options(rng, elf, keys, always_signed=False):
    """FLASH's words after the ELF, and what CHECK needs to know of them."""
    syms = ELVES[elf]
    words, records = [], []
    signed = elf in SIGNABLE and (always_signed or rng.random() < 0.6)
    for _ in range(rng.choice([1, 1, 1, 2])):
        kind = rng.random()
        if syms and kind < 0.55:
            w = "--n" + rng.choice(syms)
            if rng.random() < 0.25:
                w += "@" + rng.choice(["0x08004200", "0x08004010", "0x08000040", "0x08004000",
                                       "__flash_start", "0x08000100"])
        elif kind < 0.8:
            w = "--a" + rng.choice(["1FFC", "134", "400", "1E0", "3", "0", "10000", "2C8", "300"])
        else:
            w = "--s" + rng.choice(["1024", "4096", "256", "512", "65536", "64"])
        if rng.random() < 0.3:
            w += "=" + rng.choice(ALGORITHMS)
        if w.startswith("--s") and any(r.startswith("--s") for r in records):
            continue
        if w.split("=")[0].split("@")[0] in [r.split("=")[0].split("@")[0] for r in records]:
            continue
        records.append(w)
    if elf.startswith("fw_header") and rng.random() < 0.7:
        records.append("--header")
        records.append(rng.choice(["app_header:size@8,crc@12,hcrc@16",
                                   "app_header:size@8,crc@12=crc-32/iso-hdlc",
                                   "app_header:size@8"]))
    if rng.random() < 0.1:
        records.append("--lpc-vectors")
    words += records
    shared = list(records)
    if rng.random() < 0.3:
        base = 0x08004000 if elf in SIGNABLE else 0x00010000 if "after" in elf else 0x08000000
        lo = base + rng.choice([0x10, 0x40, 0x100, 0x210, 0x240, 0x80])
        ex = f"0x{lo:08X}-0x{lo + rng.choice([4, 8, 0x20, 0x40]):08X}"
        if rng.random() < 0.3 and records and records[0].startswith("--n"):
            ex += ":" + records[0][3:].split("@")[0].split("=")[0]
        shared += ["--exclude", ex]
    if rng.random() < 0.25:
        shared += ["--crc", rng.choice(ALGORITHMS)]
    if rng.random() < 0.15:
        shared.append("--be")
    if rng.random() < 0.15:
        shared += ["--fill", rng.choice(["0x00", "0xFF", "0x5A"])]
    if rng.random() < 0.1:
        shared.append("--words")
    if rng.random() < 0.15:
        shared.append("--force")
    outputs = []
    for w in ("--bin", "--srec"):
        if rng.random() < (0.7 if signed and w == "--bin" else 0.4):
            outputs.append(w)
    uf2 = None
    if rng.random() < 0.3:
        uf2 = rng.choice(["stm32f4", "rp2040", "0x57755a57"])
        outputs += ["--uf2", uf2]
    merge = None
    if rng.random() < 0.35 and elf in SIGNABLE:
        merge = os.path.join(DATA, rng.choice(["fw_mcuboot_loader.hex", "fw_bootloader.hex",
                                               "fw_bootloader.srec"]))
        outputs += ["--merge", merge]
    mcuboot = None
    if signed:
        settings = {}
        key = rng.choice(["ed25519", "ec256"] if always_signed else
                         [None, "ed25519", "ed25519", "ec256", "ec256", "rsa2048"])
        if key:
            settings["key"] = keys[key]
        settings["header"] = rng.choice(["0x200", "0x200", "0x200", "0x400", "0x100", "0x20"])
        if rng.random() < 0.5:
            settings["slot"] = rng.choice(["0x20000", "0x4000", "0x1000", "0x40000", "0x800"])
            if rng.random() < 0.6:
                settings[rng.choice(["pad", "confirm"])] = None
        if rng.random() < 0.3:
            settings["align"] = rng.choice(["1", "2", "4", "8", "16", "32"])
        if rng.random() < 0.3:
            settings["version"] = rng.choice(["1.2.3+4", "0.0.0", "255.255.65535+4294967295"])
            if rng.random() < 0.5:
                settings["counter"] = rng.choice(["auto", "5"])
        if rng.random() < 0.15:
            settings["tlv"] = "0xA0:0102"
        if rng.random() < 0.1:
            settings["dependency"] = "1:1.2.0"
        if key and rng.random() < 0.15:
            settings["pubkey"] = "full"
        mcuboot = settings
        outputs += ["--mcuboot", ",".join(k if v is None else f"{k}={v}"
                                          for k, v in settings.items())]
    return shared, outputs, uf2, merge, mcuboot, key if signed else None


def check_settings(mcuboot):
    """CHECK's --mcuboot settings for a FLASH run's."""
    keep = [k if v is None else f"{k}={v}" for k, v in mcuboot.items()
            if k in ("key", "header", "slot", "pad", "confirm")]
    return ",".join(keep) if keep else None


def run(cmd, cwd):
    p = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=120)
    return p.returncode, p.stdout, p.stderr


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--judge", help="folder of scripts/mcuboot_judge's judges")
    parser.add_argument("--keep", help="work folder to keep")
    parser.add_argument("--signed", action="store_true",
                        help="signed runs alone, with keys MCUboot's judge holds")
    parser.add_argument("--refusals", action="store_true", help="print each refusal's line")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    velk = [sys.executable, "-m", "velk_crc"]
    work = args.keep or tempfile.mkdtemp(prefix="velk-flash-campaign-")
    os.makedirs(work, exist_ok=True)
    build_own(work)
    keys = make_keys(work)
    counts = {"runs": 0, "written": 0, "refused": 0, "checks": 0, "judged": 0, "findings": 0}
    findings = []
    for n in range(args.runs):
        elf = rng.choice(sorted(SIGNABLE if args.signed else ELVES))
        shared, outputs, uf2, merge, mcuboot, key = pick_options(rng, elf, keys, args.signed)
        run_dir = os.path.join(work, "run")
        shutil.rmtree(run_dir, ignore_errors=True)
        os.makedirs(run_dir)
        src = os.path.join(work if elf.startswith("own_") else DATA, elf)
        shutil.copy(src, run_dir)
        root = os.path.join(run_dir, elf[:-4])
        flash = [*velk, "FLASH", elf, *shared, *outputs, "--json"]
        code, out, err = run(flash, run_dir)
        counts["runs"] += 1

        def finding(what, cmd=None, detail=""):
            counts["findings"] += 1
            text = f"[{n}] {what}\n  $ {shlex.join(flash)}\n"
            if cmd:
                text += f"  $ {shlex.join(cmd)}\n"
            text += "  " + detail.strip().replace("\n", "\n  ") + "\n"
            findings.append(text)
            print(text, flush=True)
            dest = os.path.join(work, f"finding-{n}")
            shutil.copytree(run_dir, dest, dirs_exist_ok=True)

        if code in (255, 2):
            counts["refused"] += 1
            if args.refusals:
                print("refused:", err.strip().splitlines()[-1][:150] if err.strip() else "?")
            continue
        if code != 0:
            finding(f"FLASH exit {code}", detail=err[-2000:])
            continue
        counts["written"] += 1
        report = json.loads(out)
        files = report.get("files") or []
        base_check = [*velk, "CHECK"]
        mc = check_settings(mcuboot) if mcuboot else None
        mc_words = ["--mcuboot", mc] if mc else (["--mcuboot"] if mcuboot is not None else [])
        # what erased flash reads is the user's to say, alone too
        fill = shared[shared.index("--fill"):shared.index("--fill") + 2] if "--fill" in shared else []
        checks = []
        for f in files:
            path = f if os.path.isabs(f) else os.path.join(run_dir, f)
            name = os.path.basename(path)
            merged = "_merged" in name
            extra = ["--uf2", uf2] if name.endswith(".uf2") and uf2 else []
            if name.endswith(".elf"):
                checks.append([name, *shared, *mc_words])
                if mcuboot is not None:
                    checks.append([name, *fill, *mc_words])
                continue
            m = ["--merge", merge] if merged else []
            checks.append([name, *shared, "--elf", elf, *m, *extra, *mc_words])
            if mcuboot is not None and not name.endswith(".bin"):
                checks.append([name, *extra, *fill, *mc_words])
        for c in checks:
            counts["checks"] += 1
            cmd = [*base_check, *c]
            ccode, cout, cerr = run(cmd, run_dir)
            if ccode != 0:
                finding(f"CHECK exit {ccode} on FLASH's own file", cmd, cerr[-2000:])
        if args.judge and mcuboot is not None and key in ("ed25519", "ec256") \
                and "pubkey" not in mcuboot:
            # The signed slot from its first byte, read from the HEX.
            from intelhex import IntelHex
            made = report["mcuboot"]
            hexed = IntelHex(root + "_CRC.hex")
            slot_size = made.get("slot_size") or (made["image_end"] - made["slot"])
            image = hexed.tobinstr(made["slot"], made["slot"] + slot_size - 1)
            slot = os.path.join(run_dir, "slot.bin")
            with open(slot, "wb") as fh:
                fh.write(image)
            judge = [os.path.join(args.judge, f"judge-{key}"), slot, hex(slot_size),
                     os.path.join(work, f"{key}.der")]
            counts["judged"] += 1
            jcode, jout, jerr = run(judge, run_dir)
            if jcode != 0:
                finding(f"MCUboot refuses FLASH's signed image (judge exit {jcode})",
                        judge, jout + jerr)
    print(json.dumps(counts))
    sys.exit(1 if findings else 0)


if __name__ == "__main__":
    main()
