/* The ESP32-C3's buses as ESP-IDF's application links them: flash data and
   code mapped through the MMU 0x20 bytes into a 64 KiB page (the image's
   header and the first segment's header sit before them), IRAM and DRAM
   in the internal SRAM. */
ENTRY(call_start_cpu0)
MEMORY
{
  iram (rx)  : ORIGIN = 0x40380000, LENGTH = 0x20000
  dram (rw)  : ORIGIN = 0x3FC80000, LENGTH = 0x20000
  drom (r)   : ORIGIN = 0x3C000020, LENGTH = 0x100000
  irom (rx)  : ORIGIN = 0x42000020, LENGTH = 0x100000
}
SECTIONS
{
  .flash.appdesc : { KEEP(*(.flash.appdesc)) } > drom
  .flash.rodata : ALIGN(4) { *(.flash.rodata) } > drom
  .flash.text : { *(.flash.text) } > irom
  .iram0.text : { *(.iram0.text) } > iram
  .dram0.data : { *(.dram0.data) } > dram
  .dram0.bss (NOLOAD) : { *(.dram0.bss) } > dram
}
