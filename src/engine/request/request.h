// What a FLASH or CHECK run is asked to do, however it was asked: the
// command line's words and the Python API's arguments both come down to
// one of these, and the modes read nothing else.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "asker.h"

namespace velk::checksum {
struct Algorithm;
class Method;
}  // namespace velk::checksum

namespace velk {

// Each mode's bit, for the tables of what each option is for.
namespace mode_bit {
constexpr unsigned flash = 1u << 0;
constexpr unsigned check = 1u << 1;
}  // namespace mode_bit

// A value its front read, or none when it could not be read and the line
// that refuses it: the stage that comes to the value throws that line, so
// that a run refuses its faults in the order it meets them.
template <class T>
struct Read {
    std::optional<T> value;
    std::string refusal;  // empty when read
};

// A checksum algorithm as its asker chose it: a catalogue row, or a CRC's
// parameters no row has, ready to compute, with the name the reports give
// it; neither when the choice was refused.
struct AlgorithmChoice {
    const checksum::Algorithm* row = nullptr;
    std::shared_ptr<const checksum::Method> parameters;
    std::string name;     // the parameters as the catalogue writes them
    std::string text;     // as given, for the lines that name it
    std::string refusal;  // why neither, without who asked
};

// --entry: the merged files' start address, a file's (merged, or the
// application's) or an address of 32 bits.
struct StartAddress {
    std::optional<std::string> file;
    Read<uint64_t> address;  // none with no refusal: a file
    std::string text;        // as given, for the lines that name it
};

// A field of an image header: size, crc or hcrc, at its offset from the
// header's start; a checksum's with its own algorithm when it names one.
struct HeaderField {
    std::string name;
    uint64_t offset = 0;
    std::optional<AlgorithmChoice> algorithm;
};

// --header: the header object by its symbol, or by its address and size;
// its fields in the order given. When it cannot be read, `refusal` says
// why, thrown as the header is planned.
struct HeaderLayout {
    std::string text;                   // as given, for the lines that name it
    std::string where;                  // before the ':', as given
    std::optional<std::string> symbol;  // none: placed by address and size
    uint64_t address = 0, size = 0;
    std::vector<HeaderField> fields;
    std::string refusal;
};

// A file to merge; a raw binary with the address it starts at.
struct MergeFile {
    std::string path;
    std::optional<Read<uint64_t>> base;
};

// One record's place as typed: 'n', 'a' or 's', and the text after the
// letter (a variable's name, a hex offset, a block size), with where its
// range starts after an '@' and its own algorithm after an '=' when given.
struct Selector {
    char letter = 0;
    std::string value;  // as the asker wrote it, for the lines that name it
    std::optional<std::string> from;  // a symbol's name or a 0x address, as given
    std::string word;                 // the word as typed, for refusals
    Asker asker;                      // how the lines name the options
    std::optional<AlgorithmChoice> algorithm;  // the run's when not given
    // The offset ('a') or block size ('s') the front read; none when the
    // value is no number (refused as the record is placed).
    std::optional<uint64_t> number = std::nullopt;
    // Why `number` is none (a block size also when it is no power of two),
    // in its asker's words.
    std::string refusal = {};
    // Where the range starts when `from` is an address, or why it is none
    // (no address, nothing after the '@'); neither: a symbol.
    Read<uint64_t> from_address = {};
};

// One setting of an MCUboot image, as its asker gave it: its name and its
// value, read into what it is by the one reader of the settings.
struct McubootSetting {
    std::string name;     // "key", "header", "pad"
    bool valued = false;  // a value came with it (the command line's '=')
    std::string value;    // as given: a file's name, "0x200", "1.2.3", "1:1.2.0"
    std::optional<uint64_t> number;  // a size or count given as a number (the API's int)
    std::string typed;    // the setting as the command line writes it, for refusals
};

struct McubootSettings {
    std::vector<McubootSetting> settings;  // in the order given
    std::string typed;                     // all of them as given, for refusals
};

// Bytes no checksum takes in, read by the front: [from, to) by 0x
// addresses, or a symbol's object; after a ':' the records, as the lines
// name them, that they are cut from alone.
struct Exclusion {
    enum class Bytes {
        range,       // from, to
        symbol,      // the object of `symbol` (refused when empty)
        unreadable,  // 0x... that is no <from>-<to>
    } bytes = Bytes::symbol;
    uint64_t from = 0, to = 0;
    std::string symbol;
    std::optional<std::vector<std::string>> records;
    std::string word;  // as the asker gave it, for refusals
};

// Numbers given together as one value, hex fields joined by ':' (a USB
// device's IDs, 0483:df11) or the API's tuple of ints: each field's number,
// none where it is no number; the stage that takes them says which counts
// and sizes it takes.
struct HexFields {
    std::vector<std::optional<uint64_t>> numbers;
    // How many digits each field was written with, when it was text (a
    // row whose fields are 16 bits refuses a fifth digit, a likely slip);
    // empty for numbers given as numbers.
    std::vector<size_t> digits;
    std::string word;  // as the asker gave it, for refusals
};

// --stamp <place>=<values>, split at its first '=': where each device's own
// bytes go and where they come from, read into what they are by the one
// reader of the stamps.
struct StampWord {
    std::string place;   // a symbol, or 0x<address>:<size>
    std::string values;  // serial:..., csv:..., file:..., mac:...; CHECK's one value
    std::string word;    // as the asker gave it, for refusals
};

struct Request {
    Asker asker;        // how the lines name the options
    std::string input;  // the file the run is about, as it was named
    std::vector<Selector> selectors;  // a record each, in the order typed
    // <symbol>:<field>@<offset>[=<algorithm>],...: an image header's
    // fields; 0x<address>+<size> in place of the symbol
    std::optional<HeaderLayout> header;
    // Bytes no checksum takes in, each <from>-<to> or a symbol's object
    std::vector<Exclusion> excludes;
    std::optional<AlgorithmChoice> crc;  // the records' algorithm; CRC-32/MPEG-2 when not
    std::optional<Read<uint8_t>> fill;   // erased flash's value; 0xFF when not
    std::optional<std::string> elf;   // the build a file is checked against
    std::optional<Read<uint64_t>> base;  // where a raw binary checked starts
    bool words = false;               // the checksum fed 32-bit words, not bytes
    bool big_endian = false;          // values stored most significant byte first
    bool lpc_vectors = false;         // the LPC vector-table checksum at 0x1C
    // The files asked for beyond the HEX and ELF, by their format's word:
    // "bin", "srec", "uf2".
    std::set<std::string> outputs;
    // The UF2 files' chip family, its ID, with the name as given
    std::optional<Read<uint32_t>> uf2;
    // <vid>:<pid>[:<bcd>]: the USB device the DFU files are for
    std::optional<HexFields> dfu;
    std::optional<HexFields> dfuse;  // --dfuse <vid>:<pid>[:<bcd>]
    std::optional<std::string> esp32;  // --esp32 chip=<name>[,<setting>=<value>...]
    // --nrf-settings <family>,app-version=...: the nRF5 bootloader settings
    // page, as given; its row reads it
    std::optional<std::string> nrf_settings;
    // Files merged with the application into <root>_CRC_merged.*
    std::vector<MergeFile> merge;
    // The merged files' start address: one of them, the application, or
    // 0x<address>.
    std::optional<StartAddress> entry;
    bool force = false;               // do what the checks refuse
    // An MCUboot image's settings: key=<file>,header=<size>,...; none given
    // when CHECK's option came alone.
    std::optional<McubootSettings> mcuboot;
    // FLASH: one set of files per device, each with its own values at these
    // places, into the folder --out names; CHECK: the values a device's file
    // must hold there. In the order given.
    std::vector<StampWord> stamps;
    std::optional<Read<uint64_t>> count;  // --count <n>: how many devices
    std::optional<std::string> out;       // --out <folder>: the devices' files
    bool resume = false;                  // go on where an interrupted run stopped
    std::optional<std::string> manifest;  // CHECK: a devices run's manifest.json
};

}  // namespace velk
