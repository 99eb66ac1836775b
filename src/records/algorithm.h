// A checksum algorithm of crcmod's predefined catalogue, by any of its
// names, and the function crcmod makes for it: every CRC of FLASH and
// CHECK is computed by crcmod.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../crc/crc_stream.h"
#include "../module/handle.h"

namespace velk::records {

struct Algorithm {
    std::string crcmod_name;  // "crc-32-mpeg"
    std::string name;         // as reports name it: "CRC-32/MPEG-2"
    unsigned width = 4;       // bytes of its value
    Ref function;             // crcmod's CRC function

    bool is_default() const;
};

// The algorithm `name` stands for (CRC-32/MPEG-2 when none is given);
// refuses a name neither catalogue knows.
Algorithm find_algorithm(const std::optional<std::string>& name);

// Every algorithm of crcmod's catalogue, in its order, with its names and
// its check value (its CRC of the ASCII bytes "123456789").
struct Listed {
    Algorithm algorithm;
    std::vector<std::string> names;
    uint64_t check;
};
std::vector<Listed> catalogue();

// The lines of `velk-crc --list-crc`.
std::string catalogue_text();

// The checksum of [from, to) of `memory`.
uint64_t checksum_of(const Algorithm& algorithm, const layout::MemoryMap& memory,
                     uint64_t from, uint64_t to, Feed feed);

}  // namespace velk::records
