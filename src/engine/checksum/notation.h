// A CRC by its parameters, in the CRC catalogue's own notation:
// "width=16 poly=0x1021 init=0xffff refin=true refout=true xorout=0xffff",
// with spaces or commas between the fields. A catalogue line pasted whole
// is taken: its check= is held against the parameters, its residue= and
// name= are read past.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "crc.h"

namespace velk::checksum {

struct Notation {
    CrcParameters parameters;
    std::optional<uint64_t> check;
};

// Whether `text` is meant as parameters rather than a name: it has a '='.
bool is_notation(const std::string& text);

// The parameters, or why `text` does not give them (a field missing,
// unknown, given twice, or a value that does not fit the width).
std::variant<Notation, std::string> read_notation(const std::string& text);

// The parameters as the catalogue writes them.
std::string notation_of(const CrcParameters& parameters);

}  // namespace velk::checksum
