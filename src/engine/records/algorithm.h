// A checksum algorithm of the catalogue, by any of its names, ready to
// compute: every CRC of FLASH and CHECK is computed natively from the
// catalogue's parameters.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "../checksum/catalogue.h"
#include "../layout/memory_map.h"
#include "intervals.h"

namespace velk::records {

using Feed = checksum::Feed;

struct Algorithm {
    const checksum::Algorithm* row = nullptr;
    std::string name;    // as reports name it: "CRC-32/MPEG-2"
    unsigned width = 4;  // bytes of its value
    std::shared_ptr<const checksum::Crc> crc;

    bool is_default() const;
};

// The algorithm `name` stands for (CRC-32/MPEG-2 when none is given);
// refuses a name the catalogue does not know.
Algorithm find_algorithm(const std::optional<std::string>& name);

// The algorithm of a catalogue row.
Algorithm algorithm_of(const checksum::Algorithm& row);

// The lines of `velk-crc --list-crc`: every row with its width in bytes,
// its check value and its names.
std::string catalogue_text();

// Called between megabytes of a long checksum: what answers Ctrl-C.
using BetweenChunks = std::function<void()>;

// The checksum of the bytes of `memory` in `range`, one range after
// another.
uint64_t checksum_of(const Algorithm& algorithm, const layout::MemoryMap& memory,
                     const Intervals& range, Feed feed,
                     const BetweenChunks& between_chunks = {});

}  // namespace velk::records
