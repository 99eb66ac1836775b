// The records a FLASH or CHECK run stores, read from its request against a
// build: the --n and --a slots (each with where its range starts and its
// algorithm), an image header's fields and the LPC vector-table sum, the
// holes --exclude cuts in their ranges, and the order they are computed in.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../inputs/placement.h"
#include "../request/request.h"
#include "algorithm.h"
#include "producer.h"
#include "record.h"

namespace velk::records {

struct Planned {
    Record record;
    // The image the record lies in: its start and end bound the erased
    // flash the files hold around it.
    layout::Image image{};
    // --n, --a and --s: the placement the layout checks are told about.
    bool from_selector = false;
    Placement placement;
    bool starts_at_from = false;  // its range starts where an '@' says
};

struct Header {
    std::string symbol;
    uint64_t address = 0, size = 0;
    uint64_t body_start = 0, body_end = 0;
};

struct Plan {
    Algorithm algorithm;  // the run's: a checksum record's that names none
    bool words = false;   // the STM32 unit's records are fed 32-bit words
    // Records of more than one algorithm: each line names its own.
    bool mixed = false;
    bool big_endian = false;
    uint8_t fill = layout::erased;  // holes and padding: what erased flash reads
    std::vector<Planned> records;
    std::vector<size_t> order;  // the order to compute and store them in
    std::optional<Header> header;
    BetweenChunks between_chunks;  // called during a long checksum
    checksum::DigestSource sha256;  // the program's SHA-256
    Asker asker;                    // how refusals name the options

    // A record the settings cannot compute (--words over a range that is
    // not whole words): after the layout checks, which name a wrong slot
    // first.
    void refuse_unfit() const;

    // Every record's image, [start, end): where holes are erased flash.
    std::vector<std::pair<uint64_t, uint64_t>> images() const;
    // What FLASH's .bin holds: the lowest image's start to the highest
    // image's end.
    std::pair<uint64_t, uint64_t> bin_range() const;
    // The checksum record with the lowest slot (an index into `records`),
    // the lowest record when none reads bytes: the one --json's
    // single-record keys describe. A length is no checksum.
    size_t lowest() const;
    // The records in slot order: how lines and --json list them.
    std::vector<size_t> by_slot() const;
    // How its checksums of `feed` are computed.
    Computing computing(Feed feed) const { return {feed, big_endian, sha256, between_chunks}; }
};

// What --json's "algorithm" names beside the record `planned` describes:
// its own algorithm, or --crc's when it has none (a length).
std::string reported_algorithm(const Plan& plan, const Planned& planned);

// A checksum record's algorithm: the one it names, else --crc's. `who` is
// how a refusal of the name starts: "--ncrc=crc-99".
Algorithm algorithm_for(const Plan& plan, const std::optional<AlgorithmChoice>& choice,
                        const std::string& who);

// How a checksum of `algorithm` is fed: words where --words asks for the
// STM32 CRC unit's way, which computes CRC-32/MPEG-2 alone.
Feed feed_for(const Plan& plan, const Algorithm& algorithm);

// The plan for `loadable`; `elf` gives the symbols and the segments (null
// for a HEX or S-record file checked alone: --a and --lpc-vectors only).
Plan plan_records(const Request& request, const ElfBuild* elf,
                  const layout::Loadable& loadable);

// Why storing `record` into `memory` (the build before any record) would
// overwrite the build's own data: what its slot holds is not a placeholder
// (all 0xFF, all 0x00 or the fill value). Empty when it is one.
std::string overwrites_data(const Record& record, const layout::MemoryMap& memory);

// Computes every record over `memory` in order and stores each into it;
// `stored` gets each record's bytes, which the map now holds a copy of.
void store_all(const Plan& plan, layout::MemoryMap& memory, std::vector<Bytes>& stored);

// "12 34 56": bytes as they lie in memory.
std::string hex_bytes(const uint8_t* bytes, unsigned count);

}  // namespace velk::records
