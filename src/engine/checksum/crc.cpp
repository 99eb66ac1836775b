#include "crc.h"

#include "../base/byte_order.h"

namespace velk::checksum {

namespace {

// The register is kept as wide as 64 bits: reflected, at the low end (bit
// 0 the next one out); otherwise at the high end (bit 63 the next one out),
// so that every width shifts the same way.

uint64_t mask_of(unsigned width) {
    return width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
}

// Eight bytes as a word-fed unit takes them: each 4-byte group reversed.
void swap_words(const uint8_t* p, uint8_t* out) {
    for (int w = 0; w < 8; w += 4)
        for (int i = 0; i < 4; ++i) out[w + i] = p[w + 3 - i];
}

}  // namespace

uint64_t reflect(uint64_t value, unsigned bits) {
    uint64_t out = 0;
    for (unsigned i = 0; i < bits; ++i, value >>= 1) out = out << 1 | (value & 1);
    return out;
}

Crc::Crc(const CrcParameters& p)
    : width_(p.width), reflected_(p.refin), refout_(p.refout), xorout_(p.xorout) {
    const uint64_t mask = mask_of(width_);
    const unsigned shift = 64 - width_;
    if (reflected_) {
        const uint64_t poly = reflect(p.poly & mask, width_);
        for (unsigned b = 0; b < 256; ++b) {
            uint64_t r = b;
            for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ poly : r >> 1;
            table_[0][b] = r;
        }
        for (unsigned k = 1; k < 8; ++k)
            for (unsigned b = 0; b < 256; ++b) {
                uint64_t r = table_[k - 1][b];
                table_[k][b] = (r >> 8) ^ table_[0][r & 0xFF];
            }
        start_ = reflect(p.init & mask, width_);
        poly_ = poly;
    } else {
        const uint64_t poly = (p.poly & mask) << shift;
        for (unsigned b = 0; b < 256; ++b) {
            uint64_t r = uint64_t{b} << 56;
            for (int bit = 0; bit < 8; ++bit)
                r = (r >> 63) ? (r << 1) ^ poly : r << 1;
            table_[0][b] = r;
        }
        for (unsigned k = 1; k < 8; ++k)
            for (unsigned b = 0; b < 256; ++b) {
                uint64_t r = table_[k - 1][b];
                table_[k][b] = (r << 8) ^ table_[0][r >> 56];
            }
        start_ = (p.init & mask) << shift;
        poly_ = poly;
    }
    // 1 as the register holds it, then x^8, and each power the square of
    // the one before.
    one_ = reflected_ ? uint64_t{1} << (width_ - 1) : uint64_t{1} << shift;
    uint64_t x8 = one_;
    for (int bit = 0; bit < 8; ++bit) x8 = times_x(x8);
    powers_[0] = x8;
    for (size_t k = 1; k < powers_.size(); ++k)
        powers_[k] = multiply(powers_[k - 1], powers_[k - 1]);
}

// A zero bit through the register.
uint64_t Crc::times_x(uint64_t reg) const {
    if (reflected_) return (reg & 1) ? (reg >> 1) ^ poly_ : reg >> 1;
    return (reg >> 63) ? (reg << 1) ^ poly_ : reg << 1;
}

// Horner's rule over `a`'s bits, its highest power first: the bit that
// would leave the register first.
uint64_t Crc::multiply(uint64_t a, uint64_t b) const {
    uint64_t out = 0;
    if (reflected_) {
        for (unsigned i = 0; i < width_; ++i, a >>= 1) {
            out = times_x(out);
            if (a & 1) out ^= b;
        }
    } else {
        for (unsigned i = 0; i < width_; ++i, a <<= 1) {
            out = times_x(out);
            if (a >> 63) out ^= b;
        }
    }
    return out;
}

uint64_t Crc::shift(uint64_t reg, uint64_t zero_bytes) const {
    for (size_t k = 0; zero_bytes; ++k, zero_bytes >>= 1)
        if (zero_bytes & 1) reg = multiply(powers_[k], reg);
    return reg;
}

// Eight bytes at a time: the register XORed with the next eight bytes, in
// the order it shifts them out, and each byte of that through the table of
// how far it is from the end.
template <bool Reflected>
uint64_t Crc::run(uint64_t reg, const uint8_t* data, size_t size, bool words) const {
    const auto& t = table_;
    uint8_t swapped[8];
    for (; size >= 8; data += 8, size -= 8) {
        const uint8_t* p = data;
        if (words) {
            swap_words(data, swapped);
            p = swapped;
        }
        using bytes::Order;
        const uint64_t x =
            reg ^ bytes::load<8, Reflected ? Order::little : Order::big>(p);
        reg = 0;
        for (unsigned k = 0; k < 8; ++k) {
            const unsigned shift = Reflected ? 8 * k : 56 - 8 * k;
            reg ^= t[7 - k][(x >> shift) & 0xFF];
        }
    }
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = words ? data[(i & ~size_t{3}) + 3 - (i & 3)] : data[i];
        reg = Reflected ? (reg >> 8) ^ t[0][(reg ^ b) & 0xFF]
                        : (reg << 8) ^ t[0][(reg >> 56) ^ b];
    }
    return reg;
}

uint64_t Crc::update(uint64_t reg, const uint8_t* data, size_t size, Feed feed) const {
    const bool words = feed == Feed::words;
    return reflected_ ? run<true>(reg, data, size, words) : run<false>(reg, data, size, words);
}

uint64_t Crc::finish(uint64_t reg) const {
    uint64_t value = reflected_ ? reg : reg >> (64 - width_);
    if (refout_ != reflected_) value = reflect(value, width_);
    return (value ^ xorout_) & mask_of(width_);
}

}  // namespace velk::checksum
