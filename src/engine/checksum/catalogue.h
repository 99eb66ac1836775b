// The checksum algorithms the tool knows, one row each: every name it goes
// by, its parameters and its check value (its CRC of the ASCII bytes
// "123456789"). The rows are crcmod's predefined algorithms, in crcmod's
// order, under crcmod's name and the CRC catalogue's names for the same
// parameters; the tests compute every row's check value and compare every
// row with crcmod.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crc.h"

namespace velk::checksum {

struct Algorithm {
    const char* crcmod;  // crcmod's name: "crc-32-mpeg"
    // The CRC catalogue's name, then its aliases there; empty for the two
    // crcmod entries the CRC catalogue does not list.
    std::vector<const char*> names;
    CrcParameters parameters;
    uint64_t check;

    // How reports name it: the CRC catalogue's name, else crcmod's.
    const char* name() const { return names.empty() ? crcmod : names.front(); }
    // The value's bytes.
    unsigned bytes() const { return (parameters.width + 7) / 8; }
};

// Every row, in crcmod's order.
const std::vector<Algorithm>& catalogue();

// The algorithm every run uses unless told otherwise: CRC-32/MPEG-2.
const Algorithm& default_algorithm();

// A name folded for comparison: lower case, '_' and ' ' as '-'.
std::string folded(const std::string& name);

// The row `name` stands for, by any of its names in any case; null when
// none.
const Algorithm* find(const std::string& name);

}  // namespace velk::checksum
