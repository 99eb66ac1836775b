// velk-crc --help: the modes, the records, every option (from the option
// table) and the exit statuses.
#include "../request/option_table.h"
#include "help.h"

namespace velk::cli {

std::string help_text() {
    return R"(velk-crc: the checksums a bootloader checks, for microcontroller firmware:
computed over the flash image of an ELF build (CRC-32/MPEG-2 unless --crc says
otherwise) and stored in it; written as Intel HEX.

usage:
)" + usage_lines() + R"(  velk-crc VELK <firmware.elf> SELECTOR
  velk-crc --help | --version | --list-crc | --guide

modes:
  FLASH  the whole flash image of a build (code and the initial values of .data,
         at their physical addresses): <root>_CRC.hex, and <root>_CRC.elf for the
         debugger. Refuses a layout no firmware can check (see --force).
  CHECK  verifies the checksums in an ELF, Intel HEX, S-record, UF2, DFU, DfuSe,
         ESP32 app image, NXP master boot image or raw binary file (every file
         FLASH writes); writes nothing.
  VELK   the first loadable segment only, into <root>_CRC.hex; one selector word,
         nothing else read.

selectors (VELK: exactly one; the value follows the letter):
  --n<name>     into that variable: --ncrc_value
  --a<hex>      at that offset from the image start, a multiple of the checksum's
                width (4 for CRC-32): --a1FFC
  --s<size>     after the image rounded up to that block size, in decimal, a power
                of two: --s1024
)" + record_help() + R"(
options (FLASH and CHECK; after the mode word, in any order):
)" + option_help() + R"(  @<file>       more words from a file, one or more a line, '#' starting a comment

exit status:
  0    FLASH, VELK: the files were written; CHECK: the checksum is right
  1    CHECK: the checksum (or with --elf the content) is wrong;
       VELK, FLASH: an error shown with its traceback (FLASH: a fault of the tool)
  2    CHECK: could not verify (a refusal or an error, one line on stderr)
  70   FLASH: internal error: a file it was about to write would fail its own
       CHECK; nothing was written (a fault of the tool: please report it)
  130  FLASH, CHECK: interrupted (Ctrl-C); FLASH's files are all new or all as
       they were
  255  FLASH, VELK: refused with a one-line reason; nothing was written

The guide (the slot, the linker script, CMake and IDE steps, the boot-time
check, algorithms, image headers, every warning) ships with the package:
velk-crc --guide prints where it is (docs/guide.md in the sources).)";
}

std::string usage_text() {
    const std::string help = help_text();
    const size_t from = help.find("usage:");
    const size_t to = help.find("\n\n", from);
    return help.substr(from, to - from) + "\n(velk-crc --help shows every option)";
}

}  // namespace velk::cli
