"""The example firmware: it builds, and the HEX the tool writes boots."""

import os
import shutil
import subprocess

import pytest
from elftools.elf.elffile import ELFFile

import qemu
from hexcheck import flip_hex_byte
from conftest import ROOT, run_cli

EXAMPLES = os.path.join(ROOT, "examples")
VECTOR_RESERVED = 0x08000020  # a reserved vector entry: never executed


def test_example_hex_boots_in_qemu(velk, tmp_path, capfd):
    shutil.copy(os.path.join(EXAMPLES, "blinky.elf"), tmp_path)
    assert velk.velk_crc_calc(str(tmp_path / "blinky.elf"), "crc_value", None, None) is None
    assert capfd.readouterr().err == ""  # the example is a clean layout
    load = ["-device", f"loader,file={tmp_path / 'blinky_CRC.hex'}"]
    assert qemu.boot_status(load) == qemu.BOOT_OK
    flip_hex_byte(tmp_path / "blinky_CRC.hex", VECTOR_RESERVED)
    assert qemu.boot_status(load) == qemu.BOOT_CRC_BAD


def loadable_bytes(path):
    with open(path, "rb") as f:
        return [(s["p_paddr"], s.data()) for s in ELFFile(f).iter_segments()
                if s["p_type"] == "PT_LOAD"]


def test_make_rebuilds_in_a_fresh_clone(tmp_path):
    """A clone gives every file the same age, or the ELF a newer one: make
    must build all the same, and get the committed firmware."""
    if shutil.which("arm-none-eabi-gcc") is None:
        pytest.skip("arm-none-eabi-gcc is not installed (Debian package gcc-arm-none-eabi)")
    copy = tmp_path / "examples"
    shutil.copytree(EXAMPLES, copy)
    later = os.stat(copy / "blinky.c").st_mtime + 60
    os.utime(copy / "blinky.elf", (later, later))
    # Without the sanitizer runtimes scripts/sanitize.sh preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    result = subprocess.run(["make", "-C", str(copy)], capture_output=True, text=True,
                            timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    assert "arm-none-eabi-gcc" in result.stdout
    assert loadable_bytes(copy / "blinky.elf") == loadable_bytes(
        os.path.join(EXAMPLES, "blinky.elf"))


def test_readme_command_on_the_example(velk, monkeypatch, tmp_path):
    """The README's first command: FLASH on the example, clean, and the HEX
    boots."""
    shutil.copy(os.path.join(EXAMPLES, "blinky.elf"), tmp_path)
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "blinky.elf", "--ncrc_value")
    assert (code, err) == (0, "")
    assert qemu.boot_status(["-device", f"loader,file={tmp_path / 'blinky_CRC.hex'}"]) == \
        qemu.BOOT_OK
