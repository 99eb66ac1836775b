"""The guide's signed-image recipes (docs/guide.md, section 13) run as
written: its linker snippets build the application with GNU ld's default
flags, its key commands make the keys, and each of its command blocks runs
in a shell against that build, in both layouts of the header's room. The
bootloader merged in is the QEMU test bootloader (tests/data/firmware/
mcuboot_loader.c), which holds MCUboot's header magic as a literal, as every
real one does; it starts the application only when the image's SHA-256
matches, and the application then checks its own CRC."""

import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import DATA, posix_only, velk_command, velk_on_path
from hexcheck import read_hex
from qemu import BOOT_OK, boot_status
from test_mcuboot import segment_memory

GUIDE = os.path.join(os.path.dirname(DATA), os.pardir, "docs", "guide.md")
FIRMWARE = os.path.join(DATA, "firmware")
SLOT = 0x08010000
HEADER = 0x200
IMAGE_MAGIC = (0x96F3B83D).to_bytes(4, "little")
M4 = ["-mcpu=cortex-m4", "-mthumb", "-Os", "-ffreestanding", "-fno-unwind-tables",
      "-fno-asynchronous-unwind-tables", "-nostartfiles", "-nostdlib"]

# What the application (bootloaded_app.c) needs beyond the guide's
# sections: its status word, .data's load image, the CRC record last in
# flash, and the start of the flash it checks, the slot's image start.
TAIL = """
  .boot_status (NOLOAD) : { KEEP(*(.boot_status)) } > RAM
  .data : { __data_start = .; *(.data*) . = ALIGN(4); __data_end = .; } > RAM AT > SLOT0
  __data_load = LOADADDR(.data);
  .crc : { KEEP(*(.crc_value)) } > SLOT0
  .bss (NOLOAD) : { __bss_start = .; *(.bss*) *(COMMON) . = ALIGN(4); __bss_end = .; } > RAM
  __stack_top = ORIGIN(RAM) + LENGTH(RAM);
"""


def section_13():
    """(language, text) of every fenced block in section 13, in order."""
    with open(GUIDE) as f:
        text = f.read()
    body = text[text.index("\n## 13. "):text.index("\n## 14. ")]
    return re.findall(r"```(\w+)\n(.*?)```", body, re.S)


BLOCKS = section_13()
LINKER = [text for kind, text in BLOCKS if kind == "ld"]
SHELL = [text for kind, text in BLOCKS if kind == "sh"]


def test_the_section_holds_the_blocks_this_module_runs():
    assert len(LINKER) == 2
    assert [b.split()[0:5] for b in SHELL] == [
        ["velk-crc", "FLASH", "build/app.elf", "--ncrc_value", "\\"],
        ["mkdir", "-p", "keys", "imgtool", "keygen"],
        ["mkdir", "-p", "keys", "openssl", "genpkey"],
        ["set", "-e", "openssl", "genpkey", "-algorithm"],
        ["set", "-e", "velk-crc", "FLASH", "build/app.elf"],
        ["set", "-e", "#", "Where", "the"]]


def linker_scripts():
    """The two snippets as the guide writes them, completed: the first with
    the application's other sections where it says `/* ... */`, the second
    (a MEMORY block alone) with the first's sections but its room."""
    reserved, added = LINKER
    assert "/* ... */" in reserved
    sections = [line for line in reserved.splitlines()
                if line.strip().startswith((".isr_vector", ".text"))]
    return {
        "room-reserved": reserved.replace("/* ... */", TAIL) +
        "__flash_start = ORIGIN(SLOT0);\nENTRY(reset_handler)\n",
        "header-added": added + "SECTIONS\n{\n" + "\n".join(sections) + TAIL + "}\n" +
        "__flash_start = ORIGIN(SLOT0);\nENTRY(reset_handler)\n",
    }


