// Numbers as files and flash hold them: a run of bytes, least significant
// first (an ARM image, an MCUboot header, a UF2 block) or most significant
// first (a big-endian ELF file, a CRC register shifted out MSB first).
// The one place that knows how bytes make a number; every reader and writer
// of fields goes through it. The loops compile to one load or store (and a
// byte swap) where the width is known.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::bytes {

enum class Order { little, big };

// `width` bytes at `at` (1 to 8) as one number.
inline uint64_t load(const uint8_t* at, unsigned width, Order order) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        const unsigned shift = order == Order::little ? 8 * i : 8 * (width - 1 - i);
        value |= uint64_t{at[i]} << shift;
    }
    return value;
}

// `value`'s low `width` bytes (1 to 8) at `at`.
inline void store(uint8_t* at, unsigned width, Order order, uint64_t value) {
    for (unsigned i = 0; i < width; ++i) {
        const unsigned shift = order == Order::little ? 8 * i : 8 * (width - 1 - i);
        at[i] = static_cast<uint8_t>(value >> shift);
    }
}

// The same with the width and order fixed where the caller is compiled:
// a hot loop's load.
template <unsigned Width, Order O>
inline uint64_t load(const uint8_t* at) {
    return load(at, Width, O);
}

inline uint16_t le16(const uint8_t* at) {
    return static_cast<uint16_t>(load<2, Order::little>(at));
}
inline uint32_t le32(const uint8_t* at) {
    return static_cast<uint32_t>(load<4, Order::little>(at));
}
inline void put_le16(uint8_t* at, uint16_t value) { store(at, 2, Order::little, value); }
inline void put_le32(uint8_t* at, uint32_t value) { store(at, 4, Order::little, value); }

}  // namespace velk::bytes
