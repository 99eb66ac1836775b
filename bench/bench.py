"""Times VELK_CRC against the package floor and against the peer pipeline.

    python bench/bench.py                         # 64 KiB, 1 MiB, 8 MiB; 6 runs each
    python bench/bench.py --sizes 4096 --repeat 1 # a quick check that it works
    python bench/bench.py --sizes 1048576 8388608 --repeat 11 --outputs-only
    python bench/bench.py --startup-only --repeat 15

1. In one process, for each size and mode: velk_crc_calc end to end against
   the same package calls made directly from Python in the same order (the
   floor), their ratio, the share of each package step, and the peak memory
   of one run of each in a fresh process.
2. Whole processes, name mode with 5,000 symbols: velk-crc against the peer
   pipeline a user would otherwise write (arm-none-eabi-objcopy -O binary,
   then srec_cat for the CRC and the HEX; its output is checked equal to ours
   with srec_cmp first) and against the module's own fallback path (a
   subclass of the container), with the peak RSS of each.
3. Whole processes, FLASH mode: velk-crc FLASH writing the HEX and ELF
   files, the same run also writing --bin and --srec, and the peer pipeline
   (HEX only), with the ratios of the run with every file to the other two
   and the peak RSS of each. --outputs-only runs this table alone.
4. --a8000000 on the example, and the whole command line on the example
   against a bare interpreter start.
5. Start-up, whole processes at 64 KiB and 1 MiB: velk-crc FLASH against
   the peer pipeline as a user's script runs it (arm-none-eabi-readelf -s to
   find the slot, then objcopy and srec_cat; its HEX checked equal to ours
   first), the milliseconds `import velk_crc` adds to `python -c pass`, and
   the peak RSS of FLASH at 64 KiB above a bare interpreter's, each with its
   goal. Then the interpreter's share: `python -c pass` against
   `python -S -c pass` (site-packages .pth start-up hooks run before any of
   our code), FLASH's time above the bare interpreter, and the same FLASH
   runs, import and memory through `python -S` with velk_crc's
   site-packages folder appended to sys.path.
   --startup-only runs this table alone.
6. Records, whole processes at 8 MiB: FLASH with one checksum record,
   with an image header (size, crc, hcrc) and a second --n record in a
   configuration block of its own, and with CRC-32/ISO-HDLC in place of
   CRC-32/MPEG-2, with the ratios to the one-record run and the peak RSS of
   each against the bare import plus three times the input.
   --records-only runs this table alone.
7. Production images, whole processes at 8 MiB: FLASH writing the HEX
   alone against the same run merged with a 32 KiB bootloader HEX and
   writing --bin, --srec and --uf2 as well (nine files), with the ratio
   and the peak RSS of each against the bare import plus three times the
   inputs. --production-only runs this table alone.
8. CRC speed, in one process over 8 MiB of random bytes: our CRC against
   crcmod's for CRC-32/MPEG-2, CRC-32/ISO-HDLC, CRC-32/ISCSI, CRC-16/XMODEM
   and CRC-64/XZ (both first give the check value and agree on the data), in
   MB/s, with the ratio and its goal, and whether crcmod's compiled
   extension is in use; then CRC-32/ISO-HDLC, CRC-16/XMODEM, CRC-64/XZ,
   sum-32/words, fletcher-32, adler-32 and sha-256 against CRC-32/MPEG-2
   over the same 8 MiB, each checked first against zlib, crcmod, hashlib
   or plain arithmetic. --crc-only runs these tables alone.
9. Engine, whole processes at 64 KiB, 1 MiB, 8 MiB and 32 MiB: velk-crc
   FLASH against the peer pipeline as a user's script runs it (its HEX
   checked equal to ours first), with the ratio at each size and its goal.
   --engine-only runs this table alone.
10. Threads, in one process: velk_crc.flash() on four different 16 MiB
    builds from four threads against the same calls one after another, the
    ratio and its goal; then the peak RSS of one flash() in a fresh process
    against the bare import plus three times the build's size.
    --threads-only runs this table alone.
11. Devices, whole processes at 256 KiB: one velk-crc FLASH run stamping a
    serial number into 1,000 devices (CRC-32/ISO-HDLC over the whole image,
    HEX and ELF per device) against srec_cat run once per device (stamp and
    CRC, HEX), their HEX checked equal first; the same run with an Ed25519
    MCUboot signature per device; and the peak RSS of 1,000 devices against
    10. --devices-only runs this table alone.
12. MCUboot, whole processes at 8 MiB: FLASH with --mcuboot and an Ed25519
    key against the same FLASH without it, the same unsigned (hashes alone:
    no cryptography package loaded), and against FLASH followed by
    `imgtool sign` on its HEX (imgtool's image checked equal to ours
    first), each ratio with its goal; then the two steps of signing with
    the key's public half (sign=digest, signature=<file>), each and both
    against the one-step run. --mcuboot-only runs these tables alone.
13. Vendors' images, whole processes: FLASH writing the HEX alone against
    the same run also writing one vendor's file, each format in a table of
    its own with its goal (at most 1.2): --dfuse and --nxp-mbi at 8 MiB,
    --esp32 for an ESP32-C3 build of 8 MiB, --nrf-settings for an nRF52840
    application of 0.9 MiB. --vendors-only runs these tables alone.

14. Against another build, whole processes at the largest size: FLASH with
    this build's velk_crc and with the one of a build folder given to
    --against (its PYTHONPATH), plain, merged with every format, and
    signed, each ratio with its goal: what FLASH's own check of the files
    it writes costs (at most 1.05 for the plain run).
    --against <folder> runs this table alone.

All timings are medians of runs interleaved with their rivals, the order
flipped every round.
"""

import argparse
import concurrent.futures
import contextlib
import gc
import io
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from elfwriter import Elf, Segment  # noqa: E402

LOAD = 0x08000000
SYMBOLS = 5000
BLOCK = "4096"
MiB = 1 << 20


def make_firmware(folder, size, variant=0):
    """An image of `size` bytes ending in crc_value, and 5,000 symbols.
    Builds of one size with another `variant` hold other bytes."""
    # Not a block multiple, and ending in the checksum variable's placeholder.
    image = random.Random(size + variant).randbytes(size - 104) + b"\xff" * 4
    symbols = [(f"sym_{i}", LOAD + (i * 4) % len(image)) for i in range(SYMBOLS - 1)]
    symbols.append(("crc_value", LOAD + len(image) - 4))
    name = f"fw_{size}_{variant}.elf" if variant else f"fw_{size}.elf"
    path = os.path.join(folder, name)
    Elf(entry=LOAD + 0x45, segments=[Segment(LOAD, image, section=".text")],
        symbols=symbols).write(path)
    return path, len(image)


def requests(image_size):
    # Address mode pads the image by 4 KiB; block mode rounds it up to 4 KiB.
    return {
        "name": ("crc_value", None, None),
        "address": (None, f"{image_size + 0x1000:x}", None),
        "block": (None, None, BLOCK),
    }


def floor(path, varename, crcaddr, crcblock, steps=None):
    """The package calls velk_crc_calc makes, from plain Python."""
    import crcmod
    from elftools.elf.elffile import ELFFile
    from elftools.elf.sections import SymbolTableSection
    from intelhex import IntelHex

    clock = time.perf_counter
    marks = [("start", clock())]

    def mark(name):
        marks.append((name, clock()))

    with open(path, "rb") as f:
        elf = ELFFile(f)
        entry = elf.header["e_entry"]
        for seg in elf.iter_segments():
            if seg["p_type"] == "PT_LOAD" and seg["p_filesz"]:
                break
        load, data = seg["p_vaddr"], seg.data()
        mark("elftools: segment")
        if varename is not None:
            for section in elf.iter_sections():
                if isinstance(section, SymbolTableSection):
                    for symbol in section.iter_symbols():
                        if symbol.name == varename:
                            offset = symbol["st_value"] - load
            mark("elftools: symbol scan")
        elif crcaddr is not None:
            offset = int(crcaddr, 16)
            data += b"\xff" * (offset - len(data))
        else:
            block = int(crcblock)
            offset = (len(data) + block - 1) & ~(block - 1)
            data += b"\xff" * (offset - len(data) + 4)
        crc = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
        checksum = crc(data[:offset])
        mark("crcmod")
        ihex = IntelHex()
        ihex.frombytes(data, load)
        mark("intelhex: frombytes")
        ihex[load + offset:load + offset + 4] = list(struct.pack("<I", checksum))
        ihex.start_addr = {"EIP": entry}
        ihex.write_hex_file(os.path.splitext(path)[0] + "_CRC.hex",
                            write_start_addr=True, byte_count=16)
        mark("intelhex: write")
    if steps is not None:
        for (_, before), (name, after) in zip(marks, marks[1:]):
            steps[name] = steps.get(name, 0.0) + after - before