def compiler():
    exe = shutil.which("arm-none-eabi-gcc")
    if exe is None:
        pytest.skip("arm-none-eabi-gcc is not installed (Debian packages gcc-arm-none-eabi "
                    "and libnewlib-arm-none-eabi; .ci/run installs them)")
    return exe


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """Each layout's application, linked with GNU ld's default flags, and
    the bootloader for the guide's slot."""
    gcc = compiler()
    folder = tmp_path_factory.mktemp("guide-build")
    out = {}
    for layout, script in linker_scripts().items():
        ld = folder / f"{layout}.ld"
        ld.write_text(script)
        elf = folder / f"{layout}.elf"
        subprocess.run([gcc, *M4, '-DVECTORS_SECTION=".isr_vector"', "-T", str(ld), "-o",
                        str(elf), os.path.join(FIRMWARE, "bootloaded_app.c")],
                       check=True, capture_output=True)
        out[layout] = elf
    loader = folder / "loader.elf"
    subprocess.run([gcc, *M4, f"-DSLOT={SLOT:#x}u", "-T",
                    os.path.join(FIRMWARE, "bootloader.ld"), "-o", str(loader),
                    os.path.join(FIRMWARE, "mcuboot_loader.c")], check=True,
                   capture_output=True)
    objcopy = shutil.which("arm-none-eabi-objcopy")
    if objcopy is None:
        pytest.skip("arm-none-eabi-objcopy is not installed (Debian package "
                    "binutils-arm-none-eabi)")
    out["loader"] = folder / "zephyr.hex"
    subprocess.run([objcopy, "-O", "ihex", str(loader), str(out["loader"])], check=True)
    return out


def shell_path(folder):
    """A PATH on which `velk-crc` is the one under test and `imgtool` the
    venv's."""
    return velk_on_path(folder, sysconfig.get_path("scripts"), os.path.dirname(sys.executable))


