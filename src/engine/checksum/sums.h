// Checksums that are no CRC, as bootloaders compute them: additive sums of
// bytes or words (the plain sum, its two's complement, its one's
// complement), Fletcher's two running sums and Adler-32 (zlib's). Each is
// fed bytes in pieces of any size; a word split between two pieces waits
// for its last bytes, and a last word the range leaves short is completed
// with zero bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::checksum {

// What a sum stores: the sum, its two's complement (the range and the
// value then sum to zero) or its one's complement.
enum class Complement { none, neg, not_ };

struct SumParameters {
    unsigned word = 1;  // bytes of each term: 1, 2 or 4
    Complement complement = Complement::none;
};

// The terms of a sum or of Fletcher's sums: `word`-byte words, little-endian
// unless `big`.
class Words {
public:
    Words(unsigned word, bool big) : word_(word), big_(big) {}

    // Calls add(term) for every whole word of the pieces fed so far.
    template <class Add>
    void feed(const uint8_t* data, size_t size, Add&& add);
    // Calls add(term) for the last word, completed with zero bytes.
    template <class Add>
    void flush(Add&& add);

private:
    uint32_t term(const uint8_t* p) const;

    unsigned word_;
    bool big_;
    uint8_t held_bytes_[4] = {};
    unsigned held_ = 0;
};

class Sum {
public:
    Sum(unsigned width, const SumParameters& parameters, bool big_endian);
    void update(const uint8_t* data, size_t size);
    uint64_t finish();

private:
    unsigned width_;
    Complement complement_;
    Words words_;
    uint64_t sum_ = 0;
};

// Fletcher-16 over bytes (mod 255), Fletcher-32 over 16-bit words (mod
// 65535): the value is sum2 << n | sum1.
class Fletcher {
public:
    Fletcher(unsigned width, bool big_endian);
    void update(const uint8_t* data, size_t size);
    uint64_t finish();

private:
    unsigned half_;  // bits of each sum
    uint64_t modulus_;
    Words words_;
    uint64_t sum1_ = 0, sum2_ = 0;
    uint64_t pending_ = 0;  // terms since the sums were last reduced
};

class Adler {
public:
    void update(const uint8_t* data, size_t size);
    uint64_t finish() const { return b_ << 16 | a_; }

private:
    uint64_t a_ = 1, b_ = 0;
};

}  // namespace velk::checksum
