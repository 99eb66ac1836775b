"""The small Cortex-M4 builds the devices' tests stamp, linked by the ARM
GNU toolchain from the test's own C source, with their symbols' addresses
and sizes as arm-none-eabi-nm gives them."""

import subprocess

from conftest import installed

# The checksum's slot in a segment of its own: erased flash between the
# build's last byte and the slot, which the CRC covers (srec_cat's -fill).
LINKER = """
MEMORY { FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 1K
         CRC (rx) : ORIGIN = 0x08000400, LENGTH = 4
         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 16K }
ENTRY(reset)
SECTIONS {
  .text : { KEEP(*(.vectors)) *(.text*) *(.rodata*) } > FLASH
  .crc_value : { KEEP(*(.crc_value)) } > CRC
}
"""


def symbols(elf):
    nm = installed("arm-none-eabi-nm")
    out = subprocess.run([nm, "-S", str(elf)], capture_output=True, text=True,
                         check=True).stdout
    found = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 4:
            found[fields[3]] = (int(fields[0], 16), int(fields[1], 16))
    return found


def link(folder, firmware):
    """fw.elf in `folder`, built from `firmware`, and its symbols."""
    (folder / "fw.c").write_text(firmware)
    (folder / "fw.ld").write_text(LINKER)
    elf = folder / "fw.elf"
    subprocess.run([installed("arm-none-eabi-gcc"), "-mcpu=cortex-m4", "-mthumb", "-Os",
                    "-ffreestanding", "-nostartfiles", "-nostdlib", "-T", str(folder / "fw.ld"),
                    "-o", str(elf), str(folder / "fw.c")], check=True, capture_output=True)
    return elf, symbols(elf)
