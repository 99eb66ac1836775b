#include "symbol_scan.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "../base/byte_order.h"

namespace velk::elfsyms {

namespace {

uint64_t read_uint(const uint8_t* at, int width, bool little_endian) {
    return bytes::load(at, static_cast<unsigned>(width),
                       little_endian ? bytes::Order::little : bytes::Order::big);
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

// Where each string of a string table ends and where its bytes above 0x7F
// are: found once for the whole table, since a table whose entries all
// point into one long string would otherwise be read once an entry.
class StringIndex {
public:
    explicit StringIndex(Bytes strings) {
        for (size_t i = 0; i < strings.size; ++i) {
            if (strings.data[i] == 0) ends_.push_back(static_cast<uint32_t>(i));
            if (strings.data[i] >= 0x80) wide_.push_back(static_cast<uint32_t>(i));
        }
    }

    // The length of the plain-ASCII name at `at`; false when it has no end
    // in the table or is not plain ASCII.
    bool name_at(uint32_t at, size_t& length) const {
        auto end = std::lower_bound(ends_.begin(), ends_.end(), at);
        if (end == ends_.end()) return false;
        auto wide = std::lower_bound(wide_.begin(), wide_.end(), at);
        if (wide != wide_.end() && *wide < *end) return false;
        length = *end - at;
        return true;
    }

private:
    std::vector<uint32_t> ends_, wide_;
};

// Every entry of a regular table with its name, handed to `visit`; stops
// with `irregular` at the first entry the simple reading cannot answer.
template <class Visit>
Scan walk(Bytes table, uint64_t declared_size, uint64_t entry_size, Bytes strings,
          uint64_t strings_declared_size, TableFormat format, Visit&& visit) {
    if (entry_size != standard_entry_size(format.elf64)) return Scan::irregular;
    if (table.size != declared_size || declared_size % entry_size != 0)
        return Scan::irregular;
    if (strings.size != strings_declared_size || strings.size > UINT32_MAX)
        return Scan::irregular;
    StringIndex index(strings);
    for (size_t at = 0; at < table.size; at += entry_size) {
        Entry entry = read_entry(table.data + at, format);
        size_t length;
        if (entry.name >= strings.size || !index.name_at(entry.name, length))
            return Scan::irregular;
        visit(std::string_view(reinterpret_cast<const char*>(strings.data + entry.name),
                               length),
              entry);
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
                         if (symbol == name)
                             found.add(entry.value, entry.size, entry.info);
                     });
    if (scan == Scan::done) matches = found;
    return scan;
}

Scan list_symbol_names(Bytes table, uint64_t declared_size, uint64_t entry_size,
                       Bytes strings, uint64_t strings_declared_size, TableFormat format,
                       size_t longest, std::vector<std::string>& names) {
    std::vector<std::string_view> found;
    std::unordered_set<std::string_view> seen;
    Scan scan = walk(
        table, declared_size, entry_size, strings, strings_declared_size, format,
        [&](std::string_view symbol, const Entry&) {
            if (!symbol.empty() && symbol.size() <= longest && seen.insert(symbol).second)
                found.push_back(symbol);
        });
    if (scan == Scan::done) names.insert(names.end(), found.begin(), found.end());
    return scan;
}

bool Matches::is_function() const {
    return (info & 0xF) == symbol_type_function;
}

}  // namespace velk::elfsyms
