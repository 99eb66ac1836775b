"""Fuzzes velk_crc_calc with mutated firmware ELF files, and CHECK --mcuboot
with mutated signed images.

    python fuzz/fuzz_pipeline.py --seconds 60                 # every mode
    python fuzz/fuzz_pipeline.py --mode name --seconds 600 --corpus fuzz/corpus-name

Each input is one selector byte (which request value to use) followed by
an ELF file; the seeds are the test firmware. Allowed outcomes in VELK's
three modes: a Python exception, -1 with its printed line, or a HEX file
whose records verify and whose stored checksum is the CRC of the range it
reports. FLASH (forced, so that every layout is written) must refuse with
exit 255 or write files that CHECK accepts, by offset and against the
build. CHECK --mcuboot (mode "check") of FLASH's signed files, mutated, cut
short, merged after a bootloader that holds the header's magic, must end
with exit 0, 1 or 2. A signal, an escaped C++ exception or a hang stops the
fuzzer with a finding.
"""

import argparse
import contextlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

MODES = ("name", "address", "block", "flash", "check")
VALUES = {
    "name": ["crc_value", "", "vector_table", "__data_load", "x" * 300],
    "address": ["0x70", "0", "0x1000", "1FFC", "0x10000"],
    "block": ["1", "64", "1024", "4096", "65536"],
    # The command line's FLASH mode, option words as typed.
    "flash": ["--ncrc_value", "--nvector_table", "--a134", "--a0", "--a10000",
              "--s4", "--s1024", "--s65536"],
    # CHECK's words after the file; {key} is the signing key, {elf} the build.
    "check": [["--mcuboot", "key={key}"], ["--mcuboot", "key={key},header=0x200"],
              ["--mcuboot=header=0x400"], ["--mcuboot=header=0x100"], ["--mcuboot"],
              ["--mcuboot", "key={key},slot=0x20000,confirm"],
              ["--elf", "{elf}", "--ncrc_value", "--mcuboot", "key={key}"]],
}
# The check mode's input: a selector byte, a file-kind byte, the file.
CHECK_KINDS = (".hex", ".elf", ".bin")
SEEDS = [os.path.join(ROOT, "tests", "data", n)
         for n in ("fw_data.elf", "fw_dupsym.elf", "fw_exidx.elf", "fw_boot.elf")]
SEEDS.append(os.path.join(ROOT, "examples", "blinky.elf"))
REPORT = re.compile(r"checksum range:\(0x([0-9A-F]+)~0x([0-9A-F]+)\) checksum offset "
                    r"address:\[0x([0-9A-F]+)\] checksum: \[0x([0-9A-F]+)\]")


