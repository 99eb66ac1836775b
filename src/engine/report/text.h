// The one printf-style way lines are made from numbers and names, and how
// an address reads in every line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../base/printf_like.h"

namespace velk::text {

VELK_PRINTF_LIKE(1, 2) std::string format(const char* fmt, ...);

// "0x%08llX": how addresses read in every line.
std::string address(uint64_t value);

// "0x%llX": a field's value, as MCUboot's header and TLV lines read it.
std::string number(uint64_t value);

// Bytes as lower-case hex digits, two a byte: how digests, keys and TLV
// values read.
std::string hex(const uint8_t* bytes, size_t size);
inline std::string hex(const std::vector<uint8_t>& bytes) {
    return hex(bytes.data(), bytes.size());
}

}  // namespace velk::text
