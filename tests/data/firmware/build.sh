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
