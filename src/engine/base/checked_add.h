// Sums of addresses and sizes that a file states: a sum past 64 bits is a
// file that would reach past the address space, refused rather than wrapped.
#pragma once

#include <cstdint>

namespace velk::base {

// a + b into `sum`: true when it does not fit in 64 bits (`sum` then holds
// the wrapped value, which nobody should use).
inline bool add_overflows(uint64_t a, uint64_t b, uint64_t& sum) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_add_overflow(a, b, &sum);
#else
    sum = a + b;
    return sum < a;
#endif
}

}  // namespace velk::base
