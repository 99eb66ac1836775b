"""Device files of a --stamp run booted in QEMU's netduinoplus2: the
firmware (tests/data/firmware/stamped.c) prints the serial number, MAC
address and key stamped into its flash on USART1 and computes its own
CRC-32/MPEG-2 over flash up to crc_value, so each device proves it reads
its own values and that the CRC recomputed for its bytes is the one it
checks."""

import os
import select
import subprocess
import time

import pytest

from conftest import DATA, installed, posix_only, run_command
from qemu import qemu

FIRMWARE = os.path.join(DATA, "firmware")
DEVICES = 5

pytestmark = posix_only("the console is read with select() on a pipe")
M4 = ["-mcpu=cortex-m4", "-mthumb", "-Os", "-ffreestanding", "-fno-unwind-tables",
      "-fno-asynchronous-unwind-tables", "-nostartfiles", "-nostdlib"]


@pytest.fixture(scope="module")
def line(tmp_path_factory):
    """The build, stamped for five devices: serials 1000..1004, MACs from
    02:00:00:00:00:10, one 32-byte key a device."""
    gcc = installed("arm-none-eabi-gcc")
    folder = tmp_path_factory.mktemp("devices-qemu")
    subprocess.run([gcc, *M4, "-I", FIRMWARE, "-T", os.path.join(FIRMWARE, "stamped.ld"),
                    "-o", str(folder / "fw.elf"), os.path.join(FIRMWARE, "stamped.c")],
                   check=True, capture_output=True)
    (folder / "keys").mkdir()
    keys = [bytes((device * 37 + i) & 0xFF for i in range(32)) for device in range(DEVICES)]
    for device, key in enumerate(keys):
        (folder / "keys" / f"board{device}.bin").write_bytes(key)
    done = run_command("FLASH", "fw.elf", "--ncrc_value", "--out", "line",
                       "--stamp", f"serial_no=serial:1000..{1000 + DEVICES - 1}",
                       "--stamp", "mac_addr=mac:02:00:00:00:00:10",
                       "--stamp", "device_key=file:keys/*.bin", cwd=folder)
    assert done.returncode == 0, done.stderr
    return folder / "line", keys


def console(hex_path, timeout=20.0):
    """The firmware's first line on USART1 (QEMU's first serial port); what
    it printed by `timeout` if it never ends the line."""
    command = [qemu(), "-M", "netduinoplus2", "-display", "none", "-nodefaults",
               "-monitor", "none", "-serial", "stdio", "-device", f"loader,file={hex_path}"]
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    out = b""
    try:
        # The firmware prints one line, then waits for interrupts forever.
        deadline = time.monotonic() + timeout
        while b"\n" not in out and time.monotonic() < deadline:
            ready, _, _ = select.select([proc.stdout], [], [], 0.5)
            if ready:
                chunk = os.read(proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                out += chunk
    finally:
        proc.kill()
        proc.wait(timeout=10)
        proc.stdout.close()
        proc.stderr.close()
    return out.decode(errors="replace").split("\n")[0].strip()


@pytest.mark.parametrize("device", [0, 3], ids=["first", "fourth"])
def test_each_device_boots_with_its_own_values(line, device):
    folder, keys = line
    said = console(folder / f"fw_{1000 + device}_CRC.hex").split()
    assert said[:6] == ["serial", str(1000 + device), "mac", f"02:00:00:00:00:{0x10 + device:02x}",
                        "key", keys[device][:4].hex()], said
    assert said[6:8] == ["crc", "ok"], said


def test_the_build_itself_fails_its_check(line, tmp_path):
    """The unstamped build's image, CRC stored by an ordinary run, then the
    serial patched as a script would: the firmware's check catches it."""
    folder, _ = line
    root = folder.parent
    done = run_command("FLASH", "fw.elf", "--ncrc_value", cwd=root)
    assert done.returncode == 0, done.stderr
    patched = tmp_path / "patched.bin"
    objcopy = installed("arm-none-eabi-objcopy")
    subprocess.run([objcopy, "-I", "ihex", "-O", "binary", str(root / "fw_CRC.hex"),
                    str(patched)], check=True)
    image = bytearray(patched.read_bytes())
    symbols = subprocess.run([installed("arm-none-eabi-nm"), str(root / "fw.elf")],
                             capture_output=True, text=True, check=True).stdout
    serial = next(int(line.split()[0], 16) for line in symbols.splitlines()
                  if line.endswith(" serial_no")) - 0x08000000
    image[serial:serial + 4] = (1234).to_bytes(4, "little")
    patched.write_bytes(bytes(image))
    said = console(f"{patched},addr=0x08000000").split()
    assert said[:2] == ["serial", "1234"] and said[6:8] == ["crc", "bad"], said


def test_a_plain_const_place_is_folded_by_the_compiler(tmp_path):
    """The places declared plain `const`, without the section and volatile:
    gcc puts them in .rodata and folds the placeholder into the code, so the
    stamped device still prints 0xFFFFFFFF for its serial, though its file
    holds 1000 and its CRC is right."""
    gcc = installed("arm-none-eabi-gcc")
    with open(os.path.join(FIRMWARE, "stamped.c")) as f:
        source = f.read()
    plain = "\n".join(
        line.replace('__attribute__((section(".device_data"), used)) const volatile',
                     "__attribute__((used)) const")
        for line in source.splitlines())
    assert plain.count("__attribute__((used)) const uint") == 3
    (tmp_path / "fw.c").write_text(plain)
    subprocess.run([gcc, *M4, "-I", FIRMWARE, "-T", os.path.join(FIRMWARE, "stamped.ld"),
                    "-o", str(tmp_path / "fw.elf"), str(tmp_path / "fw.c")],
                   check=True, capture_output=True)
    done = run_command("FLASH", "fw.elf", "--ncrc_value", "--out", "line",
                       "--stamp", "serial_no=serial:1000", "--count", "1", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    said = console(tmp_path / "line" / "fw_1000_CRC.hex").split()
    assert said[:2] == ["serial", str(0xFFFFFFFF)] and said[6:8] == ["crc", "ok"], said
