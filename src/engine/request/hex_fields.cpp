#include "hex_fields.h"

#include <algorithm>

#include "../numbers/numbers.h"

namespace velk {

HexFields read_hex_fields(const std::string& text, const std::string& word) {
    HexFields out;
    out.word = word;
    size_t at = 0;
    do {
        const size_t colon = std::min(text.find(':', at), text.size());
        const std::string field = text.substr(at, colon - at);
        uint64_t value = 0;
        bool read = !field.empty() && field.size() <= 16;
        for (char c : field) {
            const int digit = numbers::hex_digit(c);
            read = read && digit >= 0;
            value = value << 4 | static_cast<uint64_t>(digit & 0xF);
        }
        out.numbers.push_back(read ? std::optional<uint64_t>(value) : std::nullopt);
        out.digits.push_back(field.size());
        at = colon + 1;
    } while (at <= text.size());
    return out;
}

}  // namespace velk
