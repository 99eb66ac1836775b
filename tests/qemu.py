"""Boots firmware in QEMU's netduinoplus2 (STM32F405) and reads its boot status.

The test firmware (tests/data/firmware/boot.c, examples/blinky.c) leaves the
outcome of its boot-time checks in a RAM word; the QEMU monitor reads it
with `xp` until the firmware has written a final value.
"""

import re
import shutil
import subprocess
import time

import pytest

BOOT_STARTED = 0x57A27ED0
BOOT_OK = 0x600DC0DE
BOOT_CRC_BAD = 0xBAD0C5C5
BOOT_DATA_BAD = 0xBAD0DA7A
STATUS_ADDRESS = 0x20000000

WORD = re.compile(rb"[0-9a-f]+: 0x([0-9a-f]{8})")


def qemu():
    exe = shutil.which("qemu-system-arm")
    if exe is None:
        pytest.skip("qemu-system-arm is not installed (Debian package qemu-system-arm; "
                    ".ci/run installs it)")
    return exe


def boot_status(load, address=STATUS_ADDRESS, timeout=20.0):
    """The firmware's status word after boot. `load` is how QEMU gets the
    image: ["-device", "loader,file=fw.hex"] or ["-kernel", "fw.elf"]."""
    command = [qemu(), "-M", "netduinoplus2", "-display", "none", "-serial", "null",
               "-monitor", "stdio", "-nodefaults", *load]
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    value = None
    try:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            proc.stdin.write(f"xp /1wx {address:#x}\n".encode())
            proc.stdin.flush()
            while True:
                line = proc.stdout.readline()
                if not line:
                    raise AssertionError("QEMU ended: " + proc.stderr.read().decode())
                found = WORD.search(line)
                if found:
                    value = int(found.group(1), 16)
                    break
            if value not in (0, BOOT_STARTED):
                break
            time.sleep(0.05)
        proc.stdin.write(b"quit\n")
        proc.stdin.flush()
        proc.wait(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdin.close()
        proc.stdout.close()
        proc.stderr.close()
    return value


# The image-header firmware (tests/data/firmware/header.c): a header field
# that disagrees with the image, or no field filled in at all.
BOOT_SIZE_BAD = 0xBAD0512E
BOOT_HCRC_BAD = 0xBAD0EC5C
BOOT_HEADER_EMPTY = 0xBAD0E397
