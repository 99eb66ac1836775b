// Base64 text read back to its bytes, as a signature file imgtool writes
// and a PEM block's body hold it. What may stand between the digits (line
// ends, padding) is the caller's to say.
#pragma once

#include <cstdint>
#include <vector>

namespace velk::base {

class Base64Reader {
public:
    explicit Base64Reader(std::vector<uint8_t>& out) : out_(out) {}

    // Takes one digit; false for a character that is none.
    bool digit(char c) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else
            return false;
        bits_ = bits_ << 6 | static_cast<uint32_t>(value);
        if ((count_ += 6) >= 8) {
            count_ -= 8;
            out_.push_back(static_cast<uint8_t>(bits_ >> count_));
        }
        return true;
    }

private:
    std::vector<uint8_t>& out_;
    uint32_t bits_ = 0;
    int count_ = 0;
};

}  // namespace velk::base
