#include "secrets.h"

#include <cctype>
#include <cstring>

namespace velk::secrets {

namespace {

constexpr char pin_attribute[] = "pin-value=";
constexpr char shown_pin[] = "***";

// The attributes RFC 7512 puts in a URI's query, after the '?'.
constexpr const char* query_attributes[] = {"pin-value=", "module-path=", "pin-source=",
                                            "module-name="};

// Where a PIN ends: at the query's next attribute (an '&' and an attribute's
// name), and in a line that echoes a word as typed, at the quote around it.
// A PIN may hold anything else (a ',', a ';' or an '&' typed unencoded), so
// a line is masked to its end rather than let part of one show.
bool ends_pin(const std::string& text, size_t at, bool in_line) {
    if (in_line && text[at] == '"') return true;
    if (text[at] != '&') return false;
    for (const char* name : query_attributes)
        if (text.compare(at + 1, std::strlen(name), name) == 0) return true;
    return false;
}

// Every PIN in `text` masked: in the URI as typed (`in_line` false), or in
// a line. A PIN a line shows masked already is left as it is, so that a
// line masked twice is unchanged, and so is a line's own mention of
// pin-value= with no value after it.
std::string mask(const std::string& text, bool in_line) {
    // PIN-VALUE= is refused as unknown, and still holds a PIN.
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string out;
    size_t from = 0;
    for (size_t at; (at = lower.find(pin_attribute, from)) != std::string::npos;) {
        size_t value = at + sizeof pin_attribute - 1, end = value;
        while (end < text.size() && !ends_pin(lower, end, in_line)) ++end;
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
