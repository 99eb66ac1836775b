// The checksum of a stretch of a memory map, fed to a crcmod CRC function a
// chunk at a time: a long run of erased flash costs time, never memory.
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

// What `function` (crcmod's, of any width) gives for [from, to). Words:
// `to - from` is a multiple of 4.
uint64_t checksum_of(PyObject* function, const layout::MemoryMap& memory, uint64_t from,
                     uint64_t to, Feed feed);

}  // namespace velk
