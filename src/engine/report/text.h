// The one printf-style way lines are made from numbers and names, and how
// an address reads in every line.
#pragma once

#include <cstdint>
#include <string>

namespace velk::text {

__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...);

// "0x%08llX": how addresses read in every line.
std::string address(uint64_t value);

}  // namespace velk::text
