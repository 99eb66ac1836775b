// What a FLASH or CHECK run is asked to do, however it was asked: the
// command line's words and the Python API's arguments both come down to
// one of these, and the modes read nothing else.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velk {

// Each mode's bit, for the tables of what each option is for.
namespace mode_bit {
constexpr unsigned flash = 1u << 0;
constexpr unsigned check = 1u << 1;
}  // namespace mode_bit

// Who asked: the command line's words or the Python API's arguments. What a
// run says about the request names the options as its asker typed them.
enum class Front { command_line, api };

// One record's place as typed: 'n', 'a' or 's', and the text after the
// letter (a variable's name, a hex offset, a block size), with where its
// range starts after an '@' and its own algorithm after an '=' when given.
struct Selector {
    char letter = 0;
    std::string value;  // as the asker wrote it, for the lines that name it
    std::optional<std::string> from;  // a symbol's name or a 0x address
    std::string word;                 // the word as typed, for refusals
    Front front = Front::command_line;
    std::optional<std::string> algorithm;  // --crc's when not given
    // The offset ('a') or block size ('s') the front read; none when the
    // value is no number (refused as the record is placed).
    std::optional<uint64_t> number = std::nullopt;
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
    std::string word;  // as the asker gave it, for refusals
};

struct Request {
    Front front = Front::command_line;
    std::string input;  // the file the run is about, as it was named
    std::vector<Selector> selectors;  // a record each, in the order typed
    // <symbol>:<field>@<offset>[=<algorithm>],...: an image header's
    // fields; 0x<address>+<size> in place of the symbol
    std::optional<std::string> header;
    // Bytes no checksum takes in, each <from>-<to> or a symbol's object
    std::vector<Exclusion> excludes;
    std::optional<std::string> crc;   // the algorithm's name; CRC-32/MPEG-2 when not
    std::optional<std::string> fill;  // erased flash's value, 0x<NN>; 0xFF when not
    std::optional<std::string> elf;   // the build a file is checked against
    std::optional<std::string> base;  // where a raw binary checked starts
    bool words = false;               // the checksum fed 32-bit words, not bytes
    bool big_endian = false;          // values stored most significant byte first
    bool lpc_vectors = false;         // the LPC vector-table checksum at 0x1C
    // The files asked for beyond the HEX and ELF, by their format's word:
    // "bin", "srec", "uf2".
    std::set<std::string> outputs;
    std::optional<std::string> uf2;   // the UF2 files' chip family
    // <vid>:<pid>[:<bcd>]: the USB device the DFU files are for
    std::optional<HexFields> dfu;
    // Files merged with the application into <root>_CRC_merged.*; a raw
    // binary as <file>@0x<address>.
    std::vector<std::string> merge;
    // The merged files' start address: one of them, the application, or
    // 0x<address>.
    std::optional<std::string> entry;
    bool force = false;               // do what the checks refuse
    // An MCUboot image's settings: key=<file>,header=<size>,...; none given
    // when CHECK's option came alone.
    std::optional<McubootSettings> mcuboot;
};

}  // namespace velk
