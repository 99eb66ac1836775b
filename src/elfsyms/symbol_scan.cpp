#include "symbol_scan.h"

#include <cstring>

namespace velk::elfsyms {

namespace {

uint64_t read_uint(const uint8_t* at, int width, bool little_endian) {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
        int shift = little_endian ? 8 * i : 8 * (width - 1 - i);
        value |= static_cast<uint64_t>(at[i]) << shift;
    }
    return value;
}

struct Entry {
    uint32_t name;
    uint64_t value;
    uint64_t size;
    uint8_t info;
};

Entry read_entry(const uint8_t* at, TableFormat format) {
    bool le = format.little_endian;
    if (format.elf64)
        return {static_cast<uint32_t>(read_uint(at, 4, le)), read_uint(at + 8, 8, le),
                read_uint(at + 16, 8, le), at[4]};
    return {static_cast<uint32_t>(read_uint(at, 4, le)), read_uint(at + 4, 4, le),
            read_uint(at + 8, 4, le), at[12]};
}

bool plain_ascii(const uint8_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (text[i] >= 0x80) return false;
    return true;
}

// Every entry of a regular table with its name, handed to `visit`; stops
// with `irregular` at the first entry the simple reading cannot answer.
template <class Visit>
Scan walk(Bytes table, uint64_t declared_size, uint64_t entry_size, Bytes strings,
          uint64_t strings_declared_size, TableFormat format, Visit&& visit) {
    if (entry_size != standard_entry_size(format.elf64)) return Scan::irregular;
    if (table.size != declared_size || declared_size % entry_size != 0)
        return Scan::irregular;
    if (strings.size != strings_declared_size) return Scan::irregular;
    for (size_t at = 0; at < table.size; at += entry_size) {
        Entry entry = read_entry(table.data + at, format);
        if (entry.name >= strings.size) return Scan::irregular;
        const uint8_t* text = strings.data + entry.name;
        size_t room = strings.size - entry.name;
        const void* nul = std::memchr(text, 0, room);
        if (!nul) return Scan::irregular;
        size_t length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - text);
        if (!plain_ascii(text, length)) return Scan::irregular;
        visit(std::string_view(reinterpret_cast<const char*>(text), length), entry);
    }
    return Scan::done;
}

}  // namespace

Scan scan_symbol_table(Bytes table, uint64_t declared_size, uint64_t entry_size,
                       Bytes strings, uint64_t strings_declared_size, TableFormat format,
                       std::string_view name, Matches& matches) {
    // A table found irregular half-way must leave the matches as they were.
    Matches found = matches;
    Scan scan = walk(table, declared_size, entry_size, strings, strings_declared_size,
                     format, [&](std::string_view symbol, const Entry& entry) {
                         if (symbol != name) return;
                         if (found.count > 0 && entry.value != found.value)
                             found.values_differ = true;
                         found.count += 1;
                         found.value = entry.value;
                         found.size = entry.size;
                         found.info = entry.info;
                     });
    if (scan == Scan::done) matches = found;
    return scan;
}

Scan list_symbol_names(Bytes table, uint64_t declared_size, uint64_t entry_size,
                       Bytes strings, uint64_t strings_declared_size, TableFormat format,
                       std::vector<std::string>& names) {
    std::vector<std::string> found;
    Scan scan = walk(table, declared_size, entry_size, strings, strings_declared_size,
                     format, [&](std::string_view symbol, const Entry&) {
                         if (!symbol.empty()) found.emplace_back(symbol);
                     });
    if (scan == Scan::done) names.insert(names.end(), found.begin(), found.end());
    return scan;
}

}  // namespace velk::elfsyms
