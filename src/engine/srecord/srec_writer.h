// Motorola S-records of a memory map, laid out as objcopy -O srec lays
// them out: what NXP, Renesas and automotive flash tools take.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "../layout/memory_map.h"

namespace velk::srecord {

// An S0 header record holding `header` (up to 252 bytes of it: objcopy
// puts the file's name there), then data records of up to 16 bytes from
// the lowest address upward, each cut at a hole, with the shortest address
// width that holds the highest address and the entry point (S1: 16 bits,
// S2: 24, S3: 32), and the termination record of that width (S9, S8, S7)
// holding `entry`, or 0 without one: the termination record cannot be left
// out, and 0 is what objcopy writes for a file without a start address.
// Upper-case hex digits, "\n" line endings. Erased-flash runs are written
// as 0xFF bytes. Requires memory.end() <= 2**32.
void write_srecord(const layout::MemoryMap& memory, std::optional<uint32_t> entry,
                   const std::string& header, layout::TextSink& sink);

}  // namespace velk::srecord
