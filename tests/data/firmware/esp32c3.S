/* An ESP32-C3 application's sections at the chip's addresses, enough for
   esptool elf2image: the app descriptor first in DROM, read-only data with
   a CRC variable, code in IROM and IRAM, initialised data in DRAM. */
        .section .flash.appdesc, "a"
        .globl esp_app_desc
esp_app_desc:
        .word 0xABCD5432          /* magic */
        .word 0                   /* secure_version */
        .word 0, 0
        .ascii "1.0.0"            /* version[32] */
        .space 27
        .ascii "velk_c3"          /* project_name[32] */
        .space 25
        .space 16                 /* time */
        .space 16                 /* date */
        .ascii "v5.1"             /* idf_ver[32] */
        .space 28
        .space 32                 /* app_elf_sha256, written by the image maker */
        .space 80                 /* the rest of the 256-byte descriptor */

        .section .flash.rodata, "a"
        .globl rom_table, app_crc
rom_table:
        .ascii "velk-crc esp32c3 test image rodata."  /* 35 bytes, padded to 36 */
        .balign 4
        .rept 97
        .word 0x11111111 * 3
        .endr
app_crc:                          /* last in flash data: it covers all before it */
        .word 0xFFFFFFFF

        .section .flash.text, "ax"
        .globl flash_main
flash_main:
        .rept 300
        addi a0, a0, 1
        .endr
        ret
        .balign 4

        .section .iram0.text, "ax"
        .globl call_start_cpu0
call_start_cpu0:
        la a0, app_crc
        lw a1, 0(a0)
        la t0, flash_main
        jr t0

        .section .dram0.data, "aw"
        .globl counter
counter:
        .word 0x12345678, 0x9ABCDEF0
        .ascii "dram"

        .section .dram0.bss, "aw", @nobits
        .space 64
