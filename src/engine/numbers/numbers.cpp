#include "numbers.h"

namespace velk::numbers {

namespace {

// `digits` in `base` (10 or 16), all of them digits, into `out` unless it
// is past 64 bits.
bool digits_in(std::string_view digits, unsigned base, uint64_t& out) {
    if (digits.empty()) return false;
    uint64_t number = 0;
    for (char c : digits) {
        const int digit = base == 16 ? hex_digit(c) : c >= '0' && c <= '9' ? c - '0' : -1;
        if (digit < 0) return false;
        if (number > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) return false;
        number = number * base + static_cast<uint64_t>(digit);
    }
    out = number;
    return true;
}

}  // namespace

bool read_number(std::string_view value, int base, uint64_t& out) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    size_t at = 0, end = value.size();
    while (at < end && blank(value[at])) ++at;
    while (end > at && blank(value[end - 1])) --end;
    bool negative = false;
    if (at < end && (value[at] == '+' || value[at] == '-')) negative = value[at++] == '-';
    bool prefixed = false;
    if (base == 16 && end - at >= 2 && value[at] == '0' &&
        (value[at + 1] == 'x' || value[at + 1] == 'X')) {
        at += 2;
        prefixed = true;
    }
    uint64_t number = 0;
    bool digits = false, overflow = false, underscore = false;
    for (; at < end; ++at) {
        char c = value[at];
        if (c == '_') {
            if (underscore || (!digits && !prefixed)) return false;
            underscore = true;
            continue;
        }
        const int digit = base == 16 ? hex_digit(c) : c >= '0' && c <= '9' ? c - '0' : -1;
        if (digit < 0) return false;
        overflow = overflow || number > (UINT64_MAX - static_cast<uint64_t>(digit)) /
                                            static_cast<uint64_t>(base);
        number = number * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        digits = true;
        underscore = false;
    }
    if (!digits || underscore || overflow || (negative && number != 0)) return false;
    out = number;
    return true;
}

bool hex_prefixed(std::string_view value) {
    return value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
}

bool read_hex_address(std::string_view text, uint64_t& out) {
    return text.size() <= 18 && hex_prefixed(text) && read_plain(text, UINT64_MAX, out);
}

bool read_plain(std::string_view text, uint64_t limit, uint64_t& out) {
    const bool hex = hex_prefixed(text);
    uint64_t number = 0;
    if (!digits_in(hex ? text.substr(2) : text, hex ? 16 : 10, number) || number > limit)
        return false;
    out = number;
    return true;
}

bool read_decimal(std::string_view text, uint64_t limit, uint64_t& out) {
    uint64_t number = 0;
    if (text.size() > 10 || !digits_in(text, 10, number) || number > limit) return false;
    out = number;
    return true;
}

bool digits_at(std::string_view text, size_t& at, uint64_t& value, size_t most) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < most)
        value = value * 10 + static_cast<uint64_t>(text[at++] - '0');
    return at > start && (at == text.size() || text[at] < '0' || text[at] > '9');
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool hex_bytes(std::string_view text, std::vector<uint8_t>& out) {
    if (text.size() % 2 != 0) return false;
    out.resize(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const int high = hex_digit(text[2 * i]), low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace velk::numbers
