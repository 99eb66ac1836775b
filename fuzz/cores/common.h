// Helpers shared by the core fuzzers: a failed check prints what went
// wrong and aborts, so libFuzzer keeps the input as a crash file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../../src/engine/layout/memory_map.h"

#define FUZZ_CHECK(cond, ...)                                                    \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "check failed at %s:%d: %s\n  ", __FILE__,      \
                         __LINE__, #cond);                                       \
            std::fprintf(stderr, __VA_ARGS__);                                   \
            std::fprintf(stderr, "\n");                                          \
            std::abort();                                                        \
        }                                                                        \
    } while (0)

namespace fuzzcores {

// Collects what a writer hands over.
struct StringSink final : velk::layout::TextSink {
    std::string text;
    void put(const char* chunk, size_t size) override { text.append(chunk, size); }
};

// Takes bytes from the front of the input; past its end every read is 0.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint64_t little(int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= uint64_t{u8()} << (8 * i);
        return v;
    }
    uint16_t u16() { return static_cast<uint16_t>(little(2)); }
    // Up to `n` bytes, fewer at the end of the input.
    const uint8_t* take(size_t n, size_t& got) {
        got = n < size_ - at_ ? n : size_ - at_;
        const uint8_t* p = data_ + at_;
        at_ += got;
        return p;
    }
    size_t left() const { return size_ - at_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

inline bool env_flag(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace fuzzcores
