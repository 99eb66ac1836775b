#include "sums.h"

#include <algorithm>

namespace velk::checksum {

namespace {

uint64_t mask_of(unsigned width) {
    return width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
}

// Terms added between reductions of Fletcher's sums: the second sum stays
// far below 2^64.
constexpr uint64_t fletcher_run = uint64_t{1} << 20;
// Bytes between reductions of Adler's sums, for the same reason.
constexpr size_t adler_run = size_t{1} << 22;
constexpr uint64_t adler_modulus = 65521;

}  // namespace

uint32_t Words::term(const uint8_t* p) const {
    uint32_t v = 0;
    for (unsigned i = 0; i < word_; ++i)
        v |= static_cast<uint32_t>(p[i]) << (8 * (big_ ? word_ - 1 - i : i));
    return v;
}

template <class Add>
void Words::feed(const uint8_t* data, size_t size, Add&& add) {
    while (size && held_) {
        held_bytes_[held_++] = *data++;
        --size;
        if (held_ == word_) {
            add(term(held_bytes_));
            held_ = 0;
        }
    }
    const uint8_t* end = data + size - size % word_;
    // Each word width its own loop, which the compiler can unroll.
    if (word_ == 1) {
        for (; data < end; ++data) add(uint32_t{*data});
    } else if (word_ == 2) {
        for (; data < end; data += 2)
            add(big_ ? uint32_t{data[0]} << 8 | data[1] : uint32_t{data[1]} << 8 | data[0]);
    } else {
        for (; data < end; data += 4) add(term(data));
    }
    for (size_t i = 0; i < size % word_; ++i) held_bytes_[held_++] = data[i];
}

template <class Add>
void Words::flush(Add&& add) {
    if (!held_) return;
    std::fill(held_bytes_ + held_, held_bytes_ + word_, 0);
    add(term(held_bytes_));
    held_ = 0;
}

Sum::Sum(unsigned width, const SumParameters& p, bool big_endian)
    : width_(width), complement_(p.complement), words_(p.word, big_endian) {}

void Sum::update(const uint8_t* data, size_t size) {
    uint64_t sum = sum_;
    words_.feed(data, size, [&sum](uint32_t term) { sum += term; });
    sum_ = sum;
}

uint64_t Sum::finish() {
    words_.flush([this](uint32_t term) { sum_ += term; });
    const uint64_t value = complement_ == Complement::neg   ? 0 - sum_
                           : complement_ == Complement::not_ ? ~sum_
                                                              : sum_;
    return value & mask_of(width_);
}

Fletcher::Fletcher(unsigned width, bool big_endian)
    : half_(width / 2), modulus_(mask_of(width / 2)), words_(width / 16, big_endian) {}

void Fletcher::update(const uint8_t* data, size_t size) {
    uint64_t sum1 = sum1_, sum2 = sum2_, pending = pending_;
    const uint64_t modulus = modulus_;
    words_.feed(data, size, [&](uint32_t term) {
        sum1 += term;
        sum2 += sum1;
        if (++pending == fletcher_run) {
            sum1 %= modulus;
            sum2 %= modulus;
            pending = 0;
        }
    });
    sum1_ = sum1, sum2_ = sum2, pending_ = pending;
}

uint64_t Fletcher::finish() {
    words_.flush([this](uint32_t term) {
        sum1_ += term;
        sum2_ += sum1_;
    });
    return (sum2_ % modulus_) << half_ | (sum1_ % modulus_);
}

void Adler::update(const uint8_t* data, size_t size) {
    uint64_t a = a_, b = b_;
    while (size) {
        const size_t n = std::min(size, adler_run);
        for (size_t i = 0; i < n; ++i) {
            a += data[i];
            b += a;
        }
        a %= adler_modulus;
        b %= adler_modulus;
        data += n;
        size -= n;
    }
    a_ = a, b_ = b;
}

}  // namespace velk::checksum
