// velk-crc --help: the modes, the records, every option (the output
// formats' from their table) and the exit statuses.
#include "../formats/formats.h"
#include "help.h"

namespace velk::cli {

std::string help_text() {
    return R"(velk-crc: the checksums a bootloader checks, for microcontroller firmware:
computed over the flash image of an ELF build (CRC-32/MPEG-2 unless --crc says
otherwise) and stored in it; written as Intel HEX.

usage:
  velk-crc FLASH <firmware.elf> RECORDS [--exclude <bytes>]... [--crc <name>]
                 [--be] [--fill 0x<NN>] [--force] [--words] [--bin] [--srec]
                 [--uf2 <family>] [--merge <file>]... [--entry <file>|0x<address>]
                 [--mcuboot <setting>[,<setting>...]] [--json] [@<file>]...
  velk-crc CHECK <file> RECORDS [--elf <firmware.elf>] [--base 0x<address>]
                 [--merge <file>]... [--entry <file>|0x<address>] [--uf2 <family>]
                 [--exclude <bytes>]... [--crc <name>] [--be] [--fill 0x<NN>]
                 [--force] [--words] [--mcuboot <setting>[,<setting>...]]
                 [--json] [@<file>]...
  velk-crc VELK <firmware.elf> SELECTOR
  velk-crc --help | --version | --list-crc | --guide

modes:
  FLASH  the whole flash image of a build (code and the initial values of .data,
         at their physical addresses): <root>_CRC.hex, and <root>_CRC.elf for the
         debugger. Refuses a layout no firmware can check (see --force).
  CHECK  verifies the checksums in an ELF, Intel HEX, S-record, UF2 or raw binary
         file (every file FLASH writes); writes nothing.
  VELK   the first loadable segment only, into <root>_CRC.hex; one selector word,
         nothing else read.

selectors (VELK: exactly one; the value follows the letter):
  --n<name>     into that variable: --ncrc_value
  --a<hex>      at that offset from the image start, a multiple of the checksum's
                width (4 for CRC-32): --a1FFC
  --s<size>     after the image rounded up to that block size, in decimal, a power
                of two: --s1024
records (FLASH and CHECK: any number of --n and --a, a --header, --lpc-vectors;
or one --s, with --lpc-vectors at most; the value glued or the next word):
  --n<name>@<from>, --a<hex>@<from>
                a checksum whose range starts at <from> (a symbol or a 0x address)
                rather than at the image start: --ncfg_crc@cfg_start
  --n<name>=<algorithm>, --a<hex>@<from>=<algorithm>
                a checksum of its own algorithm, its slot as wide as that
                algorithm's value (others: --crc's): --n crc_app=CRC-16/XMODEM
  --header <symbol>:<field>@<offset>[=<algorithm>][,...]
                an image header: the object <symbol> in flash, its fields at
                offsets from its start (decimal or 0x): size (the body's length,
                4 bytes), crc (the body's checksum), hcrc (the header's bytes
                before it); the body runs from the header's end to the end of its
                image: --header app_header:size@8,crc@12=crc-32/iso-hdlc,hcrc@16.
                0x<address>+<size> in place of <symbol> places it without
                symbols (CHECK of a HEX file alone)
  --lpc-vectors the NXP LPC vector-table checksum at 0x1C: the first eight words
                of the image sum to zero

options (FLASH and CHECK; after the mode word, in any order):
  --force       FLASH: write even what the checks refuse (a function, a .bss, .data or
                unaligned variable, one of another size than the checksum, or one
                holding data rather than a placeholder, as the slot; an empty range;
                an absolute --a; more than 16 MiB of fill); the reasons become
                warnings. CHECK: check those anyway
  --exclude <from>-<to>[:<record>,...] | --exclude <symbol>[:<record>,...]
                leave these bytes out of every checksum whose range covers them,
                the bytes around them fed one after the other: 0x addresses, the
                byte at <to> the first one kept; or a symbol's object. After a
                ':' only out of the records named, as the lines name them (a
                variable, --a<hex>, <header>.<field>): --exclude calib:app_crc.
                Repeatable, in any order
  --crc <name>  the algorithm of the records that name none, by crcmod's or the
                CRC catalogue's name, any case:
                CRC-32/ISO-HDLC (zlib's crc32), CRC-16/XMODEM, crc-32c, modbus,
                sum-32/words/neg, fletcher-32, adler-32, sha-256, ... (default
                CRC-32/MPEG-2; velk-crc --list-crc lists them all); or a CRC's
                parameters: width=32,poly=0x04c11db7,init=0,refin=false,
                refout=false,xorout=0x55555555[,check=0x...]
  --be          store values big-endian (default little-endian)
  --fill 0x<NN> the value erased flash reads (in hex: 0xFF, not 255), in the holes
                and padding the checksum covers and the files hold (default 0xFF;
                0x00 on flash that reads 0x00 when erased, such as STM32L0/L1)
  --words       feed the checksum 32-bit little-endian words, most significant byte
                first, as an STM32 CRC unit fed words from flash does (default: bytes;
                the CRC-32/MPEG-2 records alone)
)" + formats::help_lines() + R"(  --merge <file>
                FLASH: also <root>_CRC_merged.hex (and .bin, .srec, .uf2 as asked
                for): the file (Intel HEX, S-records, UF2, ELF, or a raw binary as
                <file>@0x<address>) with the checksummed application; repeatable.
                CHECK (with --elf): the file is the build merged with these, every
                byte of them checked
  --entry <file>|0x<address>
                the merged files' start address: a merged file's, the
                application's (its ELF file) or this address (default: the first
                merged file that has one, else the application's)
  --mcuboot <setting>[,<setting>...]
                FLASH: a signed MCUboot image in every file, made after the records
                are stored (so the CRCs and the signature cover the same bytes):
                  header=<size>   the header's room (required): the build's own
                                  when its image starts with that many 0x00 or
                                  erased bytes, else added before the image
                  key=<file>      a PEM private key: Ed25519, ECDSA P-256,
                                  RSA-2048/3072 (an encrypted one takes its
                                  password from VELK_KEY_PASSWORD); without it the
                                  image carries its hash alone
                  slot=<size>     the slot: the image and trailer must fit
                  version=<major>.<minor>.<revision>[+<build>] (default 0.0.0+0)
                  align=<1|2|4|8|16|32>  the flash write size (default 1)
                  pad | confirm   fill the slot and write the trailer's magic;
                                  confirm also sets image_ok
                  counter=<n>|auto  the security counter (auto: from the version)
                  dependency=<id>:<version>, tlv=<type>:<hex bytes>  repeatable
                  pubkey=hash|full  the key's hash (default) or the key itself
                --fill is then 0xFF or 0x00; --json adds "mcuboot" and every
                file's SHA-256.
                CHECK: verifies a signed image in the file (header, TLVs, hash,
                and with a key its key hash and signature); --mcuboot alone
                checks the hash:
                  key=<file>      a PEM public or private key
                  header=<size>   the hdr_size the image must have
                  slot=<size>[,pad|,confirm]  the slot it must fit; with pad
                                  or confirm its trailer at the slot's end
  --elf <file>  CHECK: also verify that the file is this build's flash image,
                checksummed; symbols and layout come from it (also --elf=<file>)
  --base 0x<address>
                CHECK: where a raw binary starts (with --elf: where the build's
                image starts)
  --json        one JSON object on standard output; the lines go to standard error
  @<file>       more words from a file, one or more a line, '#' starting a comment

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