def one_input(mode, workdir):
    import crcmod
    import VELK_CRC
    import velk_crc
    from hexcheck import read_hex

    crc = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
    elf_path = os.path.join(workdir, "fw.elf")
    hex_path = os.path.join(workdir, "fw_CRC.hex")
    values = VALUES[mode]

    def run(*argv):
        """The command line on this argv: its exit status and what it
        printed. FLASH and CHECK run in the package's main, VELK mode in
        VELK_CRC.runmain."""
        out = io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
            if argv[0] != "VELK":
                return velk_crc.main(list(argv)) & 0xFF, out.getvalue()
            sys.argv = ["velk-crc", *argv]
            try:
                VELK_CRC.runmain()
            except SystemExit as exit_:
                return (exit_.code or 0) & 0xFF, out.getvalue()
        raise AssertionError("runmain returned")

    def test_flash(option):
        """FLASH writes its files or refuses with one line, never a traceback;
        CHECK accepts every file it wrote, by the same selector."""
        crc_elf = os.path.join(workdir, "fw_CRC.elf")
        for path in (hex_path, crc_elf):
            if os.path.exists(path):
                os.remove(path)
        code, out = run("FLASH", elf_path, option, "--force")
        if code == 255:
            assert not os.path.exists(hex_path) and not os.path.exists(crc_elf), \
                "refused, yet an output file was written"
            return
        assert code == 0, f"unexpected exit status {code!r}"
        match = REPORT.search(out)
        assert match, "success without a report line"
        load, end, offset, checksum = (int(g, 16) for g in match.groups())
        image = read_hex(hex_path)
        assert image.bytes_at(end, 4) == checksum.to_bytes(4, "little"), \
            "stored checksum is wrong"
        assert crc(bytes(image.memory.get(a, 0xFF) for a in range(load, end))) == checksum, \
            "the checksum is not that of the HEX's bytes"
        if os.path.exists(crc_elf):
            with open(elf_path, "rb") as a, open(crc_elf, "rb") as b:
                before, after = a.read(), b.read()
            assert len(before) == len(after)
            assert sum(x != y for x, y in zip(before, after)) <= 4
            assert run("CHECK", crc_elf, option, "--force")[0] == 0, \
                "CHECK refuses the ELF FLASH wrote"
        # FLASH was forced past its layout checks: so is CHECK.
        assert run("CHECK", hex_path, option, "--elf", elf_path, "--force")[0] == 0, \
            "CHECK --elf refuses the HEX FLASH wrote"
        if min(image.memory) == load:
            assert run("CHECK", hex_path, f"--a{offset:X}", "--force")[0] == 0, \
                "CHECK refuses the HEX FLASH wrote"

    def test_check(words, data):
        """CHECK --mcuboot of a mutated signed file ends with a verdict (0 or
        1) or a refusal (2), never a signal."""
        suffix = CHECK_KINDS[data[0] % len(CHECK_KINDS)] if data else ".hex"
        path = os.path.join(workdir, "signed" + suffix)
        with open(path, "wb") as f:
            f.write(data[1:])
        extra = ["--base", "0x08004000"] if suffix == ".bin" else []
        argv = [w.format(key=os.path.join(workdir, "key.pem"),
                         elf=os.path.join(workdir, "fw_mcuboot_app.elf")) for w in words]
        # FLASH and CHECK run in the package's main, VELK mode alone in
        # runmain.
        with contextlib.redirect_stdout(io.StringIO()), \
                contextlib.redirect_stderr(io.StringIO()):
            code = velk_crc.main(["CHECK", path, *extra, *argv])
        assert code in (0, 1, 2), f"unexpected exit status {code!r}"

    def test(data):
        if not data:
            return
        value = values[data[0] % len(values)]
        if mode == "check":
            return test_check(value, data[1:])
        if mode == "flash":
            with open(elf_path, "wb") as f:
                f.write(data[1:])
            return test_flash(value)
        with open(elf_path, "wb") as f:
            f.write(data[1:])
        if os.path.exists(hex_path):
            os.remove(hex_path)
        args = {"name": (value, None, None), "address": (None, value, None),
                "block": (None, None, value)}[mode]
        out = io.StringIO()
        try:
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
                result = VELK_CRC.velk_crc_calc(elf_path, *args)
        except Exception:
            assert not os.path.exists(hex_path) or result_is_partial(out)
            return
        if result == -1:
            assert not os.path.exists(hex_path), "refused, yet a HEX file was written"
            assert out.getvalue().endswith("\n")
            return
        assert result is None, f"unexpected result {result!r}"
        match = REPORT.search(out.getvalue())
        assert match, "success without a report line"
        load, end, offset, checksum = (int(g, 16) for g in match.groups())
        assert end == load + offset
        image = read_hex(hex_path)
        # The range ends at the checksum; a variable beyond the image leaves
        # a gap, and the checksum then covers the image alone.
        covered = bytearray()
        for address in range(load, end):
            if address not in image.memory:
                break
            covered.append(image.memory[address])
        gap_start = load + len(covered)
        assert not any(gap_start <= a < end for a in image.memory), \
            "bytes after a gap in the checksum range"
        assert crc(bytes(covered)) == checksum, "reported checksum is wrong"
        assert image.bytes_at(end, 4) == checksum.to_bytes(4, "little"), \
            "stored checksum is wrong"

    return test


def result_is_partial(out):
    # An exception after the HEX was written: only the writer or the report
    # can fail there, and the HEX then has no report line claiming success.
    return "checksum range" not in out.getvalue()


