#!/bin/sh
# Rebuilds the committed test firmware with Debian's gcc-arm-none-eabi
# (12.2) and libnewlib-arm-none-eabi. CI uses the committed ELF files.
set -eu
cd "$(dirname "$0")"
CC=arm-none-eabi-gcc
CFLAGS="-mcpu=cortex-m3 -mthumb -Os -ffreestanding -fno-unwind-tables -fno-asynchronous-unwind-tables"
LDFLAGS="-nostartfiles -nostdlib -T fw.ld"

$CC $CFLAGS $LDFLAGS -o ../fw_data.elf startup.c data_init.c
$CC -mcpu=cortex-m3 -mthumb -Os -ffreestanding -funwind-tables -nostartfiles --specs=nano.specs --specs=nosys.specs -T fw.ld -o ../fw_exidx.elf startup.c unwind.c
$CC $CFLAGS $LDFLAGS -o ../fw_dupsym.elf startup.c dup_a.c dup_b.c

# Cortex-M4 firmware that checks its own flash at boot (boot.c), for QEMU's
# netduinoplus2 and the layout diagnostics.
M4="-mcpu=cortex-m4 -mthumb -Os -ffreestanding -fno-unwind-tables -fno-asynchronous-unwind-tables -nostartfiles -nostdlib"
$CC $M4 -T boot.ld -o ../fw_boot.elf boot.c
$CC $M4 -DSLOT_IN_RAM -T boot.ld -o ../fw_slot_ram.elf boot.c
$CC $M4 -DNO_DATA -T boot.ld -o ../fw_clean.elf boot.c
$CC $M4 -DNO_DATA -T boot_after_bootloader.ld -o ../fw_after_bootloader.elf boot.c
# The default layout checked as the STM32 CRC unit sees flash fed in words.
$CC $M4 -DWORD_FED -T boot.ld -o ../fw_words.elf boot.c
# The default layout plus a zero-initialised global in .bss.
$CC $M4 -DWITH_BSS -T boot.ld -o ../fw_bss.elf boot.c
# The default layout built for debugging, its unused second slot dropped.
$CC $M4 -g -fdata-sections -Wl,--gc-sections -DWITH_SPARE -T boot.ld -o ../fw_debug_gc.elf boot.c
# The reset words alone at 0x08000000 and the vector table on the next
# 512-byte boundary: 496 bytes of linker padding in the flash segment that
# no section holds.
$CC $M4 -DRESET_WORDS -T boot_aligned.ld -o ../fw_aligned_vectors.elf boot.c
# Images that start with a header after the vector table (header.c), checked
# at boot as a bootloader would; one build per checksum and byte order.
$CC $M4 -DCRC32_ISO_HDLC -T header.ld -o ../fw_header_crc32.elf header.c
$CC $M4 -DCRC32_MPEG2 -T header.ld -o ../fw_header_mpeg2.elf header.c
$CC $M4 -DCRC16_XMODEM -T header.ld -o ../fw_header_xmodem.elf header.c
$CC $M4 -DCRC32_ISO_HDLC -DBIG_ENDIAN_FIELDS -T header.ld -o ../fw_header_crc32_be.elf header.c
$CC $M4 -DCRC16_XMODEM -DBIG_ENDIAN_FIELDS -T header.ld -o ../fw_header_xmodem_be.elf header.c
# An image checked two ways at boot (two_checks.c): a zlib CRC-32 in its
# header and the STM32 CRC unit's CRC-32/MPEG-2 in its last word.
$CC $M4 -T two_checks.ld -o ../fw_two_checks.elf two_checks.c
# A 16 KiB bootloader at 0x08000000 (bootloader.c) that starts the
# application at 0x08004000 (bootloaded_app.c), for merging the two; the
# bootloader also as Intel HEX, S-records and a raw binary based at
# 0x08000000.
$CC $M4 -T bootloader.ld -o ../fw_bootloader.elf bootloader.c
$CC $M4 -T bootloaded_app.ld -o ../fw_bootloaded_app.elf bootloaded_app.c
arm-none-eabi-objcopy -O ihex ../fw_bootloader.elf ../fw_bootloader.hex
arm-none-eabi-objcopy -O srec ../fw_bootloader.elf ../fw_bootloader.srec
arm-none-eabi-objcopy -O binary ../fw_bootloader.elf ../fw_bootloader.bin
# A bootloader that checks a signed image's SHA-256 before it starts it
# (mcuboot_loader.c), and the application for its slot at 0x08004000 in the
# two layouts of the image header's room: linked behind it (-n keeps the
# ELF headers out of the room before the first section), or reserving it.
$CC $M4 -T bootloader.ld -o ../fw_mcuboot_loader.elf mcuboot_loader.c
arm-none-eabi-objcopy -O ihex ../fw_mcuboot_loader.elf ../fw_mcuboot_loader.hex
$CC $M4 -Wl,-n -T mcuboot_app.ld -o ../fw_mcuboot_app.elf bootloaded_app.c
$CC $M4 -T mcuboot_app_reserved.ld -o ../fw_mcuboot_app_reserved.elf bootloaded_app.c
# stamped.c and stamped.ld (per-device serial, MAC and key, the guide's
# --stamp build) are compiled by the tests that use them; no ELF committed.
# An ESP32-C3 application's sections at the chip's buses (esp32c3.S,
# esp32c3.ld), its app descriptor first in flash data, with Debian's
# binutils-riscv64-unknown-elf.
riscv64-unknown-elf-as -march=rv32imc -mabi=ilp32 -o esp32c3.o esp32c3.S
riscv64-unknown-elf-ld -m elf32lriscv -T esp32c3.ld -o ../esp32c3_app.elf esp32c3.o
rm esp32c3.o
# esp32_idf_app.elf is not built here: it is ESP-IDF's own build of the
# core dump test application for the ESP32 (Xtensa), tests/test_apps/
# built_apps/esp32.elf in espressif/esp-coredump (Apache-2.0), its symbols
# and debug sections stripped (objcopy -I elf32-little --strip-all) and its
# e_machine (94, Xtensa) put back, which the generic objcopy clears.
