/* An application linked after a 64 KiB bootloader at the bottom of the
   address space. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x00010000, LENGTH = 448K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 128K
}
INCLUDE boot_sections.ld
