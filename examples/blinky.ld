/* STM32F103-class part: 64 KiB flash at 0x08000000, 20 KiB RAM. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08000000, LENGTH = 64K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 20K
}

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

  /* The checksum word closes the flash image: the boot check covers every
     byte before it. */
  .crc :
  {
    KEEP(*(.crc_value))
  } > FLASH

  /* The first RAM word: the boot check's outcome. */
  .boot_status (NOLOAD) :
  {
    KEEP(*(.boot_status))
  } > RAM

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
