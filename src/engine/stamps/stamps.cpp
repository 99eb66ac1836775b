// The --stamp words read into stamps, and CHECK's one value a place. The
// devices' values are made in devices.cpp.
#include "stamps.h"

#include "../numbers/numbers.h"
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "words.h"

namespace velk::stamps {

namespace {

bool symbol_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '.' || c == '$';
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// serial:<first>[..<last>]
void read_serial(const StampWord& word, const std::string& values, Stamp& stamp) {
    const size_t dots = values.find("..");
    const std::string first = values.substr(0, dots);
    if (!read_serial_number(first, stamp.first, stamp.hex, stamp.lower, stamp.digits))
        refuse(word, values::quoted(first) +
                         " is not a serial number: expected decimal digits or 0x and hex "
                         "digits, e.g. serial:1001..1100");
    if (dots == std::string::npos) return;
    const std::string last = values.substr(dots + 2);
    bool hex = false, lower = false;
    size_t digits = 0;
    uint64_t number = 0;
    if (!read_serial_number(last, number, hex, lower, digits))
        refuse(word,
               values::quoted(last) +
                   " is not a last serial number: expected decimal digits or 0x and "
                   "hex digits, e.g. serial:1001..1100");
    if (number < stamp.first)
        refuse(word, "the last serial (" + last + ") is below the first (" + first + ")");
    stamp.last = number;
}

// csv:<file>:<column>[:bytes|:text]. A Windows path has a ':' after its
// drive letter, so the column is taken from the end.
void read_csv_word(const StampWord& word, const std::string& values, Stamp& stamp) {
    std::string rest = values;
    size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        const std::string tail = rest.substr(colon + 1);
        // csv:<file>:text is a column named text, csv:<file>:<column>:text a
        // text cell: a column before the kind, and no path's (C:\x.csv:text).
        const size_t before = colon == 0 ? std::string::npos : rest.rfind(':', colon - 1);
        if ((tail == "bytes" || tail == "text") && before != std::string::npos &&
            rest.substr(before, colon - before).find_first_of("/\\") ==
                std::string::npos) {
            stamp.cell = tail == "bytes" ? Stamp::Cell::bytes : Stamp::Cell::text;
            rest.resize(colon);
            colon = rest.rfind(':');
        }
    }
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
        refuse(word,
               "expected csv:<file>:<column>[:bytes|:text], e.g. csv:line.csv:serial");
    stamp.path = rest.substr(0, colon);
    stamp.column = rest.substr(colon + 1);
}

// file:<folder>/<pattern>, the wildcards in the names alone.
void read_file_word(const StampWord& word, const std::string& values, Stamp& stamp) {
    const size_t slash = values.find_last_of(platform::path_separators);
    stamp.path = slash == std::string::npos ? std::string() : values.substr(0, slash + 1);
    stamp.pattern = values.substr(slash == std::string::npos ? 0 : slash + 1);
    if (stamp.pattern.empty())
        refuse(word, "expected file:<folder>/<pattern>, e.g. file:keys/*.bin");
    if (stamp.path.find_first_of("*?") != std::string::npos)
        refuse(word,
               "'*' and '?' match file names in one folder, not folders: expected "
               "file:<folder>/<pattern>, e.g. file:keys/*.bin");
}

}  // namespace

void refuse(const StampWord& word, const std::string& what) {
    throw Refusal{word.word + ": " + what};
}

bool read_serial_number(const std::string& text, uint64_t& value, bool& hex, bool& lower,
                        size_t& digits) {
    hex = numbers::hex_prefixed(text);
    const std::string body = hex ? text.substr(2) : text;
    if (body.empty() ||
        body.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
            std::string::npos ||
        !numbers::read_plain(text, UINT64_MAX, value))
        return false;
    lower = body.find_first_of("abcdef") != std::string::npos;
    digits = body.size();
    return true;
}

std::string serial_text(const Stamp& stamp, uint64_t value) {
    if (!stamp.hex)
        return text::format("%0*llu", static_cast<int>(stamp.digits),
                            static_cast<unsigned long long>(value));
    return text::format(stamp.lower ? "0x%0*llx" : "0x%0*llX",
                        static_cast<int>(stamp.digits),
                        static_cast<unsigned long long>(value));
}

