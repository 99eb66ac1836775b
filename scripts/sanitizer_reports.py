"""Counts sanitizer reports and says which of them concern our modules."""

import os
import re
import sys

OURS = re.compile(r"VELK_CRC\.cpython|_core\.cpython|velk::|/src/(engine|binding|velk|python)/")


def reports(folder):
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), errors="replace") as f:
            text = f.read()
        # One log can hold several reports, each opened by a banner line.
        for block in re.split(r"\n(?==+\d+==\s*ERROR|\S+:\d+:\d+: runtime error)", text):
            if "ERROR" in block or "runtime error" in block:
                yield name, block


def main(folder):
    total = ours = 0
    for name, block in reports(folder):
        total += 1
        if OURS.search(block):
            ours += 1
            print(f"--- {name}\n{block[:3000]}")
    print(f"sanitizer reports: {total} in all, {ours} touching our code")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
