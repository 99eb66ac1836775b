/* The application in a signed image's slot at 0x08004000, linked behind
   the room for a 512-byte image header: the header is added before it. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08004200, LENGTH = 1008K - 0x200
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 128K
}
INCLUDE boot_sections.ld
__flash_start = ORIGIN(FLASH);