def run_block(block, cwd, path, **env):
    done = subprocess.run(["sh", "-c", block], cwd=cwd, capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PATH": path, **env})
    assert done.returncode == 0, f"{block}\n{done.stdout}\n{done.stderr}"
    return done


@pytest.fixture(scope="module", params=["imgtool", "openssl"])
def keys(request, tmp_path_factory):
    """One of the guide's two key blocks, each run once in a folder of its
    own, which the block makes."""
    if shutil.which("openssl") is None:
        pytest.skip("openssl makes the guide's keys")
    folder = tmp_path_factory.mktemp(f"guide-keys-{request.param}")
    path = shell_path(folder)
    if shutil.which("imgtool", path=path) is None:
        pytest.skip("imgtool is not installed (pip install imgtool==2.5.0)")
    run_block(SHELL[{"imgtool": 1, "openssl": 2}[request.param]], folder, path)
    return folder / "keys"


@pytest.fixture(params=["room-reserved", "header-added"])
def project(request, tmp_path, built, keys):
    """A project's tree as the guide's commands name it: build/app.elf,
    keys/, and MCUboot's build output."""
    (tmp_path / "build").mkdir()
    shutil.copy(built[request.param], tmp_path / "build" / "app.elf")
    shutil.copytree(keys, tmp_path / "keys")
    zephyr = tmp_path / "mcuboot" / "build" / "zephyr"
    zephyr.mkdir(parents=True)
    shutil.copy(built["loader"], zephyr / "zephyr.hex")
    return request.param, tmp_path, shell_path(tmp_path)


def test_the_snippets_make_what_the_guide_says(built):
    """The reserved room is a section of contents the image starts with;
    the other build's first segment carries the ELF file's own headers
    below the application, as GNU ld's defaults lay it out."""
    headers = subprocess.run(["arm-none-eabi-objdump", "-h", str(built["room-reserved"])],
                             capture_output=True, text=True, check=True).stdout
    room = re.search(r"\.mcuboot_header\s+(\w+)\s+(\w+).*\n\s+(.*)", headers)
    assert int(room.group(1), 16) == HEADER and int(room.group(2), 16) == SLOT
    assert room.group(3).split(", ")[:3] == ["CONTENTS", "ALLOC", "LOAD"]
    segments = subprocess.run(["arm-none-eabi-readelf", "-lW", str(built["header-added"])],
                              capture_output=True, text=True, check=True).stdout
    first = next(line.split() for line in segments.splitlines()
                 if line.strip().startswith("LOAD"))
    assert int(first[1], 16) == 0 and int(first[3], 16) == SLOT
    assert IMAGE_MAGIC in bytes(read_hex(built["loader"]).memory.values())


def load(*files):
    return [word for f in files for word in ("-device", f"loader,file={f}")]


@posix_only("the guide's blocks are POSIX shell")
def test_the_signing_command_boots(project):
    layout, root, path = project
    run_block(SHELL[0], root, path)
    image = read_hex(root / "build" / "app_CRC.hex").memory
    # The header at the slot's start in both layouts, nothing below it.
    assert min(image) == SLOT
    assert bytes(image[SLOT + i] for i in range(4)) == IMAGE_MAGIC
    checked = subprocess.run([*velk_command("CHECK", "build/app_CRC.hex", "--elf",
                                            "build/app.elf", "--ncrc_value", "--mcuboot",
                                            "key=keys/root-ed25519.pem")],
                             cwd=root, capture_output=True, text=True, timeout=120)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    loader = root / "mcuboot" / "build" / "zephyr" / "zephyr.hex"
    assert boot_status(load(loader, root / "build" / "app_CRC.hex")) == BOOT_OK


@posix_only("the guide's blocks are POSIX shell")
def test_the_ci_step_signs_checks_and_boots(project):
    layout, root, path = project
    run_block(SHELL[4], root, path, VERSION="2.0.1+7")
    manifest = json.loads((root / "build" / "app_manifest.json").read_text())
    mcuboot = manifest["mcuboot"]
    assert mcuboot["slot"] == SLOT and mcuboot["payload"] == SLOT + HEADER
    assert mcuboot["header_room"] == {"room-reserved": "reserved",
                                      "header-added": "added"}[layout]
    # imgtool's own verify of the .bin the step wrote.
    verified = subprocess.run(["imgtool", "verify", "-k", "keys/root-ed25519.pem",
                               "build/app_CRC.bin"], cwd=root, capture_output=True,
                              text=True, timeout=120, env={**os.environ, "PATH": path})
    assert "Image was correctly validated" in verified.stdout, \
        verified.stdout + verified.stderr
    assert boot_status(load(root / "build" / "app_CRC_merged.hex")) == BOOT_OK


@posix_only("the guide's blocks are POSIX shell")
def test_the_encrypted_image_checks_with_the_devices_key(project):
    """The block makes the device's key, encrypts for it and checks the
    image decrypted against the build; without the key the same CHECK
    cannot verify the payload (exit 2)."""
    layout, root, path = project
    done = run_block(SHELL[3], root, path)
    assert "encrypted with ECIES-X25519 (keys/enc-x25519-pub.pem), AES-128" in done.stdout
    assert "decrypted with keys/enc-x25519.pem" in done.stdout
    flags = read_hex(root / "build" / "app_CRC.hex").memory
    assert flags[SLOT + 16] == 0x04  # ENCRYPTED_AES128
    without = subprocess.run(velk_command("CHECK", "build/app_CRC.hex", "--elf", "build/app.elf",
                                          "--ncrc_value", "--mcuboot",
                                          "key=keys/root-ed25519.pem"),
                             cwd=root, capture_output=True, text=True, timeout=120)
    assert without.returncode == 2, without.stdout + without.stderr


@posix_only("the guide's blocks are POSIX shell")
def test_signing_in_two_steps_makes_the_one_step_image_and_it_boots(project):
    """The key's holder signs what the first run writes; the second run's
    image is the one a run that holds the key makes (Ed25519 signs the same
    bytes alike), and it boots."""
    layout, root, path = project
    done = run_block(SHELL[5], root, path)
    assert "the signature from build/app.sig verified" in done.stdout
    two_steps = (root / "build" / "app_CRC.bin").read_bytes()
    assert not (root / "build" / "app_CRC.tosign").exists()
    one_step = subprocess.run(velk_command(
        "FLASH", "build/app.elf", "--ncrc_value", "--bin", "--mcuboot",
        "key=keys/root-ed25519.pem,header=0x200,slot=0x40000"), cwd=root,
        capture_output=True, text=True, timeout=120)
    assert one_step.returncode == 0, one_step.stderr
    assert (root / "build" / "app_CRC.bin").read_bytes() == two_steps
    loader = root / "mcuboot" / "build" / "zephyr" / "zephyr.hex"
    assert boot_status(load(loader, root / "build" / "app_CRC.hex")) == BOOT_OK


def test_the_files_hold_what_objcopy_and_the_hex_hold(project):
    """Without --mcuboot the HEX is objcopy's but for the CRC; with it the
    checksummed ELF file loads, by program headers, what the HEX holds:
    never the ELF file's own headers."""
    layout, root, path = project
    objcopy = root / "objcopy.hex"
    subprocess.run(["arm-none-eabi-objcopy", "-O", "ihex", "build/app.elf", str(objcopy)],
                   cwd=root, check=True)
    theirs = read_hex(objcopy).memory
    done = subprocess.run(velk_command("FLASH", "build/app.elf", "--ncrc_value", "--json"),
                          cwd=root, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    crc = json.loads(done.stdout)["records"][0]["slot"]
    mine = read_hex(root / "build" / "app_CRC.hex").memory
    assert sorted(mine) == sorted(theirs)
    assert all(mine[a] == b for a, b in theirs.items() if not crc <= a < crc + 4)
    assert segment_memory(root / "build" / "app_CRC.elf") == mine

    run_block(SHELL[0], root, path)
    signed = read_hex(root / "build" / "app_CRC.hex").memory
    assert segment_memory(root / "build" / "app_CRC.elf") == signed
