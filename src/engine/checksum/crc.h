// A CRC of any width from 1 to 64 bits, by the parameters the CRC
// catalogue gives each algorithm: the polynomial, the register's initial
// value, whether input bytes and the output are reflected, and the final
// XOR. Computed from tables, eight bytes at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velk::checksum {

struct CrcParameters {
    unsigned width;    // bits, 1 to 64
    uint64_t poly;     // without its top bit, as the catalogue writes it
    uint64_t init;     // the register before the first bit
    bool refin;        // each input byte least significant bit first
    bool refout;       // the register reflected before the final XOR
    uint64_t xorout;   // XORed into the result
};

// How bytes reach the CRC: each in address order, or as a CRC unit fed
// 32-bit little-endian words read from flash takes them: each word most
// significant byte first (the STM32 CRC unit fed words).
enum class Feed { bytes, words };

class Crc {
public:
    explicit Crc(const CrcParameters& parameters);

    // The register before any byte, the register after `size` more bytes,
    // and the value the register stands for. With words, `size` is a
    // multiple of 4.
    uint64_t start() const { return start_; }
    uint64_t update(uint64_t reg, const uint8_t* data, size_t size, Feed feed) const;
    uint64_t finish(uint64_t reg) const;

    // All in one: the CRC of `size` bytes.
    uint64_t of(const uint8_t* data, size_t size, Feed feed = Feed::bytes) const {
        return finish(update(start(), data, size, feed));
    }

    unsigned width() const { return width_; }

    // The register after `zero_bytes` more zero bytes, in as many steps as
    // `zero_bytes` has bits set: zeros read the same in either feed.
    uint64_t shift(uint64_t reg, uint64_t zero_bytes) const;
    // The register after bytes A and then bytes B, from `reg`, the register
    // after A, and `tail`, B's own: update(0, B), over `tail_bytes` bytes
    // (with words, B starts on a word of the feed). A register is linear in
    // what it was and what it is fed, so B's part is worked out once for
    // any A.
    uint64_t combine(uint64_t reg, uint64_t tail, uint64_t tail_bytes) const {
        return shift(reg, tail_bytes) ^ tail;
    }
    // What the register is multiplied by over `zero_bytes` zero bytes, and
    // a register moved by that: shift() for a stretch whose length many
    // images share, the factor worked out once.
    uint64_t factor(uint64_t zero_bytes) const { return shift(one_, zero_bytes); }
    uint64_t shifted(uint64_t reg, uint64_t factor) const { return multiply(factor, reg); }

private:
    template <bool Reflected>
    uint64_t run(uint64_t reg, const uint8_t* data, size_t size, bool words) const;

    unsigned width_;
    bool reflected_;  // the register runs least significant bit first
    bool refout_;
    uint64_t xorout_;
    uint64_t start_;
    uint64_t one_;   // the polynomial 1, as the register holds it
    uint64_t poly_;  // as the register holds it: reflected, or at the high end
    // The register times x, and `a` times `b`, modulo the polynomial: the
    // register as a polynomial, its first bit out the highest power.
    uint64_t times_x(uint64_t reg) const;
    uint64_t multiply(uint64_t a, uint64_t b) const;
    // powers_[k]: x to the power 8 * 2^k, what a register is multiplied by
    // over 2^k zero bytes.
    std::array<uint64_t, 64> powers_;
    // table_[k][b]: byte b followed by k zero bytes, for eight bytes at once.
    std::array<std::array<uint64_t, 256>, 8> table_;
};

// `value`'s low `bits` bits in reverse order.
uint64_t reflect(uint64_t value, unsigned bits);

}  // namespace velk::checksum
