/* STM32F405 (QEMU's netduinoplus2): 1 MiB flash, 128 KiB RAM.

   An application image that starts with its header: the vector table, then
   app_header, then code, constants and the load image of .data. The image
   ends with .data's last initial byte, at __image_end, which is left off a
   word boundary on purpose (header.c's image_tail): the body a bootloader
   checks runs from the header's end to __image_end rounded up to a multiple
   of 4, the rounding bytes counting as erased flash (0xFF). */
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
    KEEP(*(.image_tail))
    __data_end = .;
  } > RAM AT > FLASH
  __data_load = LOADADDR(.data);
  /* One past the last loadable byte in flash. */
  __image_end = LOADADDR(.data) + SIZEOF(.data);

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
