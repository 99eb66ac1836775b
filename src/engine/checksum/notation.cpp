#include "notation.h"

#include <cstdio>
#include <vector>

#include "../numbers/numbers.h"

namespace velk::checksum {

namespace {

// The fields a CRC needs, in the catalogue's order.
const char* const crc_fields[] = {"width", "poly", "init", "refin", "refout", "xorout"};

bool read_field_number(const std::string& text, uint64_t& value) {
    return numbers::read_plain(text, UINT64_MAX, value);
}

std::string field_hex(uint64_t value, unsigned width) {
    char out[24];
    std::snprintf(out, sizeof out, "0x%0*llx", static_cast<int>((width + 3) / 4),
                  static_cast<unsigned long long>(value));
    return out;
}

}  // namespace

bool is_notation(const std::string& text) {
    return text.find('=') != std::string::npos;
}

std::variant<Notation, std::string> read_notation(const std::string& text) {
    struct Field {
        std::string key, value;
    };
    std::vector<Field> fields;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of(", \t", at);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(at, end - at);
        at = end + 1;
        if (item.empty()) continue;
        size_t sign = item.find('=');
        if (sign == std::string::npos)
            return "\"" + item + "\" is no field: write each as <field>=<value>";
        fields.push_back({item.substr(0, sign), item.substr(sign + 1)});
    }
    Notation n{};
    bool seen[6] = {};
    for (const Field& f : fields) {
        if (f.key == "residue" || f.key == "name") continue;
        uint64_t value = 0;
        int index = -1;
        for (int i = 0; i < 6; ++i)
            if (f.key == crc_fields[i]) index = i;
        if (index < 0 && f.key != "check")
            return "\"" + f.key + "\" is no field: the fields are width, poly, init, refin, "
                   "refout, xorout and check";
        if (index >= 0 && seen[index]) return "the " + f.key + " field is given twice";
        if (index >= 0) seen[index] = true;
        if (f.key == "refin" || f.key == "refout") {
            if (f.value != "true" && f.value != "false")
                return f.key + "=" + f.value + ": " + f.key + " is true or false";
            (f.key == "refin" ? n.parameters.refin : n.parameters.refout) = f.value == "true";
            continue;
        }
        if (!read_field_number(f.value, value))
            return f.key + "=" + f.value + ": not a number (0x hex or decimal)";
        if (f.key == "width") {
            if (value < 1 || value > 64)
                return "width=" + f.value + ": the width is 1 to 64 bits";
            n.parameters.width = static_cast<unsigned>(value);
        } else if (f.key == "poly") {
            n.parameters.poly = value;
        } else if (f.key == "init") {
            n.parameters.init = value;
        } else if (f.key == "xorout") {
            n.parameters.xorout = value;
        } else {
            n.check = value;
        }
    }
    for (int i = 0; i < 6; ++i)
        if (!seen[i])
            return std::string("the ") + crc_fields[i] +
                   " field is missing: a CRC needs width, poly, init, refin, refout and "
                   "xorout";
    const unsigned w = n.parameters.width;
    const uint64_t mask = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
    for (const Field& f : fields) {
        uint64_t value = 0;
        if (f.key == "poly" || f.key == "init" || f.key == "xorout" || f.key == "check")
            if (read_field_number(f.value, value) && (value & ~mask))
                return f.key + "=" + f.value + " does not fit " + std::to_string(w) +
                       " bits" +
                       (f.key == "poly" ? " (the catalogue writes poly without its top bit)"
                                        : "");
    }
    if (!(n.parameters.poly & 1))
        return "poly=" + field_hex(n.parameters.poly, w) +
               ": a CRC's polynomial has its lowest bit set";
    return n;
}

std::string notation_of(const CrcParameters& p) {
    return "width=" + std::to_string(p.width) + " poly=" + field_hex(p.poly, p.width) +
           " init=" + field_hex(p.init, p.width) + " refin=" + (p.refin ? "true" : "false") +
           " refout=" + (p.refout ? "true" : "false") + " xorout=" + field_hex(p.xorout, p.width);
}

}  // namespace velk::checksum