bool read_mac(const std::string& text, uint64_t& mac) {
    if (text.size() != 17) return false;
    const char separator = text[2];
    if (separator != ':' && separator != '-') return false;
    mac = 0;
    for (size_t field = 0; field < 6; ++field) {
        const size_t at = field * 3;
        const int high = numbers::hex_digit(text[at]),
                  low = numbers::hex_digit(text[at + 1]);
        if (high < 0 || low < 0 || (field < 5 && text[at + 2] != separator)) return false;
        mac = mac << 8 | static_cast<uint64_t>(high << 4 | low);
    }
    return true;
}

std::string mac_text(uint64_t mac, char separator) {
    std::string out;
    for (int shift = 40; shift >= 0; shift -= 8) {
        if (!out.empty() && separator) out += separator;
        out += text::format("%02x", static_cast<unsigned>(mac >> shift & 0xFF));
    }
    return out;
}

std::vector<uint8_t> number_bytes(uint64_t value, uint64_t width, bool big_endian) {
    // A place wider than 8 bytes holds the number in its low 8, the rest 0.
    std::vector<uint8_t> out(width, 0);
    const unsigned n = width < 8 ? static_cast<unsigned>(width) : 8;
    bytes::store(out.data() + (big_endian ? width - n : 0), n,
                 big_endian ? bytes::Order::big : bytes::Order::little, value);
    return out;
}

bool fits(uint64_t value, uint64_t width) {
    return width >= 8 || value >> (8 * width) == 0;
}

std::string places_bytes(uint64_t width) {
    return width == 1 ? "the place's 1 byte"
                      : "the place's " + std::to_string(width) + " bytes";
}

Place read_place(const StampWord& word) {
    Place place;
    place.text = word.place;
    const std::string& text = word.place;
    if (numbers::hex_prefixed(text)) {
        const size_t colon = text.find(':');
        uint64_t address = 0, size = 0;
        if (colon == std::string::npos ||
            !numbers::read_hex_address(text.substr(0, colon), address) ||
            !numbers::read_plain(text.substr(colon + 1), UINT64_MAX, size) || size == 0)
            refuse(word,
                   "the place " + values::quoted(text) +
                       " is neither a symbol nor 0x<address>:<size> (size 1 or more, "
                       "decimal or 0x), e.g. 0x0800FF00:4");
        if (address + (size - 1) < address)
            refuse(word,
                   "the place " + values::quoted(text) + " runs past the address space");
        place.address = address;
        place.size = size;
        return place;
    }
    bool symbol = !text.empty() && !(text[0] >= '0' && text[0] <= '9');
    for (const char c : text) symbol = symbol && symbol_char(c);
    if (!symbol)
        refuse(word,
               text.empty()
                   ? "expected <place>=<values>: a symbol or 0x<address>:<size> before "
                     "the '=', e.g. serial_no=serial:1001..1100"
                   : "the place " + values::quoted(text) +
                         " is neither a symbol nor 0x<address>:<size>, e.g. "
                         "serial_no or 0x0800FF00:4");
    place.symbol = text;
    return place;
}

namespace {

// Only the API can pass one: the file system's calls would end a CSV's or a
// blob's name there and read another file.
void refuse_null_byte(const StampWord& word) {
    if (word.values.find('\0') != std::string::npos)
        refuse(word, "the values hold a null byte");
}

}  // namespace

Stamp read_stamp(const StampWord& word) {
    refuse_null_byte(word);
    Stamp stamp;
    stamp.typed = word;
    stamp.place = read_place(word);
    const std::string& v = word.values;
    if (starts_with(v, "serial:")) {
        stamp.source = Source::serial;
        read_serial(word, v.substr(7), stamp);
    } else if (starts_with(v, "csv:")) {
        stamp.source = Source::csv;
        read_csv_word(word, v.substr(4), stamp);
    } else if (starts_with(v, "file:")) {
        stamp.source = Source::file;
        read_file_word(word, v.substr(5), stamp);
    } else if (starts_with(v, "mac:")) {
        stamp.source = Source::mac;
        if (!read_mac(v.substr(4), stamp.mac))
            refuse(word, values::quoted(v.substr(4)) +
                             " is not a MAC address: expected 6 two-digit hex fields "
                             "between ':' or '-', e.g. mac:02:00:00:00:00:01");
    } else {
        refuse(word, (v.empty() ? std::string("no values after the place")
                                : values::quoted(v) + " is not a source of values") +
                         ": expected serial:<first>[..<last>], csv:<file>:<column>, "
                         "file:<folder>/<pattern> or mac:<first>");
    }
    return stamp;
}

