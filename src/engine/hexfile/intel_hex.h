// Intel HEX text of a memory map, laid out record for record as the
// intelhex package writes it with write_start_addr=True, byte_count=16.
#pragma once

#include <cstdint>
#include <optional>

#include "../layout/memory_map.h"

namespace velk::hexfile {

using layout::MemoryMap;
using layout::TextSink;

// Intel HEX addresses are 32 bits: a map that reaches past 4 GiB cannot be
// written.
constexpr uint64_t address_limit = uint64_t{1} << 32;

// The start address a HEX or S-record file can carry for an entry point:
// none above 4 GiB, where a 32-bit field would hold another address.
std::optional<uint32_t> start_address(uint64_t entry);

// The start linear address record (type 05) holding `start_linear` (none
// without one), then
// data records of up to 16 bytes from the lowest address upward, each cut
// at a hole and at a 64 KiB boundary, an extended linear address record
// (type 04) before the first data record and wherever the next data lies
// in a higher 64 KiB page (none at all when every address is below 64 KiB),
// and the end-of-file record. Erased-flash runs are written as 0xFF bytes. Upper-case hex
// digits, "\n" line endings. Requires memory.end() <= address_limit.
void write_intel_hex(const MemoryMap& memory, std::optional<uint32_t> start_linear,
                     TextSink& sink);

}  // namespace velk::hexfile
