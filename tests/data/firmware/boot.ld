/* STM32F405 (QEMU's netduinoplus2): 1 MiB flash, 128 KiB RAM. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08000000, LENGTH = 1024K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 128K
}
INCLUDE boot_sections.ld