def ours(path, varename, crcaddr, crcblock):
    import VELK_CRC

    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        result = VELK_CRC.velk_crc_calc(path, varename, crcaddr, crcblock)
    assert result is None, result


def median_time(func, repeat):
    return paired_medians([func], repeat)[0]


def paired_medians(funcs, repeat):
    """Median time of each function, run in turn so that all see the same
    machine. The order flips every round (A B, B A, ...): whichever runs
    second after a large run pays for the memory the first one left, and
    flipping cancels that. Each run starts from a collected heap."""
    for func in funcs:
        func()  # warm-up
    times = [[] for _ in funcs]
    for round_ in range(repeat):
        order = list(zip(funcs, times))
        if round_ % 2:
            order.reverse()
        for func, spent in order:
            gc.collect()
            start = time.perf_counter()
            func()
            spent.append(time.perf_counter() - start)
    return [statistics.median(spent) for spent in times]


# Runs a command in a child of a small interpreter and prints the child's
# peak RSS. Linux starts an exec'ed process's high-water mark at that of the
# process it was forked from, so measuring from this (large) process would
# report our own memory, not the command's.
LAUNCHER = r"""
import os, sys
pid = os.fork()
if pid == 0:
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.dup2(null, 2)
    os.execvp(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
print(usage.ru_maxrss, os.waitstatus_to_exitcode(status))
"""


def peak_rss(command, cwd=None):
    """Peak RSS in MiB of one run of `command` (a list of words)."""
    out = subprocess.run([sys.executable, "-S", "-c", LAUNCHER, *command], cwd=cwd,
                         capture_output=True, text=True, check=True).stdout.split()
    if int(out[1]) not in (0,):
        raise RuntimeError(f"{command} exited with {out[1]}")
    return int(out[0]) / 1024


def in_process(kind, path, request):
    """The command that makes one in-process run of ours or the floor."""
    code = (f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); "
            f"import bench; bench.{kind}({path!r}, *{request!r})")
    return [sys.executable, "-c", code]


def padding_cost(folder, repeat):
    """Our own time for 8 MiB of 0xFF padding: the same call with and
    without it, with the HEX container and the CRC stubbed out."""
    import VELK_CRC

    path, image_size = make_firmware(folder, 64 * 1024)

    class NoHex:
        def frombytes(self, data, offset):
            pass

        def __setitem__(self, where, values):
            pass

        def write_hex_file(self, name, **kwargs):
            pass

    saved = VELK_CRC.IntelHex, VELK_CRC.calc_crc_mpeg2
    VELK_CRC.IntelHex, VELK_CRC.calc_crc_mpeg2 = NoHex, lambda data: 0
    try:
        plain = median_time(lambda: ours(path, None, f"{image_size:x}", None), repeat)
        padded = median_time(
            lambda: ours(path, None, f"{image_size + 8 * MiB:x}", None), repeat)
    finally:
        VELK_CRC.IntelHex, VELK_CRC.calc_crc_mpeg2 = saved
    return max(0.0, padded - plain)


def velk_command():
    """The velk-crc console script installed beside this interpreter (a
    version manager's shim found first on PATH would add its own start-up),
    else the one on PATH, or the same call through this interpreter when the
    package comes from elsewhere (a build tree on PYTHONPATH)."""
    beside = os.path.join(os.path.dirname(sys.executable), "velk-crc")
    exe = beside if os.access(beside, os.X_OK) else shutil.which("velk-crc")
    if exe and not os.environ.get("PYTHONPATH"):
        return [exe], "velk-crc"
    code = "import sys; from velk_crc import runmain; sys.exit(runmain())"
    return [sys.executable, "-c", code], 'python -c "...runmain()"'


# The module's own fallback path: a container that is not the genuine class.
FALLBACK = ("import sys, intelhex, VELK_CRC\n"
            "class Container(intelhex.IntelHex): pass\n"
            "VELK_CRC.IntelHex = Container\n"
            "sys.exit(VELK_CRC.runmain())")


def peer_commands(elf, slot, load, entry, folder):
    """objcopy to a binary, then srec_cat: CRC-32/MPEG-2 of the bytes before
    the slot stored little-endian at the slot, and Intel HEX with 16 data
    bytes a record. srec_cat's STM32 filter is the word-fed CRC unit; fed the
    byte-swapped words it gives the byte-fed CRC-32/MPEG-2."""
    binary = os.path.join(folder, "peer.bin")
    out = os.path.join(folder, "peer.hex")
    end = slot + 4
    return [
        ["arm-none-eabi-objcopy", "-O", "binary", elf, binary],
        ["srec_cat", "(", "(", binary, "-binary", "-crop", "0", str(slot),
         "-byte-swap", "4", "-stm32-le", str(slot), "-crop", str(slot), str(end), ")",
         binary, "-binary", "-exclude", str(slot), str(end), ")",
         "-offset", hex(load), "-o", out, "-intel", "-obs=16",
         f"-execution-start-address={entry:#x}"],
    ], out


def run_all(commands, cwd=None):
    for command in commands:
        subprocess.run(command, check=True, capture_output=True, cwd=cwd)


def same_intel_hex(first, second):
    """Whether two Intel HEX files hold the same bytes (srec_cmp)."""
    return subprocess.run(["srec_cmp", first, "-intel", second, "-intel"],
                          capture_output=True).returncode == 0


def size_label(size):
    return f"{size // 1024} KiB" if size < MiB else f"{size // MiB} MiB"


def whole_process(folder, sizes, repeat):
    """velk-crc (name mode, 5,000 symbols) against the peer pipeline and the
    fallback path: median time and peak RSS of each, same rounds."""
    command, label = velk_command()
    print(f"velk-crc runs as: {label} ({command[0]})")
    have_peer = all(shutil.which(t) for t in ("arm-none-eabi-objcopy", "srec_cat", "srec_cmp"))
    if not have_peer:
        print("peer pipeline skipped: binutils-arm-none-eabi or srecord is not installed")
    bare = peak_rss([sys.executable, "-c", "import VELK_CRC"])
    print(f"bare import: {bare:.1f} MiB peak RSS")
    print()
    print(f"{'size':>8} {'contender':<10} {'median s':>9} {'ratio':>6} {'peak MiB':>9} "
          f"{'limit MiB':>10}")
    for size in sizes:
        path, image_size = make_firmware(folder, size)
        slot = image_size - 4
        ours_cmd = [*command, "VELK", path, "--ncrc_value"]
        fallback_cmd = [sys.executable, "-c", FALLBACK, "VELK", path, "--ncrc_value"]
        contenders = {"velk-crc": [ours_cmd], "fallback": [fallback_cmd]}
        if have_peer:
            peer, peer_hex = peer_commands(path, slot, LOAD, LOAD + 0x45, folder)
            run_all(peer)
            run_all([ours_cmd])
            ours_hex = os.path.splitext(path)[0] + "_CRC.hex"
            if not same_intel_hex(ours_hex, peer_hex):
                raise SystemExit(f"the peer pipeline's HEX differs from ours at {size} bytes")
            contenders["peer"] = peer
        names = list(contenders)
        times = paired_medians([lambda c=contenders[n]: run_all(c) for n in names], repeat)
        peaks = {n: max(peak_rss(c) for c in contenders[n]) for n in names}
        reference = dict(zip(names, times)).get("peer", times[0])
        label = size_label(size)
        for name, seconds in zip(names, times):
            limit = f"{bare + 3 * size / MiB:10.1f}" if name == "velk-crc" else ""
            print(f"{label:>8} {name:<10} {seconds:9.4f} {seconds / reference:6.3f} "
                  f"{peaks[name]:9.1f} {limit}", flush=True)


def check_outputs(path, image_size):
    """The files a FLASH run with --bin and --srec leaves: the raw image is
    exactly the image, the S-records hold more than its hex digits, and where
    srecord is installed all three hold the same bytes."""
    root = os.path.splitext(path)[0] + "_CRC"
    sizes = {ext: os.path.getsize(root + ext) for ext in (".hex", ".elf", ".bin", ".srec")}
    if sizes[".bin"] != image_size:
        raise SystemExit(f"{root}.bin has {sizes['.bin']} bytes, not the {image_size} "
                         "of the image")
    if sizes[".srec"] <= 2 * image_size:
        raise SystemExit(f"{root}.srec has {sizes['.srec']} bytes, too few for "
                         f"{image_size} bytes of data")
    if shutil.which("srec_cmp"):
        for other in (["-motorola"], ["-binary", "-offset", hex(LOAD)]):
            ext = ".srec" if other[0] == "-motorola" else ".bin"
            same = subprocess.run(["srec_cmp", root + ".hex", "-intel", root + ext, *other],
                                  capture_output=True)
            if same.returncode != 0:
                raise SystemExit(f"{root}{ext} holds other bytes than {root}.hex")
    return sizes


