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
// unless `big`. Hands on runs of whole words, a word split between pieces
// once it is whole.
class Words {
public:
    Words(unsigned word, bool big) : word_(word), big_(big) {}

    unsigned word() const { return word_; }
    bool big() const { return big_; }
    // Calls run(words, count) for the whole words of the pieces fed so far.
    template <class Run>
    void feed(const uint8_t* data, size_t size, Run&& run);
    // Calls run(word, 1) for the last word, completed with zero bytes.
    template <class Run>
    void flush(Run&& run);

private:
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
    void add(const uint8_t* words, size_t count);

    unsigned width_;
    Complement complement_;
    Words words_;
    uint64_t sum_ = 0;
};

// Two running sums of the terms, reduced by a modulus: the first the sum of
// the terms, the second the sum of the first after each term. Fletcher's
// start at 0, Adler's first at 1.
class RunningSums {
public:
    RunningSums(unsigned word, bool big, uint64_t modulus, uint64_t first);
    void update(const uint8_t* data, size_t size);
    // Both sums, reduced, the last word completed with zero bytes.
    void finish(uint64_t& first, uint64_t& second);

private:
    void add(const uint8_t* words, size_t count);

    Words words_;
    uint64_t modulus_;
    uint64_t first_, second_;
    uint64_t pending_ = 0;  // terms since the sums were last reduced
};

// Fletcher-16 over bytes (mod 255), Fletcher-32 over 16-bit words (mod
// 65535): the value is sum2 << n | sum1.
class Fletcher {
public:
    Fletcher(unsigned width, bool big_endian);
    void update(const uint8_t* data, size_t size) { sums_.update(data, size); }
    uint64_t finish();

private:
    unsigned half_;  // bits of each sum
    RunningSums sums_;
};

// Adler-32 as zlib computes it: bytes, mod 65521, b << 16 | a.
class Adler {
public:
    Adler();
    void update(const uint8_t* data, size_t size) { sums_.update(data, size); }
    uint64_t finish();

private:
    RunningSums sums_;
};

}  // namespace velk::checksum
