/* STM32F405 (QEMU's netduinoplus2): 1 MiB flash, 128 KiB RAM.

   The reset words first, then the vector table on the next 512-byte
   boundary, where VTOR can point at it: the linker pads the 496 bytes
   between them with zeros inside the flash segment, but no section holds
   that padding. The rest as boot_sections.ld lays it out. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08000000, LENGTH = 1024K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 128K
}

SECTIONS
{
  .reset_words :
  {
    KEEP(*(.reset_words))
  } > FLASH

  .vectors ALIGN(512) :
  {
    KEEP(*(.vectors))
  } > FLASH
}

INCLUDE boot_sections.ld
