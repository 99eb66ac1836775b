#include "option_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velk {

namespace {

using mode_bit::check;
using mode_bit::flash;

// One row an option, in the order --help lists them, which is the order
// of Option: row() finds a row by its option's number.
constexpr OptionRow rows[] = {
    {Option::symbol, "--n", "symbol", Value::record, flash | check, true,
     "the checksum variable, as in --n crc_value",
     R"(  --n<name>@<from>, --a<hex>@<from>
                a checksum whose range starts at <from> (a symbol or a 0x address)
                rather than at the image start: --ncfg_crc@cfg_start
  --n<name>=<algorithm>, --a<hex>@<from>=<algorithm>
                a checksum of its own algorithm, its slot as wide as that
                algorithm's value (others: --crc's): --n crc_app=CRC-16/XMODEM
)",
     0, nullptr, nullptr, nullptr, nullptr, "<name>"},
    {Option::offset, "--a", "offset", Value::record_offset, flash | check, true,
     "the checksum's hex offset in its image, as in --a 1FFC", "", 0, nullptr, nullptr,
     nullptr, nullptr, "<hex>"},
    {Option::block, "--s", "block", Value::record_block, flash | check, false,
     "the block size, as in --s 1024", "", 0, nullptr, nullptr, nullptr, nullptr,
     "<size>"},
    {Option::header, "--header", "header", Value::text, flash | check, false,
     "the header's symbol and fields, as in --header app_header:size@8,crc@12,hcrc@16",
     R"(  --header <symbol>:<field>@<offset>[=<algorithm>][,...]
                an image header: the object <symbol> in flash, its fields at
                offsets from its start (decimal or 0x): size (the body's length,
                4 bytes), crc (the body's checksum), hcrc (the header's bytes
                before it); the body runs from the header's end to the end of its
                image: --header app_header:size@8,crc@12=crc-32/iso-hdlc,hcrc@16.
                0x<address>+<size> in place of <symbol> places it without
                symbols (CHECK of a HEX file alone)
)",
     13, nullptr, nullptr, nullptr, nullptr, "<symbol>:<field>@<offset>"},
    {Option::lpc_vectors, "--lpc-vectors", "lpc_vectors", Value::on, flash | check, false,
     nullptr,
     R"(  --lpc-vectors the NXP LPC vector-table checksum at 0x1C: the first eight words
                of the image sum to zero
)",
     9, nullptr, &Request::lpc_vectors, nullptr, nullptr},
    {Option::force, "--force", "force", Value::on, flash | check, false, nullptr,
     R"(  --force       FLASH: write even what the checks refuse (a function, a .bss, .data or
                unaligned variable, one of another size than the checksum, or one
                holding data rather than a placeholder, as the slot; an empty range;
                an absolute --a; more than 16 MiB of fill); the reasons become
                warnings. CHECK: check those anyway
)",
     6, nullptr, &Request::force, nullptr, nullptr},
    {Option::exclude, "--exclude", "exclude", Value::exclusion, flash | check, true,
     "the bytes to leave out, as in --exclude 0x08000100-0x08000200 or --exclude "
     "<symbol>",
     R"(  --exclude <from>-<to>[:<record>,...] | --exclude <symbol>[:<record>,...]
                leave these bytes out of every checksum whose range covers them,
                the bytes around them fed one after the other: 0x addresses, the
                byte at <to> the first one kept; or a symbol's object. After a
                ':' only out of the records named, as the lines name them (a
                variable, --a<hex>, <header>.<field>): --exclude calib:app_crc.
                Repeatable, in any order
)",
     18, nullptr, nullptr, nullptr, nullptr, "<bytes>"},
    {Option::crc, "--crc", "crc", Value::algorithm, flash | check, false,
     "an algorithm's name, as in --crc CRC-32/ISO-HDLC (velk-crc --list-crc lists them), "
     "or "
     "a CRC's parameters, as in --crc "
     "width=16,poly=0x1021,init=0,refin=false,refout=false,xorout=0",
     R"(  --crc <name>  the algorithm of the records that name none, by crcmod's or the
                CRC catalogue's name, any case:
                CRC-32/ISO-HDLC (zlib's crc32), CRC-16/XMODEM, crc-32c, modbus,
                sum-32/words/neg, fletcher-32, adler-32, sha-256, ... (default
                CRC-32/MPEG-2; velk-crc --list-crc lists them all); or a CRC's
                parameters: width=32,poly=0x04c11db7,init=0,refin=false,
                refout=false,xorout=0x55555555[,check=0x...]
)",
     12, nullptr, nullptr, nullptr, nullptr, "<name>"},
    {Option::be, "--be", "be", Value::on, flash | check, false, nullptr,
     R"(  --be          store values big-endian (default little-endian)
)",
     8, nullptr, &Request::big_endian, nullptr, nullptr},
    {Option::fill, "--fill", "fill", Value::byte, flash | check, false,
     "the value erased flash reads, as in --fill 0x00",
     R"(  --fill 0x<NN> the value erased flash reads (in hex: 0xFF, not 255), in the holes
                and padding the checksum covers and the files hold (default 0xFF;
                0x00 on flash that reads 0x00 when erased, such as STM32L0/L1)
)",
     14, nullptr, nullptr, nullptr, nullptr, "0x<NN>"},
    {Option::words, "--words", "words", Value::on, flash | check, false, nullptr,
     R"(  --words       feed the checksum 32-bit little-endian words, most significant byte
                first, as an STM32 CRC unit fed words from flash does (default: bytes;
                the CRC-32/MPEG-2 records alone)
)",
     7, nullptr, &Request::words, nullptr, nullptr},
    {Option::bin, "--bin", "bin", Value::output, flash, false, nullptr,
     R"(  --bin         FLASH: also <root>_CRC.bin, the image as raw bytes, the fill value in the gaps
)",
     4, "bin", nullptr, nullptr, nullptr},
    {Option::srec, "--srec", "srec", Value::output, flash, false, nullptr,
     R"(  --srec        FLASH: also <root>_CRC.srec, Motorola S-records
)",
     5, "srec", nullptr, nullptr, nullptr},
    {Option::uf2, "--uf2", "uf2", Value::text, flash | check, false,
     "the chip family, as in --uf2 rp2040",
     R"(  --uf2 <family> FLASH: also <root>_CRC.uf2, for a drag-and-drop bootloader of that chip family
                (rp2040, rp2350, nrf52840, samd21, samd51, stm32f4, ..., or a 0x ID);
                CHECK: the family a UF2 file's blocks must carry
)",
     15, "uf2", nullptr, nullptr, nullptr, "<family>"},
    {Option::dfu, "--dfu", "dfu", Value::hex_fields, flash, false,
     "the device's USB vendor and product IDs, as in --dfu 0483:df11",
     R"(  --dfu <vid>:<pid>[:<bcd>]
                FLASH: also <root>_CRC.dfu, the .bin's bytes and the DFU suffix
                dfu-suffix adds for that USB device (hex IDs; the release <bcd>
                0xFFFF, any, when not given)
)",
     19, "dfu", nullptr, nullptr, nullptr, "<vid>:<pid>[:<bcd>]", &Request::dfu},
    {Option::dfuse, "--dfuse", "dfuse", Value::hex_fields, flash, false,
     "the device's USB vendor and product IDs, as in --dfuse 0483:df11",
     R"(  --dfuse <vid>:<pid>[:<bcd>]
                FLASH: also <root>_CRC.dfuse.dfu, a DfuSe file for STM32's USB DFU
                bootloader, one element per run of the image, as dfuse-pack makes
                from the .hex (hex IDs, 0x optional as in dfuse-pack -D 0x0483:0xdf11;
                the release <bcd> 0 when not given); with --merge,
                <root>_CRC_merged.dfuse.dfu too
)",
     26, "dfuse", nullptr, nullptr, nullptr, "<vid>:<pid>[:<bcd>]", &Request::dfuse},
    {Option::nxp_mbi, "--nxp-mbi", "nxp_mbi", Value::output, flash, false, nullptr,
     R"(  --nxp-mbi     FLASH: also <root>_CRC.mbi.bin, the .bin as an NXP LPC55S/MCX plain-CRC
                master boot image (its length, type, CRC-32/MPEG-2 and address at
                0x20-0x37, which every record leaves out: --exclude 0x20-0x38 for an
                image at 0)
)",
     25, "mbi", nullptr, nullptr, nullptr},
    {Option::esp32, "--esp32", "esp32", Value::text, flash, false,
     "the chip and its flash settings, as in --esp32 chip=esp32c3,flash_mode=dio",
     R"(  --esp32 chip=<chip>[,<setting>=<value>,...]
                FLASH: also <root>_CRC.esp.bin, the ESP32 app image esptool elf2image
                makes of <root>_CRC.elf (chips esp32, esp32s2, esp32s3, esp32c2,
                esp32c3, esp32c6, esp32h2; settings flash_mode, flash_freq,
                flash_size, min_rev (esptool's --min-rev-full), elf_sha256_offset,
                also as esptool 5 names them (flash-mode=), with esptool's values
                and defaults); needs no record
)",
     28, "esp", nullptr, &Request::esp32, nullptr, "chip=<chip>[,...]"},
    {Option::nrf_settings, "--nrf-settings", "nrf_settings", Value::text, flash | check, false,
     "the family and versions, as in --nrf-settings "
     "nrf52840,app-version=1,bl-version=1,bl-settings-version=2",
     R"(  --nrf-settings <family>,app-version=<n>,bl-version=<n>,bl-settings-version=1|2[,...]
                FLASH: also <root>_CRC.settings.hex, the nRF5 SDK bootloader settings page
                and its backup for the application, as nrfutil settings generate makes
                them (nrf51, nrf52832, nrf52810, nrf52833, nrf52840, ...; softdevice=<hex
                file>, app-boot-validation= and sd-boot-validation=none|crc|sha256;
                nrfutil's words too, NRF52840,application-version=...); with --merge
                the pages join the merged files.
                CHECK --nrf-settings <family>: the page against the application in the file
)",
     27, "settings", nullptr, &Request::nrf_settings, nullptr, "<family>,..."},
    {Option::merge, "--merge", "merge", Value::path, flash | check, true,
     "the file to merge, as in --merge bootloader.hex",
     R"(  --merge <file>
                FLASH: also <root>_CRC_merged.hex (and .bin, .srec, .uf2, .dfu as
                asked for): the file (Intel HEX, S-records, UF2, ELF, or a raw binary as
                <file>@0x<address>) with the checksummed application; repeatable.
                CHECK (with --elf): the file is the build merged with these, every
                byte of them checked
)",
     17, nullptr, nullptr, nullptr, nullptr, "<file>"},
    {Option::entry, "--entry", "entry", Value::path_or_address, flash | check, false,
     "a merged file or a 0x address, as in --entry bootloader.hex",
     R"(  --entry <file>|0x<address>
                the merged files' start address: a merged file's, the
                application's (its ELF file) or this address (default: the first
                merged file that has one, else the application's)
)",
     16, nullptr, nullptr, nullptr, nullptr, "<file>|0x<address>"},
    {Option::mcuboot, "--mcuboot", "mcuboot", Value::settings, flash | check, false,
     "its settings, as in --mcuboot key=signing-key.pem,header=0x200,slot=0x40000",
     R"(  --mcuboot <setting>[,<setting>...]
                FLASH: a signed MCUboot image in every file, made after the records
                are stored (so the CRCs and the signature cover the same bytes):
                  header=<size>   the header's room (required): the build's own
                                  when its image starts with that many 0x00 or
                                  erased bytes, else added before the image
                  key=<file>      a PEM private key: Ed25519, ECDSA P-256/P-384,
                                  RSA-2048/3072 (an encrypted one takes its
                                  password from VELK_KEY_PASSWORD); without it the
                                  image carries its hash alone
                  key=pkcs11:<URI>  a key in a PKCS#11 token, which signs there
                                  (the module from VELK_PKCS11_MODULE, the PIN
                                  from VELK_PKCS11_PIN)
                  slot=<size>     the slot: the image and trailer must fit
                  version=<major>.<minor>.<revision>[+<build>] (default 0.0.0+0)
                  align=<1|2|4|8|16|32>  the flash write size (default 1)
                  pad | confirm   fill the slot and write the trailer's magic;
                                  confirm also sets image_ok
                  counter=<n>|auto  the security counter (auto: from the version)
                  dependency=<id>:<version>, tlv=<type>:<hex bytes>  repeatable
                  pubkey=hash|full  the key's hash (default) or the key itself
                  sha=256|384|512  the image's hash (default: the key's own,
                                  SHA-384 for P-384, else SHA-256)
                  pure            Ed25519 signs the image itself, with SHA-512
                  rom-fixed=<address> | load-addr=<address>  runs from that
                                  slot alone (its flash offset) | from RAM there
                  max-sectors=<n> | overwrite-only  the trailer's room (with slot=)
                  hex-addr=<address>  the HEX holds the image at that address
                  boot-record=<role>  the measured-boot record (TLV 0x60)
                  non-bootable    MCUboot never jumps into the image
                  sign=digest|payload  a key the build never holds (key= its
                                  public key): writes only what its holder
                                  signs, <root>_CRC.tosign
                  signature=<file>  the holder's signature of it (base64 or
                                  raw; ECDSA DER or r||s): verified, then
                                  every file is written
                  encrypt=<file>  encrypt the payload for this X25519, P-256 or
                                  RSA-2048 public key (ECIES, RSA-OAEP)
                  encrypt-kw=<file>  or with this raw 16/32-byte KEK (AES-KW)
                  aes=128|256     the image's AES key (default 128)
                  hmac=256|512    ECIES-X25519's HMAC (default 256)
                --fill is then 0xFF or 0x00; --json adds "mcuboot" and every
                file's SHA-256.
                CHECK: verifies a signed image in the file (header, TLVs, hash,
                and with a key its key hash and signature); --mcuboot alone
                checks the hash:
                  key=<file>      a PEM public or private key, or pkcs11:<URI>
                  header=<size>   the hdr_size the image must have
                  slot=<size>[,pad|,confirm]  the slot it must fit; with pad
                                  or confirm its trailer at the slot's end
                  max-sectors=<n> | overwrite-only  the trailer it must have
                                  room for
                  decrypt=<file>  an encrypted image's private key (PEM) or KEK:
                                  the hash and signature over the plaintext
)",
     3, nullptr, nullptr, nullptr, nullptr, "<setting>[,<setting>...]"},
    {Option::stamp, "--stamp", "stamp", Value::stamp, flash | check, true,
     "a place and its values, as in --stamp serial_no=serial:1000..1099",
     R"(  --stamp <place>=<values>
                FLASH: one set of files per device, into --out's folder, each
                with its own value at <place> (a symbol, or 0x<address>:<size>)
                and every checksum and signature recomputed over it; values:
                  serial:<first>[..<last>]  numbers counting up (decimal or 0x)
                  csv:<file>:<column>[:bytes|:text]  a CSV's column, a row a device
                  file:<folder>/*.bin  a file a device, in name order, exact size
                  mac:<first>     MAC addresses counting up: 02:00:00:00:00:01
                repeatable; the devices' files are <folder>/<root>_<id>_CRC.*,
                with manifest.csv and manifest.json.
                CHECK: the value the file must hold there (every place stamped)
)",
     20, nullptr, nullptr, nullptr, nullptr, "<place>=<values>"},
    {Option::count, "--count", "count", Value::count, flash, false,
     "how many devices, as in --count 100",
     R"(  --count <n>   FLASH: the number of devices, where no stamp's values end
)",
     21, nullptr, nullptr, nullptr, nullptr, "<n>"},
    {Option::out, "--out", "out", Value::path, flash, false,
     "the folder for the devices' files, as in --out devices",
     R"(  --out <folder>
                FLASH: where --stamp's devices' files and manifest go
)",
     22, nullptr, nullptr, &Request::out, nullptr, "<folder>"},
    {Option::resume, "--resume", "resume", Value::on, flash, false, nullptr,
     R"(  --resume      FLASH: go on with an interrupted --stamp run where it stopped
)",
     23, nullptr, &Request::resume, nullptr, nullptr},
    {Option::elf, "--elf", "elf", Value::path, check, false,
     "the build's ELF file, as in --elf fw.elf",
     R"(  --elf <file>  CHECK: also verify that the file is this build's flash image,
                checksummed; symbols and layout come from it (also --elf=<file>)
)",
     10, nullptr, nullptr, &Request::elf, nullptr, "<file>"},
    {Option::base, "--base", "base", Value::address, check, false,
     "the raw binary's first address, as in --base 0x08000000",
     R"(  --base 0x<address>
                CHECK: where a raw binary starts (with --elf: where the build's
                image starts)
)",
     11, nullptr, nullptr, nullptr, nullptr, "0x<address>"},
    {Option::manifest, "--manifest", "manifest", Value::path, check, false,
     "a devices run's manifest, as in --manifest devices/manifest.json",
     R"(  --manifest <file>
                CHECK: a device's file against its entry in a --stamp run's
                manifest.json (its values and its SHA-256)
)",
     24, nullptr, nullptr, &Request::manifest, nullptr, "<file>"},
    {Option::json, "--json", nullptr, Value::shown, flash | check, false, nullptr,
     R"(  --json        one JSON object on standard output; the lines go to standard error
)",
     2, nullptr, nullptr, nullptr, nullptr},
    {Option::help, "--help", nullptr, Value::asked_help, flash | check, false, nullptr,
     "", 1, nullptr, nullptr, nullptr, nullptr},
    {Option::algorithms, nullptr, "algorithms", Value::per_record, flash | check, false,
     nullptr, "", 0, nullptr, nullptr, nullptr, nullptr},
};

// --help's usage lines of the modes that take these options.
const char* const usage =
    R"(  velk-crc FLASH <firmware.elf> RECORDS [--exclude <bytes>]... [--crc <name>]
                 [--be] [--fill 0x<NN>] [--force] [--words] [--bin] [--srec]
                 [--uf2 <family>] [--dfu <vid>:<pid>[:<bcd>]] [--merge <file>]...
                 [--dfuse <vid>:<pid>[:<bcd>]] [--nxp-mbi] [--esp32 chip=<chip>[,...]]
                 [--nrf-settings <family>,...] [--entry <file>|0x<address>]
                 [--mcuboot <setting>[,<setting>...]]
                 [--stamp <place>=<values>... --out <folder> [--count <n>] [--resume]]
                 [--json] [@<file>]...
  velk-crc CHECK <file> RECORDS [--elf <firmware.elf>] [--base 0x<address>]
                 [--merge <file>]... [--entry <file>|0x<address>] [--uf2 <family>]
                 [--exclude <bytes>]... [--crc <name>] [--be] [--fill 0x<NN>]
                 [--force] [--words] [--mcuboot <setting>[,<setting>...]]
                 [--nrf-settings <family>] [--stamp <place>=<value>]...
                 [--manifest <file>] [--json] [@<file>]...
)";

bool starts_with(const std::string& word, const char* prefix) {
    return word.compare(0, std::strlen(prefix), prefix) == 0;
}

// Whether the option's value may follow an '=' in its word.
bool takes_value(const OptionRow& r) {
    return r.needs != nullptr && !is_record(r.value);
}

}  // namespace

const OptionRow* options_begin() {
    return std::begin(rows);
}

const OptionRow* options_end() {
    return std::end(rows);
}

constexpr bool rows_in_option_order() {
    for (size_t i = 0; i < std::size(rows); ++i)
        if (static_cast<size_t>(rows[i].option) != i) return false;
    return std::size(rows) == static_cast<size_t>(Option::algorithms) + 1;
}
static_assert(rows_in_option_order(), "the rows stand in the order of Option, one each");

const OptionRow& row(Option option) {
    return rows[static_cast<int>(option)];
}

const OptionRow* row_of_word(const std::string& word) {
    for (const OptionRow& r : rows) {
        if (!r.spelling || is_record(r.value)) continue;
        if (word == r.spelling) return &r;
        if ((takes_value(r) || r.value == Value::settings) &&
            starts_with(word, (std::string(r.spelling) + "=").c_str()))
            return &r;
    }
    return nullptr;
}

const OptionRow* row_of_keyword(const std::string& keyword, unsigned mode) {
    for (const OptionRow& r : rows)
        if (r.keyword && keyword == r.keyword && (r.modes & mode)) return &r;
    return nullptr;
}

std::string usage_lines() {
    return usage;
}

namespace {

// A record's rows, and the header's and the LPC sum's: what --help lists
// under the records rather than the options.
bool places_a_record(const OptionRow& r) {
    return is_record(r.value) || r.option == Option::header || r.option == Option::lpc_vectors;
}

}  // namespace

std::string record_help() {
    std::string lines =
        "records (FLASH and CHECK: any number of --n and --a, a --header, --lpc-vectors;\n"
        "or one --s, with --lpc-vectors at most; the value glued or the next word):\n";
    for (const OptionRow& r : rows)
        if (places_a_record(r)) lines += r.help;
    return lines;
}

std::string option_help() {
    std::string lines;
    for (const OptionRow& r : rows)
        if (!places_a_record(r)) lines += r.help;
    return lines;
}

std::vector<std::string> suggested_words(unsigned mode) {
    std::vector<const OptionRow*> chosen;
    for (const OptionRow& r : rows)
        if (r.suggested && r.spelling && (r.modes & mode)) chosen.push_back(&r);
    std::stable_sort(chosen.begin(), chosen.end(),
                     [](const OptionRow* a, const OptionRow* b) {
                         return a->suggested < b->suggested;
                     });
    std::vector<std::string> words;
    for (const OptionRow* r : chosen) words.emplace_back(r->spelling);
    return words;
}

const char* spelled(Option option) {
    return row(option).spelling;
}

bool is_record(Value value) {
    return value == Value::record || value == Value::record_offset ||
           value == Value::record_block;
}

const char* Asker::name(Option option) const {
    const OptionRow& r = row(option);
    return by_keyword() ? r.keyword : r.spelling;
}

std::string Asker::turned_on(Option option) const {
    return std::string(name(option)) + (by_keyword() ? "=True" : "");
}

std::string Asker::given(Option option, const std::string& value) const {
    const OptionRow& r = row(option);
    const std::string named = name(option);
    if (by_keyword()) {
        const bool number = r.value == Value::record_offset || r.value == Value::record_block;
        return named + (number ? "=" + value : "=\"" + value + "\"");
    }
    return named + (is_record(r.value) ? "" : " ") + value;
}

std::string Asker::given(Option option, uint64_t number) const {
    const bool hex = row(option).value == Value::record_offset;
    char digits[24];
    const char* shape = !hex ? "%llu" : by_keyword() ? "0x%llX" : "%llX";
    std::snprintf(digits, sizeof digits, shape, static_cast<unsigned long long>(number));
    return given(option, digits);
}

std::string Asker::asking(Option option) const {
    if (by_keyword()) return std::string(name(option)) + "=";
    return std::string(name(option)) + " " + row(option).placeholder;
}

std::string Asker::setting(Option option, const char* setting) const {
    if (by_keyword()) return std::string(name(option)) + "={\"" + setting + "\": ...}";
    return std::string(name(option)) + " " + setting + "=<file>";
}

std::string Asker::settings(Option option) const {
    return std::string(name(option)) + (by_keyword() ? "={...}" : "");
}

}  // namespace velk
