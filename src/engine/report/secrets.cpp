#include "secrets.h"

namespace velk::secrets {

namespace {

constexpr char pin_attribute[] = "pin-value=";
constexpr char shown_pin[] = "***";

// Where a PIN ends: at the query's next attribute, and in a line that
// echoes a word as typed, at the quote around it. A PIN may hold anything
// else (a ',' or a ';' typed unencoded), so a line is masked to its end
// rather than let part of one show.
bool ends_pin(char c, bool in_line) {
    return c == '&' || (in_line && c == '"');
}

// Every PIN in `text` masked: in the URI as typed (`in_line` false), or in
// a line. A PIN a line shows masked already is left as it is, so that a
// line masked twice is unchanged, and so is a line's own mention of
// pin-value= with no value after it.
std::string mask(const std::string& text, bool in_line) {
    std::string out;
    size_t from = 0;
    for (size_t at; (at = text.find(pin_attribute, from)) != std::string::npos;) {
        size_t value = at + sizeof pin_attribute - 1, end = value;
        while (end < text.size() && !ends_pin(text[end], in_line)) ++end;
        out.append(text, from, value - from);
        const bool shown =
            in_line && (end == value || text[value] == ' ' ||
                        text.compare(value, sizeof shown_pin - 1, shown_pin) == 0);
        if (shown) {
            from = value;
            continue;
        }
        out += shown_pin;
        from = end;
    }
    return out.append(text, from, std::string::npos);
}

}  // namespace

std::string masked_uri(const std::string& uri) {
    return mask(uri, false);
}

std::string masked_pins(const std::string& text) {
    return mask(text, true);
}

}  // namespace velk::secrets
