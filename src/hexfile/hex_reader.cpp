#include "hex_reader.h"

#include <algorithm>

namespace velk::hexfile {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One record's bytes from ":LLAAAATT...CC", or false.
bool decode(const char* line, size_t length, std::vector<uint8_t>& raw) {
    if (length < 11 || line[0] != ':' || (length - 1) % 2 != 0) return false;
    raw.resize((length - 1) / 2);
    for (size_t i = 0; i < raw.size(); ++i) {
        int high = hex_value(line[1 + 2 * i]), low = hex_value(line[2 + 2 * i]);
        if (high < 0 || low < 0) return false;
        raw[i] = static_cast<uint8_t>(high << 4 | low);
    }
    uint8_t sum = 0;
    for (uint8_t b : raw) sum = static_cast<uint8_t>(sum + b);
    return raw.size() == 5u + raw[0] && sum == 0;
}

// Sorts the runs and joins those that touch; false where two overlap.
bool settle(std::vector<Run>& runs) {
    std::stable_sort(runs.begin(), runs.end(),
                     [](const Run& a, const Run& b) { return a.address < b.address; });
    std::vector<Run> joined;
    for (Run& run : runs) {
        if (!joined.empty() && run.address < joined.back().end()) return false;
        if (!joined.empty() && run.address == joined.back().end())
            joined.back().bytes.insert(joined.back().bytes.end(), run.bytes.begin(),
                                       run.bytes.end());
        else
            joined.push_back(std::move(run));
    }
    runs = std::move(joined);
    return true;
}

}  // namespace

HexContents read_intel_hex(const char* text, size_t size) {
    HexContents out;
    std::vector<Run> runs;
    std::vector<uint8_t> raw;
    uint64_t base = 0;
    bool start_seen = false;
    size_t at = 0, number = 0;
    auto irregular = [&](size_t line) {
        out.line = line;
        return out;
    };
    while (at < size) {
        size_t end = at;
        while (end < size && text[end] != '\n') ++end;
        size_t length = end - at;
        if (length > 0 && text[at + length - 1] == '\r') --length;
        const char* line = text + at;
        at = end + 1;
        ++number;
        if (length == 0) continue;
        if (!decode(line, length, raw)) return irregular(number);
        uint16_t address = static_cast<uint16_t>(raw[1] << 8 | raw[2]);
        uint8_t count = raw[0];
        switch (raw[3]) {
            case 0x00: {
                if (count == 0) break;
                uint64_t where = base + address;
                if (!runs.empty() && runs.back().end() == where)
                    runs.back().bytes.insert(runs.back().bytes.end(), raw.begin() + 4,
                                             raw.begin() + 4 + count);
                else
                    runs.push_back({where, {raw.begin() + 4, raw.begin() + 4 + count}});
                break;
            }
            case 0x01:
                if (count != 0) return irregular(number);
                out.end_of_file = true;
                at = size;  // nothing after it is read
                break;
            case 0x04:
                if (count != 2 || address != 0) return irregular(number);
                base = static_cast<uint64_t>(raw[4] << 8 | raw[5]) << 16;
                break;
            case 0x05:
                if (count != 4 || address != 0 || start_seen) return irregular(number);
                start_seen = true;
                break;
            default:  // 8086 segment records and unknown types
                return irregular(number);
        }
    }
    if (!settle(runs)) return irregular(number);
    out.regular = true;
    out.runs = std::move(runs);
    return out;
}

bool contains_end_of_file(const char* text, size_t size) {
    std::vector<uint8_t> raw;
    size_t at = 0;
    while (at < size) {
        size_t end = at;
        while (end < size && text[end] != '\n') ++end;
        size_t length = end - at;
        if (length > 0 && text[at + length - 1] == '\r') --length;
        if (decode(text + at, length, raw) && raw[3] == 0x01 && raw[0] == 0) return true;
        at = end + 1;
    }
    return false;
}

}  // namespace velk::hexfile
