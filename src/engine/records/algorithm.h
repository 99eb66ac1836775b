// A checksum algorithm of the catalogue, by any of its names or by a CRC's
// parameters, ready to compute: every checksum of FLASH and CHECK is
// computed natively, SHA-256 through the digest the program supplies.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../checksum/catalogue.h"
#include "../checksum/method.h"
#include "../layout/memory_map.h"
#include "../request/request.h"
#include "intervals.h"

namespace velk::records {

using Feed = checksum::Feed;

struct Algorithm {
    // Its catalogue row; null for a CRC's parameters no row has.
    const checksum::Algorithm* row = nullptr;
    std::string name;    // as reports name it: "CRC-32/MPEG-2"
    unsigned width = 4;  // bytes of its value
    std::shared_ptr<const checksum::Crc> crc;  // a CRC's tables; null for others
    std::shared_ptr<const checksum::Method> method;

    bool is_default() const;
    // SHA-256's bytes keep the digest's order whatever the run's byte
    // order; any other value is a number stored in the run's byte order.
    bool fixed_order() const { return row && row->fixed_order(); }
};

// The algorithm chosen (CRC-32/MPEG-2 when none is): a catalogue row or a
// CRC's parameters. Refuses (Refusal) a choice its front could not read
// with the line the front made.
Algorithm find_algorithm(const std::optional<AlgorithmChoice>& choice);

// The algorithm of a catalogue row.
Algorithm algorithm_of(const checksum::Algorithm& row);

// The lines of `velk-crc --list-crc`: every row with its width in bits, its
// check value and its names.
std::string catalogue_text();

// Called between megabytes of a long checksum: what answers Ctrl-C.
using BetweenChunks = std::function<void()>;

// How a run computes its checksums: the feed of a CRC, the words' byte
// order, where SHA-256 comes from, and what answers Ctrl-C.
struct Computing {
    Feed feed = Feed::bytes;
    bool big_endian = false;
    checksum::DigestSource sha256;
    BetweenChunks between_chunks;
};

// The value over the bytes of `memory` in `range`, one range after
// another, most significant byte first (SHA-256: its digest). Refuses
// SHA-256 when the program has no digest.
checksum::Bytes value_of(const Algorithm& algorithm, const layout::MemoryMap& memory,
                         const Intervals& range, const Computing& computing);

// A value of 8 bytes or fewer, as value_of gives it, as a number.
uint64_t number_of(const checksum::Bytes& value);

// The checksum as a number, for values of 8 bytes or fewer.
uint64_t checksum_of(const Algorithm& algorithm, const layout::MemoryMap& memory,
                     const Intervals& range, Feed feed,
                     const BetweenChunks& between_chunks = {});

}  // namespace velk::records
