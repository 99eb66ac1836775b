// Every option of FLASH and CHECK, one row each, as llvm-objcopy lists its
// options in one declarative file: the command line's spelling, the Python
// API's keyword, what its value is and how it is read, the modes that take
// it, whether it repeats, its --help lines and the example a refusal gives.
// The command-line parser, the API's keyword handling, --help, the
// suggestion after a mistyped option and the way a refusal names an option
// all read these rows; adding an option is one row plus its meaning.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "request.h"

namespace velk {

// An option, by its row. In the order of the rows.
enum class Option {
    symbol,
    offset,
    block,
    header,
    lpc_vectors,
    force,
    exclude,
    crc,
    be,
    fill,
    words,
    bin,
    srec,
    uf2,
    dfu,
    dfuse,
    nxp_mbi,
    esp32,
    nrf_settings,
    merge,
    entry,
    mcuboot,
    stamp,
    count,
    out,
    resume,
    elf,
    base,
    manifest,
    json,
    help,
    algorithms,
};

// What an option's value is, which says how each front reads it.
enum class Value {
    on,               // a switch: the word alone; the API's True or False
    output,           // a switch asking for the files of a format (its word in `output`)
    text,             // one word: the next one or after '='; the API's str
    path,             // a file's name; the API's str or path-like
    address,          // a 0x address; the API's int
    byte,             // a byte's value, 0x<NN>; the API's int
    path_or_address,  // a file's name or a 0x address; the API's path or int
    algorithm,        // an algorithm's name, or a CRC's parameters over several words
    exclusion,        // <from>-<to> or a symbol, [:<record>,...]
    record,           // --n: a variable's name, glued to the letter or the next word
    record_offset,    // --a: a hex offset, as --n; the API's int
    record_block,     // --s: a block size in decimal, as --n; the API's int
    settings,         // key=...,header=...: may stand alone before the file (CHECK)
    shown,       // how the outcome is shown (one JSON object), the command line's alone
    asked_help,  // --help, -h
    per_record,  // the API's algorithms={record: name}
    hex_fields,  // <hex>:<hex>[:...]; the API's str or tuple of ints
    stamp,       // <place>=<values>; the API's (place, values) tuples
    count,       // a count in decimal; the API's int
};

struct OptionRow {
    Option option;
    const char* spelling;  // "--fill"; nullptr: the API's alone
    const char* keyword;   // "fill"; nullptr: the command line's alone
    Value value;
    unsigned modes;  // mode_bit::flash | check
    bool repeats;    // given as often as there are values
    // What the refusal of the word without its value asks for; nullptr
    // when it takes none.
    const char* needs;
    // The lines --help shows for it, each ending in a newline, in the
    // order of the rows within its part of the help; empty: none of its
    // own.
    const char* help;
    // Among the suggestions for a mistyped word the same distance away,
    // the lower comes first; 0: never suggested.
    unsigned suggested;
    // The word of the format whose files it asks FLASH for, "bin": a
    // switch's (Value::output), or a value's that asks for them as it
    // gives them their value.
    const char* output = nullptr;
    // Where the command line's value lands in the request when it stays
    // as given (a switch, a file's name, hex fields); a value read into
    // what it is has its reader instead.
    bool Request::*on = nullptr;
    std::optional<std::string> Request::*text = nullptr;
    std::vector<std::string> Request::*texts = nullptr;
    // What the value is, as the usage writes it: "<file>|0x<address>".
    const char* placeholder = nullptr;
    std::optional<HexFields> Request::*fields = nullptr;  // Value::hex_fields
};

const OptionRow* options_begin();
const OptionRow* options_end();

// The row of `option`.
const OptionRow& row(Option option);

// The row the command-line word `word` names: its spelling alone, or
// "<spelling>=<value>" for an option that takes a value; null when none.
// A record's word (--ncrc_value) is told by command_line_record.
const OptionRow* row_of_word(const std::string& word);

// The row a keyword of the API names in `mode` (its bit); null when none.
const OptionRow* row_of_keyword(const std::string& keyword, unsigned mode);

// --help's usage lines of FLASH and CHECK, then its lines of the records
// and of the other options.
std::string usage_lines();
std::string record_help();
std::string option_help();

// The command-line words of `mode`'s options, for the suggestion after a
// mistyped one, in the order a tie is broken.
std::vector<std::string> suggested_words(unsigned mode);

// The command line's spelling of `option`, for the lines every asker is
// told alike: a hint after a mismatch, the catalogue's listing.
const char* spelled(Option option);

// Whether the row is one of a record's place, glued to its letter.
bool is_record(Value value);

}  // namespace velk
