/* The application in a signed image's slot at 0x08004000, with the room
   for a 512-byte image header reserved at the start of its own image, as a
   ROM start offset does: the header is written into it. The application's
   own checksum starts behind the room. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08004000, LENGTH = 1008K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 128K
}
SECTIONS
{
  .rom_start_offset :
  {
    LONG(0);
    FILL(0x00);
    . = 0x200;
  } > FLASH
}
INCLUDE boot_sections.ld
__flash_start = ADDR(.text);
