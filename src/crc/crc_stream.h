// The checksum of a stretch of a memory map, fed to crcmod's CRC-32/MPEG-2
// a chunk at a time: a long run of erased flash costs time, never memory.
#pragma once

#include <cstdint>

#include "../layout/memory_map.h"
#include "../module/ops.h"

namespace velk {

enum class Feed {
    bytes,  // each byte in address order: software, a CRC unit fed bytes
    // each 32-bit little-endian word most significant byte first: a CRC
    // unit fed words read from flash (STM32F1/F2/F4/L1, HAL's word format)
    words,
};

// crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0),
// crcmod looked up at use: the function every checksum here comes from.
Ref make_crc32_mpeg2();

// CRC-32/MPEG-2 of [from, to), through that function. Words: `to - from` is a multiple
// of 4.
uint32_t checksum_of(const layout::MemoryMap& memory, uint64_t from, uint64_t to,
                     Feed feed);

}  // namespace velk
