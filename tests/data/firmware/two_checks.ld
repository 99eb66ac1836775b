/* STM32F405 (QEMU's netduinoplus2): 1 MiB flash, 128 KiB RAM.

   An application image with two checks (two_checks.c): the vector table,
   app_header, code, constants and the load image of .data, and last the
   application's CRC word, app_crc, which ends the image. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08000000, LENGTH = 1024K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 128K
}

ENTRY(reset_handler)

SECTIONS
{
  .text :
  {
    KEEP(*(.vectors))
    KEEP(*(.app_header))
    *(.text*)
    *(.rodata*)
    . = ALIGN(4);
  } > FLASH

  .boot_status (NOLOAD) :
  {
    KEEP(*(.boot_status))
  } > RAM

  .data :
  {
    . = ALIGN(4);
    __data_start = .;
    *(.data*)
    . = ALIGN(4);
    __data_end = .;
  } > RAM AT > FLASH
  __data_load = LOADADDR(.data);

  .app_crc LOADADDR(.data) + SIZEOF(.data) :
  {
    KEEP(*(.app_crc))
  } > FLASH
  /* One past the last loadable byte in flash. */
  __image_end = ADDR(.app_crc) + SIZEOF(.app_crc);

  .bss (NOLOAD) : ALIGN(4)
  {
    __bss_start = .;
    *(.bss*)
    *(COMMON)
    . = ALIGN(4);
    __bss_end = .;
  } > RAM

  __stack_top = ORIGIN(RAM) + LENGTH(RAM);
}
