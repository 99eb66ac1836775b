#include "json.h"

#include <cstdio>

namespace velk::json {

namespace {

void put_escape(std::string& out, unsigned code) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", code);
    out += buffer;
}

// The length of a well-formed UTF-8 sequence at `s`, or 0.
size_t utf8_length(const unsigned char* s, size_t room) {
    unsigned char c = s[0];
    size_t n = c < 0x80         ? 1
               : (c >> 5) == 6  ? 2
               : (c >> 4) == 14 ? 3
               : (c >> 3) == 30 ? 4
                                : 0;
    if (n == 0 || n > room) return 0;
    for (size_t i = 1; i < n; ++i)
        if ((s[i] & 0xC0) != 0x80) return 0;
    if (n == 2 && c < 0xC2) return 0;                   // overlong
    if (n == 3 && c == 0xE0 && s[1] < 0xA0) return 0;   // overlong
    if (n == 3 && c == 0xED && s[1] >= 0xA0) return 0;  // a surrogate
    if (n == 4 && (c > 0xF4 || (c == 0xF0 && s[1] < 0x90) || (c == 0xF4 && s[1] >= 0x90)))
        return 0;
    return n;
}

void put_text(std::string& out, const std::string& text) {
    out += '"';
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        unsigned char c = s[i];
        size_t n = utf8_length(s + i, text.size() - i);
        if (n == 0) {
            put_escape(out, 0xDC00 + c);
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            put_escape(out, c);
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    out += '"';
}

}  // namespace

Value& Value::push(Value v) {
    items_.emplace_back(std::string(), std::move(v));
    return items_.back().second;
}

Value& Value::set(const std::string& key, Value v) {
    for (auto& item : items_)
        if (item.first == key) return item.second = std::move(v);
    items_.emplace_back(key, std::move(v));
    return items_.back().second;
}

std::string Value::dump() const {
    std::string out;
    write(out);
    return out;
}

void Value::write(std::string& out) const {
    switch (kind_) {
        case Kind::null:
            out += "null";
            break;
        case Kind::boolean:
            out += number_ ? "true" : "false";
            break;
        case Kind::number:
            out += std::to_string(number_);
            break;
        case Kind::text:
            put_text(out, text_);
            break;
        case Kind::array:
        case Kind::object: {
            bool object = kind_ == Kind::object;
            out += object ? '{' : '[';
            for (size_t i = 0; i < items_.size(); ++i) {
                if (i) out += ", ";
                if (object) {
                    put_text(out, items_[i].first);
                    out += ": ";
                }
                items_[i].second.write(out);
            }
            out += object ? '}' : ']';
            break;
        }
    }
}

}  // namespace velk::json
