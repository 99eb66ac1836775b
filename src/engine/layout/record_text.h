// The text of a record file (Intel HEX, S-records), made a line at a time
// into a buffer that goes to the sink a chunk at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "memory_map.h"

namespace velk::layout {

class RecordText {
public:
    // Text handed to the sink at a time.
    static constexpr size_t chunk_size = size_t{1} << 20;

    // Left uninitialised: a small image touches only the pages it fills.
    RecordText(TextSink& sink, size_t longest_line)
        : sink_(sink),
          longest_(longest_line),
          text_(new char[chunk_size + longest_line]) {}

    // Room for one line of at most the longest length; end_line() says
    // where it ended.
    char* line() {
        if (used_ + longest_ > chunk_size) flush();
        return text_.get() + used_;
    }
    void end_line(char* end) { used_ = static_cast<size_t>(end - text_.get()); }

    void flush() {
        if (used_ == 0) return;
        sink_.put(text_.get(), used_);
        used_ = 0;
    }

    // Two upper-case hex digits.
    static char* put_byte(char* out, uint8_t value) {
        std::memcpy(out, pairs().digits + 2 * value, 2);
        return out + 2;
    }

private:
    // Both digits of every byte, one lookup a byte.
    struct Pairs {
        char digits[512];
    };
    static const Pairs& pairs() {
        static constexpr Pairs table = [] {
            Pairs t{};
            constexpr char hex[] = "0123456789ABCDEF";
            for (int v = 0; v < 256; ++v) {
                t.digits[2 * v] = hex[v >> 4];
                t.digits[2 * v + 1] = hex[v & 15];
            }
            return t;
        }();
        return table;
    }

    TextSink& sink_;
    size_t longest_;
    std::unique_ptr<char[]> text_;
    size_t used_ = 0;
};

}  // namespace velk::layout
