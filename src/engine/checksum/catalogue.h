// The checksum algorithms the tool knows, one row each: every name it goes
// by, what it computes and its check value (its value for the ASCII bytes
// "123456789"), and a CRC's residue. The CRC rows are the CRC catalogue's entries
// (reveng.sourceforge.io/crc-catalogue), under its names and aliases and
// crcmod's names where crcmod predefines the same parameters, and crcmod's
// two CRCs the catalogue has no entry for; then the sums, Fletcher, Adler
// and SHA-256. The tests compute every row's check value and every CRC's
// residue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crc.h"
#include "sums.h"

namespace velk::checksum {

enum class Kind {
    crc,
    wide_crc,  // a CRC wider than 64 bits: listed, not computed
    sum,       // sum-8 ... sum-32/words/not
    fletcher,
    adler,
    sha256,
};

struct Algorithm {
    // The catalogue's name first, then its aliases.
    std::vector<const char*> names;
    const char* crcmod = nullptr;  // crcmod's name, when crcmod has it
    Kind kind = Kind::crc;
    CrcParameters parameters{};  // a CRC's; the width of any other
    SumParameters sum{};         // a sum's, Fletcher's
    // The value for "123456789", as the catalogue writes it: "0x0376e6e7".
    // SHA-256's is its digest, read most significant byte first.
    const char* check = "";
    // A CRC's register after a message followed by its own CRC, before the
    // final XOR, as the catalogue writes it: the same for every message, so
    // a receiver that runs the CRC over a frame and its CRC compares with
    // it. Empty for the rows that are no CRC.
    const char* residue = "";

    // How reports name it: its first name, else crcmod's.
    const char* name() const { return names.empty() ? crcmod : names.front(); }
    // The value's bits and bytes.
    unsigned width() const { return parameters.width; }
    unsigned bytes() const { return (parameters.width + 7) / 8; }
    // Whether the tool computes it (a CRC wider than 64 bits it does not).
    bool computed() const { return kind != Kind::wide_crc; }
    // SHA-256's bytes lie in the digest's own order, whatever the byte
    // order of the run.
    bool fixed_order() const { return kind == Kind::sha256; }
};

// Every row: the CRC catalogue's in its order, crcmod's own, the others.
const std::vector<Algorithm>& catalogue();

// The algorithm every run uses unless told otherwise: CRC-32/MPEG-2.
const Algorithm& default_algorithm();

// A name folded for comparison: lower case, '_' and ' ' as '-'.
std::string folded(const std::string& name);

// The row `name` stands for, by any of its names in any case (crcmod's
// names first, as they always were); null when none.
const Algorithm* find(const std::string& name);

// Every name `find` takes to `row`.
std::vector<std::string> names_of(const Algorithm& row);

// The catalogue names nearest to a mistyped `name`, nearest first: a few
// at most, none when nothing is near.
std::vector<std::string> nearest(const std::string& name);

// The CRC row with exactly these parameters, null when none.
const Algorithm* crc_with(const CrcParameters& parameters);

}  // namespace velk::checksum
