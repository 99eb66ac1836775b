#include "sums.h"

#include <algorithm>

#include "../base/byte_order.h"

namespace velk::checksum {

namespace {

uint64_t low_bits(unsigned width) {
    return width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
}

// A word of at most 4 bytes: the block sums below stay 32 bits wide.
template <unsigned W, bool Big>
inline uint32_t load(const uint8_t* p) {
    return static_cast<uint32_t>(
        bytes::load<W, Big ? bytes::Order::big : bytes::Order::little>(p));
}

template <unsigned W, bool Big>
uint64_t total(const uint8_t* p, size_t count) {
    uint64_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum += load<W, Big>(p + W * i);
    return sum;
}

// Terms taken a block at a time: within a block the second sum gains the
// first's value once per term and each term weighted by how many sums
// follow it, so the block's terms add up without a chain from one to the
// next.
constexpr size_t block = 16;

template <unsigned W, bool Big>
void running(const uint8_t* p, size_t count, uint64_t& first, uint64_t& second) {
    uint64_t a = first, b = second;
    size_t i = 0;
    for (; i + block <= count; i += block) {
        uint32_t sum = 0, weighted = 0;
        for (size_t k = 0; k < block; ++k) {
            const uint32_t term = load<W, Big>(p + W * (i + k));
            sum += term;
            weighted += static_cast<uint32_t>(block - k) * term;
        }
        b += block * a + weighted;
        a += sum;
    }
    for (; i < count; ++i) {
        a += load<W, Big>(p + W * i);
        b += a;
    }
    first = a, second = b;
}

// Terms between reductions of the running sums: the second stays far below
// 2^64.
constexpr uint64_t reduce_every = uint64_t{1} << 20;

}  // namespace

template <class Run>
void Words::feed(const uint8_t* data, size_t size, Run&& run) {
    while (size && held_) {
        held_bytes_[held_++] = *data++;
        --size;
        if (held_ == word_) {
            run(held_bytes_, 1);
            held_ = 0;
        }
    }
    const size_t whole = size / word_;
    if (whole) run(data, whole);
    for (size_t i = whole * word_; i < size; ++i) held_bytes_[held_++] = data[i];
}

template <class Run>
void Words::flush(Run&& run) {
    if (!held_) return;
    std::fill(held_bytes_ + held_, held_bytes_ + word_, 0);
    run(held_bytes_, 1);
    held_ = 0;
}

Sum::Sum(unsigned width, const SumParameters& p, bool big_endian)
    : width_(width), complement_(p.complement), words_(p.word, big_endian) {}

void Sum::add(const uint8_t* p, size_t count) {
    const bool big = words_.big();
    switch (words_.word()) {
        case 1: sum_ += total<1, false>(p, count); break;
        case 2: sum_ += big ? total<2, true>(p, count) : total<2, false>(p, count); break;
        default: sum_ += big ? total<4, true>(p, count) : total<4, false>(p, count); break;
    }
}

void Sum::update(const uint8_t* data, size_t size) {
    words_.feed(data, size, [this](const uint8_t* p, size_t n) { add(p, n); });
}

uint64_t Sum::finish() {
    words_.flush([this](const uint8_t* p, size_t n) { add(p, n); });
    const uint64_t value = complement_ == Complement::neg   ? 0 - sum_
                           : complement_ == Complement::not_ ? ~sum_
                                                              : sum_;
    return value & low_bits(width_);
}

RunningSums::RunningSums(unsigned word, bool big, uint64_t modulus, uint64_t first)
    : words_(word, big), modulus_(modulus), first_(first), second_(0) {}

void RunningSums::add(const uint8_t* p, size_t count) {
    const bool big = words_.big();
    while (count) {
        const size_t n = std::min<uint64_t>(count, reduce_every - pending_);
        if (words_.word() == 1)
            running<1, false>(p, n, first_, second_);
        else if (big)
            running<2, true>(p, n, first_, second_);
        else
            running<2, false>(p, n, first_, second_);
        p += n * words_.word();
        count -= n;
        pending_ += n;
        if (pending_ == reduce_every) {
            first_ %= modulus_;
            second_ %= modulus_;
            pending_ = 0;
        }
    }
}

void RunningSums::update(const uint8_t* data, size_t size) {
    words_.feed(data, size, [this](const uint8_t* p, size_t n) { add(p, n); });
}

void RunningSums::finish(uint64_t& first, uint64_t& second) {
    words_.flush([this](const uint8_t* p, size_t n) { add(p, n); });
    first = first_ % modulus_;
    second = second_ % modulus_;
}

Fletcher::Fletcher(unsigned width, bool big_endian)
    : half_(width / 2), sums_(width / 16, big_endian, low_bits(width / 2), 0) {}

uint64_t Fletcher::finish() {
    uint64_t sum1 = 0, sum2 = 0;
    sums_.finish(sum1, sum2);
    return sum2 << half_ | sum1;
}

Adler::Adler() : sums_(1, false, 65521, 1) {}

uint64_t Adler::finish() {
    uint64_t a = 0, b = 0;
    sums_.finish(a, b);
    return b << 16 | a;
}

}  // namespace velk::checksum
