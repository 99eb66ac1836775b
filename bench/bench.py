"""Times velk_crc_calc against the floor set by the packages it calls.

    python bench/bench.py                         # 64 KiB, 1 MiB, 8 MiB; 6 runs each
    python bench/bench.py --sizes 4096 --repeat 1 # a quick check that it works

For each size and mode: (a) velk_crc_calc end to end, (b) the same package
calls made directly from Python in the same order (the floor), their ratio,
the share of each package step, peak memory of one run in a fresh process,
whether crcmod's compiled extension is in use, and the whole command line
against a bare interpreter start.
"""

import argparse
import contextlib
import gc
import io
import os
import random
import resource
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


def make_firmware(folder, size):
    """An image of `size` bytes ending in crc_value, and 5,000 symbols."""
    image = random.Random(size).randbytes(size - 100)  # not a block multiple
    symbols = [(f"sym_{i}", LOAD + (i * 4) % len(image)) for i in range(SYMBOLS - 1)]
    symbols.append(("crc_value", LOAD + len(image) - 4))
    path = os.path.join(folder, f"fw_{size}.elf")
    Elf(entry=LOAD + 0x45, segments=[Segment(LOAD, image)], symbols=symbols).write(path)
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

    with contextlib.redirect_stdout(io.StringIO()):
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


def peak_rss(kind, path, request):
    """Max RSS in MiB of one run in a fresh interpreter."""
    code = (f"import sys, resource; sys.path.insert(0, {os.path.dirname(__file__)!r}); "
            f"import bench; bench.{kind}({path!r}, *{request!r}); "
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    return int(out.split()[-1]) / 1024


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


def command_line(repeat):
    example = os.path.join(ROOT, "examples", "blinky.elf")
    with tempfile.TemporaryDirectory() as folder:
        elf = os.path.join(folder, "blinky.elf")
        with open(example, "rb") as src, open(elf, "wb") as dst:
            dst.write(src.read())
        commands = {
            "velk-crc VELK blinky.elf --ncrc_value": ["velk-crc", "VELK", elf, "--ncrc_value"],
            'python -c "import VELK_CRC"': [sys.executable, "-c", "import VELK_CRC"],
            "python -c pass": [sys.executable, "-c", "pass"],
        }
        out = {}
        for label, cmd in commands.items():
            out[label] = median_time(
                lambda: subprocess.run(cmd, check=True, capture_output=True), repeat)
        return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+",
                        default=[64 * 1024, MiB, 8 * MiB], help="image sizes in bytes")
    parser.add_argument("--repeat", type=int, default=6,
                        help="timed runs of each (median); even keeps the order balanced")
    args = parser.parse_args()

    import crcmod  # noqa: F401
    import VELK_CRC

    compiled = sys.modules["crcmod.crcmod"]._usingExtension
    print(f"VELK_CRC from {VELK_CRC.__file__}")
    print(f"crcmod compiled extension in use: {compiled}")
    print()
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
                label = f"{size // 1024} KiB" if size < MiB else f"{size // MiB} MiB"
                print(f"{label:>8} {mode:<8} {ours_s:9.4f} {floor_s:9.4f} "
                      f"{ours_s / floor_s:6.3f}  {shares}", flush=True)
            request = requests(image_size)["address"]
            memory.append((label, size, peak_rss("ours", path, request),
                           peak_rss("floor", path, request)))
        print()
        print(f"{'size':>8} {'ours MiB':>9} {'floor MiB':>10} {'limit MiB':>10}  (address mode)")
        for label, size, ours_mb, floor_mb in memory:
            print(f"{label:>8} {ours_mb:9.1f} {floor_mb:10.1f} "
                  f"{floor_mb + 2 * size / MiB:10.1f}")
        print()
        pad = padding_cost(folder, args.repeat)
        print(f"our time for 8 MiB of 0xFF padding: {pad * 1000:.2f} ms")
    print()
    print("whole command line (median):")
    for label, seconds in command_line(args.repeat).items():
        print(f"  {seconds * 1000:8.1f} ms  {label}")


if __name__ == "__main__":
    main()
