// Where bytes a file holds first differ from the image it is written
// from, for the checks of file_checks.h, and how a fault says so.
#pragma once

#include <cstdint>
#include <string>

#include "../layout/memory_map.h"

namespace velk::formats {

// The first of `size` bytes at `data` that is not the image's byte at
// `address` on (erased flash as the map's fill); -1 when all are.
int64_t first_unlike(const layout::MemoryMap& memory, uint64_t address, const uint8_t* data,
                     uint64_t size);

// "holds 0x12 at 0x08000010 where the image has 0x13"
std::string unlike_text(const layout::MemoryMap& memory, uint64_t address, uint8_t held);

}  // namespace velk::formats
