/* The bootloader (bootloader.c): the first 16 KiB of the STM32F405's flash,
   below the application at 0x08004000. The linker refuses a bootloader that
   outgrows the region. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08000000, LENGTH = 16K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 128K
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

  /* No initialised data and no .bss: nothing to copy or clear. */
  .data : { *(.data*) } > RAM AT > FLASH
  .bss (NOLOAD) : { *(.bss*) *(COMMON) } > RAM
  ASSERT(SIZEOF(.data) == 0 && SIZEOF(.bss) == 0, "the bootloader keeps no variables")

  __stack_top = ORIGIN(RAM) + LENGTH(RAM);
}