def output_formats(folder, sizes, repeat):
    """FLASH mode with the HEX and ELF files only, the same with --bin and
    --srec as well, and the peer pipeline making the HEX file alone: median
    time of each over the same rounds, the ratios of the run with every file
    to the other two, and the peak RSS of each."""
    command, label = velk_command()
    print(f"velk-crc runs as: {label} ({command[0]})")
    have_peer = all(shutil.which(t) for t in ("arm-none-eabi-objcopy", "srec_cat", "srec_cmp"))
    if not have_peer:
        print("peer pipeline skipped: binutils-arm-none-eabi or srecord is not installed")
    print("  hex+elf    velk-crc FLASH fw.elf --ncrc_value")
    print("  all-files  velk-crc FLASH fw.elf --ncrc_value --bin --srec")
    print("  peer-hex   arm-none-eabi-objcopy -O binary, then srec_cat to Intel HEX")
    print()
    header = (f"{'size':>8} {'contender':<10} {'median s':>9} {'peak MiB':>9}  "
              "all-files ratio")
    print(header)
    print("-" * len(header))
    for size in sizes:
        path, image_size = make_firmware(folder, size)
        root = os.path.splitext(path)[0] + "_CRC"
        hex_elf = [*command, "FLASH", path, "--ncrc_value"]
        all_files = [*hex_elf, "--bin", "--srec"]
        for ext in (".bin", ".srec"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(root + ext)
        run_all([all_files])
        written = check_outputs(path, image_size)
        contenders = {"hex+elf": [hex_elf], "all-files": [all_files]}
        if have_peer:
            peer, peer_hex = peer_commands(path, image_size - 4, LOAD, LOAD + 0x45, folder)
            run_all(peer)
            if not same_intel_hex(root + ".hex", peer_hex):
                raise SystemExit(f"the peer pipeline's HEX differs from FLASH mode's "
                                 f"at {size} bytes")
            contenders["peer-hex"] = peer
        names = list(contenders)
        times = dict(zip(names, paired_medians(
            [lambda c=contenders[n]: run_all(c) for n in names], repeat)))
        peaks = {n: max(peak_rss(c) for c in contenders[n]) for n in names}
        label = size_label(size)
        for name in names:
            ratio = ("" if name == "all-files"
                     else f"{times['all-files'] / times[name]:.3f}")
            print(f"{label:>8} {name:<10} {times[name]:9.4f} {peaks[name]:9.1f}  {ratio}",
                  flush=True)
        print(f"{'':>8} written: " + ", ".join(f"{ext} {n:,} B" for ext, n in written.items()))
    print("goals: all-files / hex+elf at most 1.5; all-files / peer-hex below 0.35 at 8 MiB")


def absolute_address(repeat):
    """--a8000000 on the example: the load address typed as an offset pads
    the image with 128 MiB of 0xFF."""
    command, _ = velk_command()
    example = os.path.join(ROOT, "examples", "blinky.elf")
    with tempfile.TemporaryDirectory() as folder:
        elf = os.path.join(folder, "blinky.elf")
        shutil.copy(example, elf)
        run = [*command, "VELK", elf, "--a8000000"]
        seconds = median_time(lambda: run_all([run]), max(1, min(repeat, 3)))
        peak = peak_rss(run)
        size = os.path.getsize(os.path.join(folder, "blinky_CRC.hex"))
    print(f"velk-crc VELK blinky.elf --a8000000: {seconds:.2f} s, {peak:.0f} MiB peak RSS, "
          f"{size / 1e6:.0f} MB HEX file")


def command_line(repeat):
    command, label = velk_command()
    example = os.path.join(ROOT, "examples", "blinky.elf")
    with tempfile.TemporaryDirectory() as folder:
        elf = os.path.join(folder, "blinky.elf")
        shutil.copy(example, elf)
        commands = {
            f"{label} VELK blinky.elf --ncrc_value": [*command, "VELK", elf, "--ncrc_value"],
            'python -c "import VELK_CRC"': [sys.executable, "-c", "import VELK_CRC"],
            "python -c pass": [sys.executable, "-c", "pass"],
        }
        times = paired_medians([lambda c=c: run_all([c]) for c in commands.values()], repeat)
        return dict(zip(commands, times))


STARTUP_SIZES = (64 * 1024, MiB)
# The start-up goals: FLASH's time over the peer's at each size, the
# milliseconds `import velk_crc` adds to a bare interpreter, and FLASH's
# peak RSS above a bare interpreter's at 64 KiB.
RATIO_GOALS = {64 * 1024: 1.0, MiB: 0.5}
IMPORT_GOAL_MS = 5.0
MEMORY_GOAL_MiB = 5.0


def peer_flash(elf, folder, name="crc_value"):
    """The peer pipeline as a user's script runs it: the slot's address from
    the symbol table printed by arm-none-eabi-readelf -s, then objcopy and
    srec_cat (peer_commands). Returns the HEX file's path."""
    table = subprocess.run(["arm-none-eabi-readelf", "-s", elf], check=True,
                           capture_output=True, text=True).stdout
    # "  Num:    Value  Size Type    Bind   Vis      Ndx Name"
    value = next(int(fields[1], 16) for fields in map(str.split, table.splitlines())
                 if len(fields) == 8 and fields[7] == name)
    commands, out = peer_commands(elf, value - LOAD, LOAD, LOAD + 0x45, folder)
    run_all(commands)
    return out


def median_rss(command, runs):
    return statistics.median(peak_rss(command) for _ in range(runs))


def startup(repeat):
    """Whole processes at 64 KiB and 1 MiB: velk-crc FLASH against the peer,
    the cost of `import velk_crc`, FLASH's peak RSS above a bare interpreter,
    and the same through `python -S`, all timed in the same rounds."""
    import crcmod
    import velk_crc

    command, label = velk_command()
    # Where velk_crc and crcmod are (one folder when installed; the build
    # folder and site-packages when run from a build).
    folders = list(dict.fromkeys(
        os.path.dirname(os.path.dirname(os.path.abspath(m.__file__)))
        for m in (velk_crc, crcmod)))
    site_packages = os.pathsep.join(folders)
    python = sys.executable
    bare_s = [python, "-S", "-c",
              f"import sys; sys.path += {folders!r}; "
              "from velk_crc import runmain; sys.exit(runmain())"]
    print(f"interpreter:   {python} (Python {sys.version.split()[0]})")
    print(f"velk-crc:      {label} ({command[0]})")
    print(f"without site:  python -S -c \"import sys; sys.path.append(<{site_packages}>); "
          "from velk_crc import runmain; sys.exit(runmain())\"")
    print("peer:          arm-none-eabi-readelf -s (the slot's address), "
          "arm-none-eabi-objcopy -O binary, srec_cat")
    have_peer = all(shutil.which(t) for t in ("arm-none-eabi-readelf",
                                              "arm-none-eabi-objcopy", "srec_cat",
                                              "srec_cmp"))
    if not have_peer:
        print("peer pipeline skipped: binutils-arm-none-eabi or srecord is not installed")

    runs = {
        "pass": [[python, "-c", "pass"]],
        "pass -S": [[python, "-S", "-c", "pass"]],
        "import": [[python, "-c", "import velk_crc"]],
        "import -S": [[python, "-S", "-c",
                       f"import sys; sys.path += {folders!r}; import velk_crc"]],
    }
    with tempfile.TemporaryDirectory() as folder:
        flash = {}
        for size in STARTUP_SIZES:
            path, _ = make_firmware(folder, size)
            flash[size] = [*command, "FLASH", path, "--ncrc_value"]
            runs[("ours", size)] = [flash[size]]
            runs[("ours -S", size)] = [[*bare_s, "FLASH", path, "--ncrc_value"]]
            if have_peer:
                peer_hex = peer_flash(path, folder)
                for ours_run in (runs[("ours", size)], runs[("ours -S", size)]):
                    run_all(ours_run)
                    if not same_intel_hex(os.path.splitext(path)[0] + "_CRC.hex", peer_hex):
                        raise SystemExit(f"the peer pipeline's HEX differs from FLASH "
                                         f"mode's at {size} bytes")
                runs[("peer", size)] = lambda path=path: peer_flash(path, folder)
        names = list(runs)
        seconds = paired_medians(
            [runs[n] if callable(runs[n]) else (lambda c=runs[n]: run_all(c))
             for n in names], repeat)
        ms = {n: 1000 * t for n, t in zip(names, seconds)}
        rss_runs = max(1, min(repeat, 5))
        small = STARTUP_SIZES[0]
        rss = {
            "pass": median_rss([python, "-c", "pass"], rss_runs),
            "pass -S": median_rss([python, "-S", "-c", "pass"], rss_runs),
            "ours": median_rss(flash[small], rss_runs),
            "ours -S": median_rss(runs[("ours -S", small)][0], rss_runs),
        }

    def met(value, goal):
        return "yes" if value <= goal else "NO"

    print()
    print(f"median of {repeat} interleaved rounds (order flipped every round); "
          f"peak RSS: median of {rss_runs} runs")
    header = (f"{'':<26} {'ours':>10}   {'against':<26} {'result':>10}  "
              f"{'goal':>9}  met")
    print(header)
    print("-" * len(header))

    def row(what, ours_text, against, result, goal, ok):
        print(f"{what:<26} {ours_text:>10}   {against:<26} {result:>10}  {goal:>9}  "
              f"{ok}".rstrip())

    for size in STARTUP_SIZES if have_peer else ():
        ratio = ms[("ours", size)] / ms[("peer", size)]
        goal = RATIO_GOALS[size]
        row(f"FLASH {size_label(size)}", f"{ms[('ours', size)]:.1f} ms",
            f"peer {ms[('peer', size)]:.1f} ms", f"{ratio:.2f}x", f"<= {goal:.2f}x",
            met(ratio, goal))
    added = ms["import"] - ms["pass"]
    row("import velk_crc", f"{ms['import']:.1f} ms", f"python -c pass {ms['pass']:.1f} ms",
        f"{added:+.1f} ms", f"<= {IMPORT_GOAL_MS:.0f} ms", met(added, IMPORT_GOAL_MS))
    above = rss["ours"] - rss["pass"]
    row(f"peak RSS FLASH {size_label(small)}", f"{rss['ours']:.1f} MiB",
        f"python -c pass {rss['pass']:.1f} MiB", f"{above:+.1f} MiB",
        f"<= {MEMORY_GOAL_MiB:.0f} MiB", met(above, MEMORY_GOAL_MiB))

    print()
    print("the interpreter's share: this machine's interpreter runs site-packages .pth")
    print("start-up hooks before any of our code (not velk-crc's, not the peer's):")
    site_ms = ms["pass"] - ms["pass -S"]
    row("bare interpreter", f"{ms['pass']:.1f} ms", f"python -S -c pass {ms['pass -S']:.1f} ms",
        f"{site_ms:+.1f} ms", "", "")
    print("velk-crc's own time: FLASH above the bare interpreter it starts with:")
    for size in STARTUP_SIZES:
        row(f"FLASH {size_label(size)}", f"{ms[('ours', size)]:.1f} ms",
            f"python -c pass {ms['pass']:.1f} ms",
            f"{ms[('ours', size)] - ms['pass']:+.1f} ms", "", "")
    print("the same runs through python -S (site-packages appended to sys.path, no hooks):")
    for size in STARTUP_SIZES if have_peer else ():
        ratio = ms[("ours -S", size)] / ms[("peer", size)]
        row(f"FLASH {size_label(size)} -S", f"{ms[('ours -S', size)]:.1f} ms",
            f"peer {ms[('peer', size)]:.1f} ms", f"{ratio:.2f}x", "", "")
    row("import velk_crc -S", f"{ms['import -S']:.1f} ms",
        f"python -S -c pass {ms['pass -S']:.1f} ms",
        f"{ms['import -S'] - ms['pass -S']:+.1f} ms", "", "")
    row(f"peak RSS FLASH {size_label(small)} -S", f"{rss['ours -S']:.1f} MiB",
        f"python -S -c pass {rss['pass -S']:.1f} MiB",
        f"{rss['ours -S'] - rss['pass -S']:+.1f} MiB", "", "")


CONFIG = LOAD + 0x00900000  # beyond 64 KiB of the image's end: a cluster of its own


def make_header_firmware(folder, size):
    """An image of `size` bytes opening with a vector table and a 32-byte
    header, crc_value at its end, and a 4 KiB configuration block ending in
    cfg_crc."""
    image = bytearray(random.Random(size).randbytes(size))
    image[0x40:0x60] = b"\xff" * 32
    image[-4:] = b"\xff" * 4
    config = random.Random(1).randbytes(0x1000 - 4) + b"\xff" * 4
    symbols = [("app_header", LOAD + 0x40, 32, 1), ("crc_value", LOAD + size - 4, 4, 1),
               ("cfg_crc", CONFIG + 0x1000 - 4, 4, 1)]
    path = os.path.join(folder, f"fw_header_{size}.elf")
    Elf(entry=LOAD + 0x45, segments=[Segment(LOAD, bytes(image), section=".text"),
                                     Segment(CONFIG, config, section=".config")],
        symbols=symbols).write(path)
    return path


def ratio_table(label, contenders, goals, inputs, repeat):
    """Median time of each contender (whole processes, the same rounds), its
    ratio to the first with the goal it has, and its peak RSS against the
    bare import plus three times the `inputs` bytes."""
    for words in contenders.values():
        run_all([words])
    names = list(contenders)
    times = dict(zip(names, paired_medians(
        [lambda c=contenders[n]: run_all([c]) for n in names], repeat)))
    bare = peak_rss([sys.executable, "-c", "import velk_crc._core, crcmod"])
    budget = bare + 3 * inputs / MiB
    print(f"velk-crc runs as: {label}; inputs {inputs:,} B; bare import {bare:.1f} MiB, "
          f"budget {budget:.1f} MiB")
    header = f"{'contender':<11} {'median s':>9} {'ratio':>6} {'goal':>5} {'peak MiB':>9}"
    print(header)
    print("-" * len(header))
    for name in names:
        ratio = times[name] / times[names[0]]
        goal = goals.get(name)
        peak = peak_rss(contenders[name])
        verdict = "" if goal is None else ("met" if ratio <= goal else "MISSED")
        print(f"{name:<11} {times[name]:9.4f} {ratio:6.3f} {goal or '':>5} {peak:9.1f} "
              f"{'within budget' if peak <= budget else 'OVER BUDGET'} {verdict}", flush=True)


def records(folder, size, repeat):
    """One record, a header and a second record, another algorithm."""
    command, label = velk_command()
    path = make_header_firmware(folder, size)
    one = [*command, "FLASH", path, "--ncrc_value"]
    ratio_table(label, {
        "one-record": one,
        "header+n": [*command, "FLASH", path, "--header", "app_header:size@8,crc@12,hcrc@16",
                     "--ncfg_crc"],
        "iso-hdlc": [*one, "--crc", "CRC-32/ISO-HDLC"],
    }, {"header+n": 1.2, "iso-hdlc": 1.1}, os.path.getsize(path), repeat)


BOOT_SIZE = 32 * 1024


def make_production(folder, size):
    """A 32 KiB bootloader HEX at LOAD and an application of `size` bytes
    after it ending in crc_value."""
    from intelhex import IntelHex
    boot = IntelHex()
    boot.frombytes(random.Random(2).randbytes(BOOT_SIZE), LOAD)
    boot.start_addr = {"EIP": LOAD + 0x41}
    boot_path = os.path.join(folder, "boot.hex")
    boot.write_hex_file(boot_path)
    app = LOAD + BOOT_SIZE
    image = random.Random(size).randbytes(size - 4) + b"\xff" * 4
    path = os.path.join(folder, f"app_{size}.elf")
    Elf(entry=app + 0x45, segments=[Segment(app, image, section=".text")],
        symbols=[("crc_value", app + size - 4, 4, 1)]).write(path)
    return path, boot_path


def production(folder, size, repeat):
    """The HEX alone against a merged bootloader and every format."""
    command, label = velk_command()
    path, boot = make_production(folder, size)
    ratio_table(label, {
        "hex-only": [*command, "FLASH", path, "--ncrc_value"],
        "merged-all": [*command, "FLASH", path, "--ncrc_value", "--merge", boot, "--bin",
                       "--srec", "--uf2", "rp2040"],
    }, {"merged-all": 1.5}, os.path.getsize(path) + os.path.getsize(boot), repeat)



VENDOR_SIZE = 8 * MiB
VENDOR_GOAL = 1.2  # a run writing one vendor's file over the HEX alone, at most


def vendor_tables():
    """Per vendor format: the build it is timed on (path, image bytes) and
    the words that ask for its file."""
    def plain(folder):
        # At 0x10000: an NXP image's execution address is its first byte's.
        image = bytearray(random.Random(VENDOR_SIZE).randbytes(VENDOR_SIZE - 4) + b"\xff" * 4)
        image[0x20:0x38] = bytes(0x18)  # the vector table's reserved entries
        image = bytes(image)
        path = os.path.join(folder, "vendor.elf")
        Elf(entry=0x10045, segments=[Segment(0x10000, image, section=".text")],
            symbols=[("crc_value", 0x10000 + VENDOR_SIZE - 4, 4, 1)]).write(path)
        return path, VENDOR_SIZE

    def esp32c3(folder):
        # An ESP32-C3 build: its code in flash on the instruction bus, ending
        # in the record, and a few bytes of IRAM, which fill the gap before it.
        image = random.Random(VENDOR_SIZE).randbytes(VENDOR_SIZE - 4) + b"\xff" * 4
        path = os.path.join(folder, "vendor_c3.elf")
        Elf(entry=0x40380000, machine=243,
            segments=[Segment(0x40380000, bytes(256), section=".iram0.text"),
                      Segment(0x42000020, image, section=".flash.text")],
            symbols=[("crc_value", 0x42000020 + VENDOR_SIZE - 4, 4, 1)]).write(path)
        return path, VENDOR_SIZE
    def nrf52840(folder):
        # The largest nRF52840 application: after an S140 SoftDevice
        # (0x27000) and below the settings' backup page (0xFE000).
        size = 0xFE000 - 0x27000
        image = random.Random(size).randbytes(size - 4) + b"\xff" * 4
        path = os.path.join(folder, "nrf52840.elf")
        Elf(entry=0x27045, segments=[Segment(0x27000, image, section=".text")],
            symbols=[("crc_value", 0x27000 + size - 4, 4, 1)]).write(path)
        return path, size

    return {
        "dfuse": (plain, ["--dfuse", "0483:df11"]),
        "esp32": (esp32c3, ["--esp32", "chip=esp32c3"]),
        # Its header's words are filled in after the record, out of its range.
        "nxp-mbi": (plain, ["--nxp-mbi", "--exclude", "0x00010020-0x00010038"]),
        "nrf-settings": (nrf52840, ["--nrf-settings",
                                    "nrf52840,app-version=1,bl-version=1,bl-settings-version=2"]),
    }


def vendors(repeat):
    """FLASH writing the HEX alone against the same run writing one vendor's
    file too, each format in a table of its own."""
    command, label = velk_command()
    print(f"whole processes, FLASH mode: the HEX alone against one vendor's file "
          f"as well (goal {VENDOR_GOAL})")
    with tempfile.TemporaryDirectory() as folder:
        for name, (make, words) in vendor_tables().items():
            path, size = make(folder)
            print()
            print(f"{name} ({size / MiB:.2f} MiB image): {' '.join(words)}")
            hex_only = [*command, "FLASH", path, "--ncrc_value"]
            ratio_table(label, {"hex-only": hex_only, name: [*hex_only, *words]},
                        {name: VENDOR_GOAL}, os.path.getsize(path), repeat)


MCUBOOT_SIZE = 8 * MiB
MCUBOOT_HEADER = 0x200
MCUBOOT_GOALS = {"plain": 1.3, "then-imgtool": 0.3}  # --mcuboot's time over each, at most
ENCRYPTED_GOAL = 1.5  # an encrypted run's time over the signed one's, at most


def make_mcuboot_firmware(folder, size):
    """An application linked MCUBOOT_HEADER bytes into its slot at LOAD:
    a vector table of 64 entries, then `size` bytes in all ending in
    crc_value; and an Ed25519 key."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ed25519
    app = LOAD + MCUBOOT_HEADER
    image = bytearray(random.Random(size).randbytes(size))
    struct.pack_into("<I", image, 0, 0x20010000)
    for i in range(1, 64):
        struct.pack_into("<I", image, 4 * i, app + 0x101 + 4 * i)
    image[-4:] = b"\xff" * 4
    path = os.path.join(folder, f"app_mcuboot_{size}.elf")
    Elf(entry=app + 0x105, segments=[Segment(app, bytes(image), section=".text")],
        symbols=[("crc_value", app + size - 4, 4, 1)]).write(path)
    key = os.path.join(folder, "ed25519.pem")
    with open(key, "wb") as f:
        f.write(ed25519.Ed25519PrivateKey.generate().private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption()))
    return path, key


def make_device_key(folder):
    """The public half of an X25519 key an encrypted image is sealed for."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import x25519
    path = os.path.join(folder, "enc-x25519-pub.pem")
    with open(path, "wb") as f:
        f.write(x25519.X25519PrivateKey.generate().public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    return path


def mcuboot(repeat):
    """FLASH --mcuboot against FLASH alone and FLASH then imgtool sign."""
    from intelhex import IntelHex
    command, label = velk_command()
    imgtool = shutil.which("imgtool", path=os.path.dirname(sys.executable)) or \
        shutil.which("imgtool")
    with tempfile.TemporaryDirectory() as folder:
        path, key = make_mcuboot_firmware(folder, MCUBOOT_SIZE)
        hex_file = path[:-len(".elf")] + "_CRC.hex"
        plain = [*command, "FLASH", path, "--ncrc_value"]
        signed = [*plain, "--mcuboot", f"key={key},header={MCUBOOT_HEADER:#x}"]
        # Unsigned: the hashes alone, without the cryptography package's import.
        unsigned = [*plain, "--mcuboot", f"header={MCUBOOT_HEADER:#x}"]
        # Encrypted for an X25519 key: over the signed run, ENCRYPTED_GOAL.
        encrypted = [*plain, "--mcuboot", f"key={key},header={MCUBOOT_HEADER:#x},"
                     f"encrypt={make_device_key(folder)}"]
        contenders = {"mcuboot": [signed], "plain": [plain], "unsigned": [unsigned],
                      "encrypted": [encrypted]}
        if imgtool:
            theirs = os.path.join(folder, "imgtool.hex")
            contenders["then-imgtool"] = [
                plain, [imgtool, "sign", "-k", key, "-H", str(MCUBOOT_HEADER),
                        "--pad-header", "-S", str(16 * MiB), "-v", "0.0.0", hex_file,
                        theirs]]
            run_all(contenders["then-imgtool"])
            their_bytes = IntelHex(theirs).tobinstr()
            run_all([signed])
            if IntelHex(hex_file).tobinstr() != their_bytes:
                raise SystemExit("FLASH --mcuboot and imgtool sign differ")
        names = list(contenders)
        times = dict(zip(names, paired_medians(
            [lambda c=contenders[n]: run_all(c) for n in names], repeat)))
    print(f"velk-crc runs as: {label}; {size_label(MCUBOOT_SIZE)}, Ed25519"
          + ("" if imgtool else "; imgtool is not installed"))
    header = f"{'contender':<13} {'median s':>9} {'mcuboot/it':>11} {'goal':>7}  met"
    print(header)
    print("-" * len(header))
    for name in names:
        ratio = times["mcuboot"] / times[name]
        goal = MCUBOOT_GOALS.get(name)
        print(f"{name:<13} {times[name]:9.4f} {ratio:11.3f} "
              f"{f'<= {goal}' if goal else '':>7}  {met(ratio, goal) if goal else ''}",
              flush=True)
    ratio = times["encrypted"] / times["mcuboot"]
    print(f"encrypted (X25519, AES-128) over signed: {ratio:.3f} (goal <= {ENCRYPTED_GOAL})  "
          f"{met(ratio, ENCRYPTED_GOAL)}")
    print()
    two_steps(repeat)


# Each over the one-step signed run, at most.
TWO_STEP_GOALS = {"sign=digest": 1.0, "signature=": 1.0, "both": 1.6}


def two_steps(repeat):
    """FLASH --mcuboot with the key's public half in two steps, sign=digest
    then signature=<file> with the holder's signature, against the one-step
    run with the private key, at 8 MiB."""
    import base64

    from cryptography.hazmat.primitives import serialization
    command, _ = velk_command()
    with tempfile.TemporaryDirectory() as folder:
        path, key = make_mcuboot_firmware(folder, MCUBOOT_SIZE)
        with open(key, "rb") as f:
            private = serialization.load_pem_private_key(f.read(), None)
        public = os.path.join(folder, "ed25519.pub.pem")
        with open(public, "wb") as f:
            f.write(private.public_key().public_bytes(
                serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
        words = [*command, "FLASH", path, "--ncrc_value", "--mcuboot"]
        first = [*words, f"key={public},header={MCUBOOT_HEADER:#x},sign=digest"]
        run_all([first])
        with open(path[:-len(".elf")] + "_CRC.tosign", "rb") as f:
            signature = private.sign(f.read())
        signature_file = os.path.join(folder, "app.sig")
        with open(signature_file, "wb") as f:
            f.write(base64.b64encode(signature))
        second = [*words, f"key={public},header={MCUBOOT_HEADER:#x},signature={signature_file}"]
        runs = {"one-step": [[*words, f"key={key},header={MCUBOOT_HEADER:#x}"]],
                "sign=digest": [first], "signature=": [second], "both": [first, second]}
        names = list(runs)
        times = dict(zip(names, paired_medians(
            [lambda c=runs[n]: run_all(c) for n in names], repeat)))
    print(f"two steps, the key's public half: {size_label(MCUBOOT_SIZE)}, Ed25519")
    header = f"{'run':<13} {'median s':>9} {'it/one-step':>11} {'goal':>7}  met"
    print(header)
    print("-" * len(header))
    for name in names:
        ratio = times[name] / times["one-step"]
        goal = TWO_STEP_GOALS.get(name)
        print(f"{name:<13} {times[name]:9.4f} {ratio:11.3f} "
              f"{f'<= {goal}' if goal else '':>7}  {met(ratio, goal) if goal else ''}",
              flush=True)


AGAINST_GOALS = {"plain": 1.05}


def against(other, size, repeat):
    """This build's FLASH against `other`'s (a build folder whose velk_crc
    goes on PYTHONPATH), the same words, interleaved."""
    code = "import sys; from velk_crc import runmain; sys.exit(runmain())"
    mine = dict(os.environ)
    theirs = dict(os.environ, PYTHONPATH=os.path.abspath(other))
    with tempfile.TemporaryDirectory() as folder:
        plain, _ = make_firmware(folder, size)
        app, boot = make_production(folder, size)
        signed, key = make_mcuboot_firmware(folder, size)
        runs = {
            "plain": ["FLASH", plain, "--ncrc_value"],
            "merged-all": ["FLASH", app, "--ncrc_value", "--merge", boot, "--bin", "--srec",
                           "--uf2", "rp2040"],
            "mcuboot": ["FLASH", signed, "--ncrc_value", "--mcuboot",
                        f"key={key},header={MCUBOOT_HEADER:#x}"],
        }
        print(f"FLASH at {size_label(size)}: this build against {other}")
        header = f"{'run':<11} {'this s':>9} {'other s':>9} {'ratio':>6} {'goal':>5}"
        print(header)
        print("-" * len(header))
        for name, words in runs.items():
            command = [sys.executable, "-c", code, *words]

            def run(env):
                subprocess.run(command, env=env, check=True, capture_output=True)

            this_s, other_s = paired_medians([lambda: run(mine), lambda: run(theirs)], repeat)
            goal = AGAINST_GOALS.get(name)
            ratio = this_s / other_s
            print(f"{name:<11} {this_s:9.4f} {other_s:9.4f} {ratio:6.3f} {goal or '':>5} "
                  f"{met(ratio, goal) if goal else ''}", flush=True)


def met(value, goal, at_least=False):
    return "met" if (value >= goal if at_least else value <= goal) else "MISSED"


CRC_BYTES = 8 * MiB
CRC_GOAL = 3.0  # our speed over crcmod's, at least
# CRC-64/XZ has no catalogue row: its parameters (width, poly, init, refin,
# refout, xorout).
CRC64_XZ = (64, 0x42F0E1EBA9EA3693, (1 << 64) - 1, True, True, (1 << 64) - 1)


def crc_rows():
    """Each algorithm as ours names it, crcmod's function for it, and the
    value both must give for b"123456789"."""
    import crcmod
    from crcmod.predefined import mkPredefinedCrcFun

    return [
        ("CRC-32/MPEG-2", "CRC-32/MPEG-2", mkPredefinedCrcFun("crc-32-mpeg"), 0x0376E6E7),
        ("CRC-32/ISO-HDLC", "CRC-32/ISO-HDLC", mkPredefinedCrcFun("crc-32"), 0xCBF43926),
        ("CRC-32/ISCSI", "CRC-32/ISCSI", mkPredefinedCrcFun("crc-32c"), 0xE3069283),
        ("CRC-16/XMODEM", "CRC-16/XMODEM", mkPredefinedCrcFun("xmodem"), 0x31C3),
        # crcmod starts from initCrc XORed with xorOut: all ones twice is 0.
        ("CRC-64/XZ", CRC64_XZ,
         crcmod.mkCrcFun((1 << 64) | CRC64_XZ[1], initCrc=0, rev=True, xorOut=CRC64_XZ[5]),
         0x995DC9BBDF1939FA),
    ]


def crc_speed(repeat):
    """Our CRC against crcmod's for the same algorithm over 8 MiB of random
    bytes, in one process, timed in the same rounds; both first give the
    check value and agree on the 8 MiB."""
    import crcmod  # noqa: F401
    from velk_crc._core import _checksum

    print(f"CRC speed over {size_label(CRC_BYTES)} of random bytes, in one process "
          f"(median of {repeat} interleaved rounds)")
    print(f"crcmod compiled extension in use: {sys.modules['crcmod.crcmod']._usingExtension}")
    data = random.Random(CRC_BYTES).randbytes(CRC_BYTES)
    header = (f"{'algorithm':<16} {'ours MB/s':>10} {'crcmod MB/s':>12} {'ratio':>7} "
              f"{'goal':>6}  met")
    print(header)
    print("-" * len(header))
    for label, algorithm, theirs, check in crc_rows():
        def ours_crc(what, algorithm=algorithm):
            return _checksum(algorithm, what, False)
        if {ours_crc(b"123456789"), theirs(b"123456789")} != {check}:
            raise SystemExit(f"{label}: the check value is not {check:#x}")
        if ours_crc(data) != theirs(data):
            raise SystemExit(f"{label}: ours and crcmod's differ on {size_label(CRC_BYTES)}")
        ours_s, theirs_s = paired_medians(
            [lambda: ours_crc(data), lambda: theirs(data)], repeat)
        ratio = theirs_s / ours_s
        print(f"{label:<16} {CRC_BYTES / 1e6 / ours_s:10.0f} {CRC_BYTES / 1e6 / theirs_s:12.0f} "
              f"{ratio:6.2f}x {f'>= {CRC_GOAL:.0f}x':>6}  {met(ratio, CRC_GOAL, True)}",
              flush=True)
    print()
    catalogue_speed(repeat)


# Each algorithm's time over CRC-32/MPEG-2's at 8 MiB, at most, and the
# independent value it must give for the data first.
def catalogue_rows():
    import hashlib
    import zlib

    import crcmod
    from crcmod.predefined import mkPredefinedCrcFun

    def words(data):
        return memoryview(data).cast("I")  # little-endian on the machines we time

    def fletcher32(data):
        sum1 = sum2 = 0
        for term in memoryview(data).cast("H"):
            sum1 = (sum1 + term) % 65535
            sum2 = (sum2 + sum1) % 65535
        return sum2 << 16 | sum1

    xz = crcmod.mkCrcFun((1 << 64) | CRC64_XZ[1], initCrc=0, rev=True, xorOut=CRC64_XZ[5])
    return [
        ("CRC-32/ISO-HDLC", 1.1, zlib.crc32),
        ("CRC-16/XMODEM", 1.1, mkPredefinedCrcFun("xmodem")),
        ("CRC-64/XZ", 1.1, xz),
        ("sum-32/words", 1.1, lambda data: sum(words(data)) & 0xFFFFFFFF),
        ("fletcher-32", 1.1, fletcher32),
        ("adler-32", 1.1, zlib.adler32),
        ("sha-256", 1.5, lambda data: hashlib.sha256(data).digest()),
    ]


def catalogue_speed(repeat):
    """Each of the catalogue's usual algorithms over 8 MiB of random bytes
    against CRC-32/MPEG-2 over the same bytes, in one process, timed in the
    same rounds; each first gives the value zlib, crcmod, hashlib or plain
    Python arithmetic gives."""
    from velk_crc._core import _checksum

    print(f"catalogue speed over {size_label(CRC_BYTES)} of random bytes against "
          f"CRC-32/MPEG-2 (median of {repeat} interleaved rounds)")
    data = random.Random(CRC_BYTES + 1).randbytes(CRC_BYTES)
    header = f"{'algorithm':<16} {'MB/s':>8} {'MPEG-2 MB/s':>12} {'time':>7} {'goal':>7}  met"
    print(header)
    print("-" * len(header))
    for name, goal, reference in catalogue_rows():
        if _checksum(name, data, False) != reference(data):
            raise SystemExit(f"{name}: ours and the reference differ on {size_label(CRC_BYTES)}")
        ours_s, mpeg2_s = paired_medians(
            [lambda: _checksum(name, data, False),
             lambda: _checksum("CRC-32/MPEG-2", data, False)], repeat)
        ratio = ours_s / mpeg2_s
        print(f"{name:<16} {CRC_BYTES / 1e6 / ours_s:8.0f} {CRC_BYTES / 1e6 / mpeg2_s:12.0f} "
              f"{ratio:6.2f}x {f'<= {goal}x':>7}  {met(ratio, goal)}", flush=True)


# FLASH's time over the peer pipeline's, at most, from 64 KiB to 32 MiB.
ENGINE_GOALS = {64 * 1024: 1.0, MiB: 0.4, 8 * MiB: 0.12, 32 * MiB: 0.06}


def engine(repeat):
    """velk-crc FLASH against the peer pipeline as a user's script runs it
    (peer_flash), whole processes, each size timed in its own rounds after
    the peer's HEX is checked equal to ours."""
    command, label = velk_command()
    print(f"whole processes, FLASH mode against the peer (median of {repeat} "
          "interleaved rounds)")
    print(f"velk-crc runs as: {label} ({command[0]})")
    print("peer: arm-none-eabi-readelf -s (the slot's address), arm-none-eabi-objcopy "
          "-O binary, srec_cat")
    if not all(shutil.which(t) for t in ("arm-none-eabi-readelf", "arm-none-eabi-objcopy",
                                         "srec_cat", "srec_cmp")):
        print("skipped: binutils-arm-none-eabi or srecord is not installed")
        return
    header = f"{'size':>8} {'ours s':>9} {'peer s':>9} {'ratio':>7} {'goal':>8}  met"
    print(header)
    print("-" * len(header))
    with tempfile.TemporaryDirectory() as folder:
        for size, goal in ENGINE_GOALS.items():
            path, _ = make_firmware(folder, size)
            flash = [*command, "FLASH", path, "--ncrc_value"]
            run_all([flash])
            if not same_intel_hex(os.path.splitext(path)[0] + "_CRC.hex",
                                  peer_flash(path, folder)):
                raise SystemExit(f"the peer pipeline's HEX differs from FLASH mode's "
                                 f"at {size} bytes")
            ours_s, peer_s = paired_medians(
                [lambda: run_all([flash]), lambda: peer_flash(path, folder)], repeat)
            ratio = ours_s / peer_s
            print(f"{size_label(size):>8} {ours_s:9.4f} {peer_s:9.4f} {ratio:6.3f}x "
                  f"{f'<= {goal:.2f}x':>8}  {met(ratio, goal)}", flush=True)


THREAD_BUILDS = 4
THREAD_SIZE = 16 * MiB
THREADS_GOAL = 0.65  # four builds from four threads over one after another, at most


def threads(repeat):
    """In one process, flash() on four different builds from four threads
    against the same four calls one after another, then the peak RSS of one
    flash() in a fresh process against the bare import plus three times
    the build's size."""
    import velk_crc

    print(f"velk_crc.flash() on {THREAD_BUILDS} builds of {size_label(THREAD_SIZE)}, "
          f"in one process (median of {repeat} interleaved rounds); "
          f"os.cpu_count() = {os.cpu_count()}")

    def one(path):
        return velk_crc.flash(path, symbol="crc_value").checksum

    with tempfile.TemporaryDirectory() as folder:
        paths = [make_firmware(folder, THREAD_SIZE, variant)[0]
                 for variant in range(THREAD_BUILDS)]

        def sequential():
            return [one(path) for path in paths]

        def threaded():
            with concurrent.futures.ThreadPoolExecutor(max_workers=len(paths)) as pool:
                return list(pool.map(one, paths))

        alone = sequential()
        if len(set(alone)) != len(paths):
            raise SystemExit("the builds do not all have different checksums")
        if threaded() != alone:
            raise SystemExit("flash() from threads gave other checksums than one after another")
        sequential_s, threaded_s = paired_medians([sequential, threaded], repeat)
        ratio = threaded_s / sequential_s

        rss_runs = max(1, min(repeat, 5))
        path = paths[0]
        imported = median_rss([sys.executable, "-c", "import velk_crc"], rss_runs)
        flashed = median_rss([sys.executable, "-c", "import velk_crc; "
                              f"velk_crc.flash({path!r}, symbol='crc_value')"], rss_runs)
        size = os.path.getsize(path)
    budget = imported + 3 * size / MiB

    header = f"{'':<24} {'result':>12} {'goal':>12}  met"
    print(header)
    print("-" * len(header))
    print(f"{'one after another':<24} {sequential_s:10.4f} s")
    print(f"{f'{THREAD_BUILDS} threads':<24} {threaded_s:10.4f} s")
    print(f"{'threads / sequential':<24} {ratio:11.3f}x {f'<= {THREADS_GOAL:.2f}x':>12}  "
          f"{met(ratio, THREADS_GOAL)}")
    print(f"peak RSS, median of {rss_runs} fresh processes; the build's ELF {size:,} B")
    print(f"{'import velk_crc':<24} {imported:8.1f} MiB")
    print(f"{'import and one flash()':<24} {flashed:8.1f} MiB {f'<= {budget:.1f} MiB':>12}  "
          f"{met(flashed, budget)}", flush=True)


DEVICES = 1000
PEER_DEVICES = 20  # srec_cat processes timed; the per-device time is theirs
DEVICE_SIZE = 256 * 1024
SERIAL_AT = 0x400  # the serial number's placeholder, from the image start
DEVICE_GOALS = {"stamped": 3.0, "signed": 5.0}  # ms per device, at most
PEER_FACTOR = 10  # srec_cat's time per device over ours, at least


def make_device_firmware(folder, header=0):
    """A 256 KiB image at LOAD (after `header` bytes of MCUboot header room)
    with a 4-byte serial_no placeholder at SERIAL_AT and crc_value at its end."""
    app = LOAD + header
    image = bytearray(random.Random(7).randbytes(DEVICE_SIZE - header))
    if header:
        struct.pack_into("<I", image, 0, 0x20010000)
        for i in range(1, 64):
            struct.pack_into("<I", image, 4 * i, app + 0x101 + 4 * i)
    image[SERIAL_AT:SERIAL_AT + 4] = b"\xff" * 4
    image[-4:] = b"\xff" * 4
    path = os.path.join(folder, f"dev_{header:x}.elf")
    Elf(entry=app + 0x105, segments=[Segment(app, bytes(image), section=".text")],
        symbols=[("serial_no", app + SERIAL_AT, 4, 1),
                 ("crc_value", app + len(image) - 4, 4, 1)]).write(path)
    return path, app, len(image)


def peer_device(binary, app, size, serial, out):
    """srec_cat stamping `serial` little-endian into the serial number's
    place and storing CRC-32/ISO-HDLC of the image before the slot at it."""
    at, slot = SERIAL_AT, size - 4
    return ["srec_cat", "(", binary, "-binary", "-exclude", str(at), str(at + 4),
            "-generate", str(at), str(at + 4), "-constant-l-e", str(serial), "4", ")",
            "-fill", "0xFF", "0", str(slot), "-crop", "0", str(slot),
            "-crc32-l-e", str(slot), "-offset", hex(app), "-o", out, "-intel", "-obs=16",
            f"-execution-start-address={app + 0x105:#x}"]


def devices(repeat):
    """One devices run against srec_cat once per device."""
    command, label = velk_command()
    with tempfile.TemporaryDirectory() as folder:
        path, app, size = make_device_firmware(folder)
        binary = os.path.join(folder, "dev.bin")
        subprocess.run(["arm-none-eabi-objcopy", "-O", "binary", path, binary], check=True)
        out = os.path.join(folder, "out")

        def ours(count=DEVICES, extra=()):
            return [*command, "FLASH", path, "--ncrc_value=crc-32/iso-hdlc",
                    "--stamp", f"serial_no=serial:1..{count}", "--out", out, "--force",
                    *extra]

        run_all([ours()])
        peer_hex = os.path.join(folder, "peer.hex")
        for serial in (1, DEVICES):
            run_all([peer_device(binary, app, size, serial, peer_hex)])
            ours_hex = os.path.join(out, f"dev_0_{serial}_CRC.hex")
            if not same_intel_hex(ours_hex, peer_hex):
                raise SystemExit(f"device {serial}: our HEX and srec_cat's differ")
        peers = [peer_device(binary, app, size, n, peer_hex)
                 for n in range(1, PEER_DEVICES + 1)]
        signed_path, signed_app, _ = make_device_firmware(folder, MCUBOOT_HEADER)
        _, key = make_mcuboot_firmware(folder, 4096)
        signed = [*command, "FLASH", signed_path, "--ncrc_value=crc-32/iso-hdlc",
                  "--stamp", f"serial_no=serial:1..{DEVICES}", "--out", out, "--force",
                  "--mcuboot", f"key={key},header={MCUBOOT_HEADER:#x}"]
        stamped_s, signed_s, peer_s = paired_medians(
            [lambda: run_all([ours()]), lambda: run_all([signed]),
             lambda: run_all(peers)], repeat)
        rss_many = median_rss(ours(), 3)
        rss_few = median_rss(ours(10), 3)
    per = {"stamped": 1000 * stamped_s / DEVICES, "signed": 1000 * signed_s / DEVICES}
    peer_ms = 1000 * peer_s / PEER_DEVICES
    print(f"velk-crc runs as: {label}; {DEVICES} devices of {size_label(DEVICE_SIZE)}, "
          f"CRC-32/ISO-HDLC over the image, HEX and ELF per device")
    header = f"{'contender':<10} {'ms/device':>10} {'goal':>9}  met"
    print(header)
    print("-" * len(header))
    for name, ms in per.items():
        print(f"{name:<10} {ms:10.3f} {'<= ' + str(DEVICE_GOALS[name]):>9}  "
              f"{met(ms, DEVICE_GOALS[name])}")
    print(f"{'srec_cat':<10} {peer_ms:10.3f}")
    factor = peer_ms / per["stamped"]
    print(f"srec_cat per device over ours: {factor:.1f}x (goal >= {PEER_FACTOR}x)  "
          f"{met(factor, PEER_FACTOR, at_least=True)}")
    ratio = rss_many / rss_few
    print(f"peak RSS: {rss_many:.1f} MiB for {DEVICES} devices, {rss_few:.1f} MiB for 10: "
          f"{ratio:.2f}x (goal <= 1.2)  {met(ratio, 1.2)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+",
                        default=[64 * 1024, MiB, 8 * MiB], help="image sizes in bytes")
    parser.add_argument("--repeat", type=int, default=6,
                        help="timed runs of each (median); even keeps the order balanced")
    parser.add_argument("--no-huge", action="store_true",
                        help="skip the large images: the --a8000000 run (128 MiB image, "
                             "369 MB HEX file), the engine table (to 32 MiB) and the "
                             "threads table (four 16 MiB builds)")
    parser.add_argument("--outputs-only", action="store_true",
                        help="only the FLASH table: HEX and ELF, every file, the peer")
    parser.add_argument("--startup-only", action="store_true",
                        help="only the start-up table: FLASH at 64 KiB and 1 MiB against "
                             "the peer, import cost, peak RSS, the interpreter's share")
    parser.add_argument("--records-only", action="store_true",
                        help="only the records table at the largest size: one record, a "
                             "header and a second record, CRC-32/ISO-HDLC")
    parser.add_argument("--production-only", action="store_true",
                        help="only the production table at the largest size: the HEX "
                             "alone against a merged bootloader and every format")
    parser.add_argument("--crc-only", action="store_true",
                        help="only the CRC tables: ours against crcmod at 8 MiB, five "
                             "algorithms, and seven of the catalogue against CRC-32/MPEG-2")
    parser.add_argument("--engine-only", action="store_true",
                        help="only the engine table: FLASH against the peer from 64 KiB "
                             "to 32 MiB")
    parser.add_argument("--mcuboot-only", action="store_true",
                        help="only the MCUboot table: FLASH --mcuboot at 8 MiB against "
                             "FLASH alone and FLASH then imgtool sign")
    parser.add_argument("--threads-only", action="store_true",
                        help="only the threads table: flash() on four 16 MiB builds from "
                             "four threads and one after another, and its peak RSS")
    parser.add_argument("--devices-only", action="store_true",
                        help="only the devices table: 1,000 devices stamped in one run "
                             "against srec_cat per device, signed, and their peak RSS")
    parser.add_argument("--vendors-only", action="store_true",
                        help="only the vendors' tables: the HEX alone against the HEX "
                             "and one vendor's file, each format")
    parser.add_argument("--against", metavar="FOLDER",
                        help="only FLASH at the largest size with this build against "
                             "the velk_crc of another build folder")
    args = parser.parse_args()
    if args.against:
        against(args.against, max(args.sizes), args.repeat)
        return
    only = {"crc_only": crc_speed, "engine_only": engine, "threads_only": threads,
            "mcuboot_only": mcuboot, "devices_only": devices,
            "vendors_only": vendors}
    for flag, table in only.items():
        if getattr(args, flag):
            table(args.repeat)
            return
    if args.production_only:
        print("whole processes, FLASH mode: production images (median s)")
        with tempfile.TemporaryDirectory() as folder:
            production(folder, max(args.sizes), args.repeat)
        return
    if args.records_only:
        print("whole processes, FLASH mode: records and algorithms (median s)")
        with tempfile.TemporaryDirectory() as folder:
            records(folder, max(args.sizes), args.repeat)
        return
    if args.startup_only:
        print("start-up, whole processes: velk-crc FLASH against the peer, "
              "import velk_crc, peak RSS")
        startup(args.repeat)
        return
    if args.outputs_only:
        print("whole processes, FLASH mode, 5,000 symbols: the files written "
              "(median s, ratio of all-files to each)")
        with tempfile.TemporaryDirectory() as folder:
            output_formats(folder, args.sizes, args.repeat)
        return

    import crcmod  # noqa: F401
    import VELK_CRC

    compiled = sys.modules["crcmod.crcmod"]._usingExtension
    print(f"VELK_CRC from {VELK_CRC.__file__}")
    print(f"crcmod compiled extension in use: {compiled}")
    print()
    print("velk_crc_calc against the package floor, in one process (median s)")
    header = (f"{'size':>8} {'mode':<8} {'ours s':>9} {'floor s':>9} {'ratio':>6}  "
              "floor steps")
    print(header)
    print("-" * len(header))
    with tempfile.TemporaryDirectory() as folder:
        memory = []
        for size in args.sizes:
            path, image_size = make_firmware(folder, size)
            for mode, request in requests(image_size).items():
                steps = {}
                ours_s, floor_s = paired_medians(
                    [lambda: ours(path, *request), lambda: floor(path, *request, steps)],
                    args.repeat)
                total = sum(steps.values())
                shares = ", ".join(f"{name} {100 * t / total:.0f}%"
                                   for name, t in steps.items())
                label = size_label(size)
                print(f"{label:>8} {mode:<8} {ours_s:9.4f} {floor_s:9.4f} "
                      f"{ours_s / floor_s:6.3f}  {shares}", flush=True)
            request = requests(image_size)["address"]
            memory.append((label, size, peak_rss(in_process("ours", path, request)),
                           peak_rss(in_process("floor", path, request))))
        print()
        print("peak RSS of one in-process run, address mode")
        print(f"{'size':>8} {'ours MiB':>9} {'floor MiB':>10}")
        for label, size, ours_mb, floor_mb in memory:
            print(f"{label:>8} {ours_mb:9.1f} {floor_mb:10.1f}")
        print()
        pad = padding_cost(folder, args.repeat)
        print(f"our time for 8 MiB of 0xFF padding: {pad * 1000:.2f} ms")
        print()
        print("whole processes, name mode, 5,000 symbols (ratio to the peer pipeline)")
        whole_process(folder, args.sizes, args.repeat)
        print()
        print("whole processes, FLASH mode, 5,000 symbols: the files written "
              "(median s, ratio of all-files to each)")
        output_formats(folder, args.sizes, args.repeat)
    if not args.no_huge:
        print()
        absolute_address(args.repeat)
    print()
    print("whole command line on the example (median):")
    for label, seconds in command_line(args.repeat).items():
        print(f"  {seconds * 1000:8.1f} ms  {label}")
    print()
    print("start-up, whole processes: velk-crc FLASH against the peer, "
          "import velk_crc, peak RSS")
    startup(args.repeat)
    for table in only.values():
        if args.no_huge and table is not crc_speed:
            continue  # 32 MiB and four 16 MiB builds
        print()
        table(args.repeat)


if __name__ == "__main__":
    main()
