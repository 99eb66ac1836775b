// Each device's own values, stamped into a copy of the build's image: a
// serial number, a MAC address, a cell of a production CSV, a blob from a
// folder (a key, a calibration table). A stamp is a place and where its
// values come from; read together, the stamps give every device its bytes
// at every place, the text the manifest shows, and the device's id, which
// names its files. Pure: bytes and text in, no build, no output.
//
// The words, as tools and scripts that make the inputs write them:
//   serial:<first>[..<last>]   decimal or 0x; each id written as <first> is
//                              (0x00A0 counts 0x00A0, 0x00A1, ...), stored
//                              as a number of the place's width
//   csv:<file>:<column>[:bytes|:text]
//                              a header row, then a row a device; <column>
//                              by its name; a cell is an integer (decimal or
//                              0x), hex digits of exactly the place's size
//                              (:bytes), or text padded with 0x00 (:text)
//   file:<folder>/<pattern>    one file a device, in file-name order, each
//                              exactly the place's size
//   mac:<first>                02:00:00:00:00:01, 6 bytes stored in that
//                              printed order, counting up
// A device's id: the first stamp's, in the order given: a serial as
// written, a CSV's first column, a MAC's 12 hex digits, a blob's file name
// without its ending.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../request/request.h"

namespace velk::stamps {

// Where a stamp goes, as typed: a symbol's object (its size the stamp's
// width), or 0x<address>:<size>.
struct Place {
    std::string text;                   // as typed: "serial_no", "0x0800FF00:4"
    std::optional<std::string> symbol;  // none: by address
    uint64_t address = 0, size = 0;     // by address
};

enum class Source { serial, csv, file, mac };

// A --stamp word read, its values not yet: a CSV or a folder is read with
// the others, once the places' sizes are known.
struct Stamp {
    StampWord typed;
    Place place;
    Source source = Source::serial;
    // serial: the first value, the last when given, and how the first was
    // written (its base and digits), which every id keeps.
    uint64_t first = 0;
    std::optional<uint64_t> last;
    bool hex = false, lower = false;  // lower: hex digits typed a-f
    size_t digits = 0;
    // csv: the file, its column and how a cell is read; file: the folder
    // and the pattern of the names in it.
    std::string path, column;
    enum class Cell { integer, bytes, text } cell = Cell::integer;
    std::string pattern;
    // mac: the first address.
    uint64_t mac = 0;
};

// The place of "<place>=<values>" alone: CHECK's words name their places
// as FLASH's do. Refuses (Refusal, naming the word) a place it cannot read.
Place read_place(const StampWord& word);

// "<place>=<values>": refuses (Refusal, naming the word) a place or values
// it cannot read.
Stamp read_stamp(const StampWord& word);

// What a device gets at one place: the bytes stored there, and the value
// as the manifest and CHECK write it ("1001", "0x00A1", "02:00:00:00:00:01",
// "key_0007.bin", the text of a text cell).
struct Value {
    std::vector<uint8_t> bytes;
    std::string shown;
};

// Every device's values at every stamp's place, in device order.
struct Devices {
    size_t count = 0;
    size_t stamps = 0;
    std::vector<std::string> ids;  // safe as part of a file name, each once
    std::vector<Value> values;     // device d, stamp s: values[d * stamps + s]

    const Value& value(size_t device, size_t stamp) const {
        return values[device * stamps + stamp];
    }
};

// The devices `stamps` give, each stamp's place `widths[i]` bytes wide,
// numbers stored big-endian with `big_endian`. The count is the stamps'
// own (a serial's last, a CSV's rows, a folder's files) or `count`
// (--count); all must agree. Refuses, before anything is written: counts
// that differ, none at all, or past 1,000,000; a place of no size; a value
// that does not fit its place; a CSV, column, cell or blob that cannot be
// read; an id that cannot be part of a file name (1 to 64 letters, digits,
// '-', '_', '.', '+', no leading '.' nor ".."); the same serial, MAC or id
// twice (ids apart only by case too), within a stamp or across stamps of
// one kind (two mac: ranges that overlap); two blobs of the same bytes.
Devices read_devices(const std::vector<Stamp>& stamps,
                     const std::vector<uint64_t>& widths, std::optional<uint64_t> count,
                     bool big_endian);

// CHECK's one value for a place `width` bytes wide: a number (decimal or
// 0x), a MAC (02:00:00:00:00:01), text:<text>, bytes:<hex digits>,
// file:<path>; or a FLASH word that gives one value (serial:1001,
// mac:02:00:00:00:00:01). `word` names it in refusals.
Value read_one(const StampWord& word, uint64_t width, bool big_endian);

}  // namespace velk::stamps
