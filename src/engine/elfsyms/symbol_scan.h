// Finding a symbol by name in the raw bytes of an ELF symbol table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velk::elfsyms {

struct Bytes {
    const uint8_t* data;
    size_t size;
};

struct TableFormat {
    bool elf64;
    bool little_endian;
};

// The symbols seen so far that carry the name, over every table scanned.
struct Matches {
    size_t count = 0;
    bool values_differ = false;
    // The last one: the one the checksum goes to.
    uint64_t value = 0;
    uint64_t size = 0;
    uint8_t info = 0;  // st_info: binding << 4 | type

    // One more symbol carrying the name, in file order: the last one wins.
    void add(uint64_t symbol_value, uint64_t symbol_size, uint8_t symbol_info) {
        if (count > 0 && symbol_value != value) values_differ = true;
        count += 1;
        value = symbol_value;
        size = symbol_size;
        info = symbol_info;
    }

    bool is_function() const;
};

enum class Scan {
    done,
    // Something the simple reading cannot answer the way the ELF reader
    // would (an odd entry size, a name outside its string table or not
    // plain ASCII, a table cut short): nothing was added to the matches.
    irregular,
};

// Scans one symbol table: `table` holds its `declared_size` bytes as read
// from the file (fewer when the file ends early), `strings` the linked
// string table likewise. `name` is plain ASCII and not empty.
Scan scan_symbol_table(Bytes table, uint64_t declared_size, uint64_t entry_size,
                       Bytes strings, uint64_t strings_declared_size, TableFormat format,
                       std::string_view name, Matches& matches);

// The names of one symbol table no longer than `longest`, each once, in
// table order, appended to `names` (none when the table is irregular).
Scan list_symbol_names(Bytes table, uint64_t declared_size, uint64_t entry_size,
                       Bytes strings, uint64_t strings_declared_size, TableFormat format,
                       size_t longest, std::vector<std::string>& names);

// The standard entry size of a symbol table of that class.
constexpr uint64_t standard_entry_size(bool elf64) {
    return elf64 ? 24 : 16;
}

constexpr uint8_t symbol_type_function = 2;  // STT_FUNC

}  // namespace velk::elfsyms
