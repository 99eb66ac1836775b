/* The application started by the bootloader (bootloader.c): flash from
   0x08004000, after the bootloader's 16 KiB. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08004000, LENGTH = 1008K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 128K
}
INCLUDE boot_sections.ld
__flash_start = ORIGIN(FLASH);