Value read_one(const StampWord& word, uint64_t width, bool big_endian) {
    refuse_null_byte(word);
    const std::string& v = word.values;
    uint64_t number = 0, mac = 0;
    bool hex = false, lower = false;
    size_t digits = 0;
    if (starts_with(v, "serial:") || read_serial_number(v, number, hex, lower, digits)) {
        const std::string n = starts_with(v, "serial:") ? v.substr(7) : v;
        if (!read_serial_number(n, number, hex, lower, digits))
            refuse(word, values::quoted(n) +
                             " is not one serial number: expected decimal digits or 0x "
                             "and hex digits");
        if (!fits(number, width))
            refuse(word, n + " does not fit " + places_bytes(width));
        return {number_bytes(number, width, big_endian), n};
    }
    if (starts_with(v, "mac:") || read_mac(v, mac)) {
        const std::string m = starts_with(v, "mac:") ? v.substr(4) : v;
        if (!read_mac(m, mac))
            refuse(word, values::quoted(m) +
                             " is not a MAC address: expected 6 two-digit hex fields "
                             "between ':' or '-'");
        if (width != 6)
            refuse(word, "a MAC address takes 6 bytes, but " + places_bytes(width));
        return {number_bytes(mac, 6, true), mac_text(mac, ':')};
    }
    if (starts_with(v, "text:")) {
        const std::string t = v.substr(5);
        if (t.size() > width)
            refuse(word, "the text is " + std::to_string(t.size()) +
                             " bytes, longer than " + places_bytes(width));
        return {text_bytes(t, width), t};
    }
    if (starts_with(v, "bytes:")) {
        std::vector<uint8_t> out;
        if (!numbers::hex_bytes(v.substr(6), out) || out.size() != width)
            refuse(word, "expected bytes:<hex digits>, two a byte, exactly " +
                             places_bytes(width));
        return {std::move(out), v.substr(6)};
    }
    if (starts_with(v, "file:")) {
        const std::string path = v.substr(5);
        std::vector<uint8_t> out;
        if (const int error = read_blob(path, width, out))
            refuse(word, blob_refusal(path, width, error));
        const size_t slash = path.find_last_of(platform::path_separators);
        return {std::move(out),
                slash == std::string::npos ? path : path.substr(slash + 1)};
    }
    refuse(word,
           (v.empty() ? std::string("no value after the place")
                      : values::quoted(v) + " is not a value") +
               ": expected a number (decimal or 0x), a MAC address "
               "(02:00:00:00:00:01), text:<text>, bytes:<hex digits> or file:<path>");
}

std::vector<uint8_t> text_bytes(const std::string& text, uint64_t width) {
    // Padded with 0x00; a text as long as its place fills it and has no
    // terminator, as a char array sized to its text holds it in C.
    std::vector<uint8_t> out(width, 0);
    std::copy(text.begin(), text.end(), out.begin());
    return out;
}

int read_blob(const std::string& path, uint64_t width, std::vector<uint8_t>& out) {
    const int error = platform::read_file(path, out, width);
    if (error) return error;
    return out.size() == width ? 0 : -1;
}

std::string blob_refusal(const std::string& path, uint64_t width, int error) {
    if (error == -1)
        return values::quoted(path) + " is not exactly " + places_bytes(width) + " long";
    if (error == EFBIG)
        return values::quoted(path) + " is longer than " + places_bytes(width);
    return "cannot read " + values::quoted(path) + ": " + platform::error_text(error);
}

}  // namespace velk::stamps
