#include "hex_fields.h"

#include "../base/split.h"
#include "../numbers/numbers.h"

namespace velk {

HexFields read_hex_fields(const std::string& text, const std::string& word) {
    HexFields out;
    out.word = word;
    for (std::string field : base::split(text, ':')) {
        // A USB ID as dfuse-pack's -D and dfu-suffix's -v take it, 0x0483.
        if (field.size() > 2 && field[0] == '0' && (field[1] == 'x' || field[1] == 'X'))
            field.erase(0, 2);
        uint64_t value = 0;
        bool read = !field.empty() && field.size() <= 16;
        for (char c : field) {
            const int digit = numbers::hex_digit(c);
            read = read && digit >= 0;
            value = value << 4 | static_cast<uint64_t>(digit & 0xF);
        }
        out.numbers.push_back(read ? std::optional<uint64_t>(value) : std::nullopt);
        out.digits.push_back(field.size());
    }
    return out;
}

}  // namespace velk