def signed_seeds(workdir):
    """FLASH's signed files of the test application (as the check mode's
    inputs: selector, kind, bytes), and the files that once crashed CHECK: a
    HEX with a payload line gone and img_size to match, an ELF whose
    segment's p_filesz is 4 short, a merged HEX whose bootloader holds the
    header's magic."""
    import struct
    import subprocess
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ed25519
    from intelhex import IntelHex

    key = ed25519.Ed25519PrivateKey.generate()
    with open(os.path.join(workdir, "key.pem"), "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    elf = os.path.join(workdir, "fw_mcuboot_app.elf")
    shutil.copy(os.path.join(ROOT, "tests", "data", "fw_mcuboot_app.elf"), elf)
    loader = os.path.join(ROOT, "tests", "data", "fw_mcuboot_loader.hex")
    seeds = {}
    for name, settings in [("plain", "header=0x200"), ("padded", "header=0x200,slot=0x20000,confirm")]:
        subprocess.run([sys.executable, "-m", "velk_crc", "FLASH", elf, "--ncrc_value", "--mcuboot",
                        f"key={workdir}/key.pem,{settings}", "--bin", "--merge", loader],
                       cwd=workdir, check=True, capture_output=True)
        for suffix, kind in [("_CRC.hex", 0), ("_CRC.elf", 1), ("_CRC.bin", 2), ("_CRC_merged.hex", 0)]:
            with open(os.path.join(workdir, "fw_mcuboot_app" + suffix), "rb") as f:
                seeds[name + suffix] = bytes([kind]) + f.read()
    # A payload line gone and img_size 16 less.
    hexed = IntelHex(io.StringIO(seeds["plain_CRC.hex"][1:].decode()))
    slot = hexed.minaddr()
    for a in range(slot + 0x240, slot + 0x250):
        del hexed[a]
    img_size, = struct.unpack("<I", hexed.tobinstr(slot + 12, slot + 15))
    for i, b in enumerate(struct.pack("<I", img_size - 16)):
        hexed[slot + 12 + i] = b
    text = io.StringIO()
    hexed.write_hex_file(text)
    seeds["line_deleted.hex"] = bytes([0]) + text.getvalue().encode()
    # p_filesz less 4 in each load segment in turn.
    data = seeds["plain_CRC.elf"][1:]
    phoff, = struct.unpack_from("<I", data, 0x1C)
    for i in range(struct.unpack_from("<H", data, 0x2C)[0]):
        at = phoff + 32 * i
        if struct.unpack_from("<I", data, at)[0] == 1 and struct.unpack_from("<I", data, at + 16)[0] >= 4:
            short = bytearray(data)
            struct.pack_into("<I", short, at + 16, struct.unpack_from("<I", data, at + 16)[0] - 4)
            seeds[f"filesz_{i}.elf"] = bytes([1]) + bytes(short)
    return seeds


def run_mode(mode, seconds, corpus, extra):
    import atheris

    os.makedirs(corpus, exist_ok=True)
    workdir = tempfile.mkdtemp(prefix="velk-fuzz-")
    if mode == "check":
        # The key is made afresh; the seeds are signed with it each run.
        for name, data in signed_seeds(workdir).items():
            for selector in range(len(VALUES["check"])):
                with open(os.path.join(corpus, f"seed-{selector}-{name}"), "wb") as f:
                    f.write(bytes([selector]) + data)
    elif not os.listdir(corpus):
        for seed in SEEDS:
            with open(seed, "rb") as f:
                data = f.read()
            with open(os.path.join(corpus, "seed-" + os.path.basename(seed)), "wb") as f:
                f.write(b"\0" + data)
    try:
        findings = corpus.rstrip("/") + "-findings"
        os.makedirs(findings, exist_ok=True)
        argv = [sys.argv[0], f"-max_total_time={seconds}", "-timeout=10",
                f"-artifact_prefix={findings}/",
                "-rss_limit_mb=4096", "-max_len=200000", *extra, corpus]
        with atheris.instrument_imports(include=["elftools", "intelhex"]):
            import elftools.elf.elffile  # noqa: F401
            import intelhex  # noqa: F401
        atheris.Setup(argv, one_input(mode, workdir))
        atheris.Fuzz()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", choices=MODES + ("all",), default="all")
    parser.add_argument("--seconds", type=int, default=60,
                        help="fuzzing time; 'all' splits it over the three modes, "
                             "which run at the same time")
    parser.add_argument("--corpus", help="corpus folder (default: a temporary one)")
    args, extra = parser.parse_known_args()
    if args.mode != "all":
        corpus = args.corpus or tempfile.mkdtemp(prefix=f"velk-corpus-{args.mode}-")
        run_mode(args.mode, args.seconds, corpus, extra)
        return
    # The modes run side by side: each spends seconds instrumenting its
    # imports before it fuzzes.
    runs = {}
    for mode in MODES:
        corpus = os.path.join(args.corpus, mode) if args.corpus else \
            tempfile.mkdtemp(prefix=f"velk-corpus-{mode}-")
        cmd = [sys.executable, __file__, "--mode", mode, "--corpus", corpus,
               "--seconds", str(max(1, args.seconds // len(MODES))), *extra]
        runs[mode] = (corpus, subprocess.Popen(cmd, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.PIPE, text=True))
    status = 0
    for mode, (corpus, proc) in runs.items():
        stderr = proc.communicate()[1]
        done = re.findall(r"Done (\d+) runs in (\d+) second", stderr)
        executions = done[-1][0] if done else "?"
        print(f"{mode}: exit {proc.returncode}, {executions} executions, "
              f"corpus {len(os.listdir(corpus))} files")
        if proc.returncode != 0:
            print(stderr[-4000:], file=sys.stderr)
            status = 1
    sys.exit(status)


if __name__ == "__main__":
    main()
