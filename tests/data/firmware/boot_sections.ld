/* The usual GNU ld layout of a Cortex-M firmware, with the checksum word
   last in flash: after the load image of .data. */
ENTRY(reset_handler)

SECTIONS
{
  .text :
  {
    KEEP(*(.vectors))
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

  /* Placed after .data's load image: the boot check covers every flash
     byte before it, the initial values of .data included. */
  .crc :
  {
    KEEP(*(.crc_value))
  } > FLASH

  .bss (NOLOAD) :
  {
    __bss_start = .;
    *(.bss*)
    *(COMMON)
    . = ALIGN(4);
    __bss_end = .;
  } > RAM

  __stack_top = ORIGIN(RAM) + LENGTH(RAM);
}
