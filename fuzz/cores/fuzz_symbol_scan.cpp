// Symbol lookup by name in raw symbol-table bytes: scan_symbol_table and
// list_symbol_names on fuzzed table and string-table bytes, one or two
// tables in a row, against a plain model of the lookup the ELF reader's
// loop does (every symbol in table order, the last one carrying the name
// wins) and of the names it would list.
//
// Input: flags, the entry whose name to look for, then per table a 16-bit
// little-endian length and that many table bytes, a 16-bit length and the
// string-table bytes (the second table's strings take what is left).
//   flags bit 0  ELF64          bit 4  string table cut short
//         bit 1  little-endian  bit 5  a second table
//         bit 2  odd entry size bit 6  matches found before this scan
//         bit 3  table cut short
// With bit 2 the entry size byte follows the name pick; with bit 6 the
// earlier matches: count (1 + n % 3), values differ (bit 0), value (8
// bytes), size (2), info (1). Cut-short tables take one more byte each for
// how much is missing.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "../../src/engine/elfsyms/symbol_scan.h"
#include "common.h"

using namespace fuzzcores;
using velk::elfsyms::Bytes;
using velk::elfsyms::Matches;
using velk::elfsyms::Scan;
using velk::elfsyms::TableFormat;

namespace {

// Elf32_Sym: name 0, value 4, size 8, info 12 (16 bytes).
// Elf64_Sym: name 0, info 4, other 5, shndx 6, value 8, size 16 (24 bytes).
struct Layout {
    size_t entry, value, size, info;
    int word;  // st_value and st_size bytes
};
Layout layout_of(bool elf64) {
    return elf64 ? Layout{24, 8, 16, 4, 8} : Layout{16, 4, 8, 12, 4};
}

uint64_t field(const uint8_t* at, int bytes, bool little) {
    uint8_t host[8] = {};
    for (int i = 0; i < bytes; ++i) host[i] = little ? at[i] : at[bytes - 1 - i];
    uint64_t v;
    std::memcpy(&v, host, 8);  // the fuzzers run on little-endian hosts
    return v;
}

struct Table {
    std::vector<uint8_t> table;
    uint64_t declared;
    std::vector<uint8_t> strings;
    uint64_t strings_declared;
};

// A name of a symbol: the bytes from st_name to the first NUL of the
// string table; false where there is none or it is not plain ASCII.
bool name_at(const Table& t, uint64_t st_name, std::string& out) {
    if (st_name >= t.strings.size()) return false;
    out.clear();
    for (uint64_t i = st_name; i < t.strings.size(); ++i) {
        if (t.strings[i] == 0) return true;
        if (t.strings[i] & 0x80) return false;
        out += static_cast<char>(t.strings[i]);
    }
    return false;  // runs off the table's end
}

struct ModelScan {
    bool regular;
    std::vector<uint64_t> values, sizes;
    std::vector<uint8_t> infos;
    std::vector<std::string> names;  // every non-empty name, in table order
};

// What the ELF reader's loop would find, or that the simple reading must
// step aside (regular = false): an entry size other than the class's, a
// table or string table shorter than declared or not a whole number of
// entries, a name that is not a NUL-terminated plain-ASCII string inside
// its string table.
ModelScan model_scan(const Table& t, uint64_t entry_size, bool elf64, bool little,
                     const std::string& name) {
    ModelScan s{false, {}, {}, {}, {}};
    const Layout l = layout_of(elf64);
    if (entry_size != l.entry || t.table.size() != t.declared ||
        t.strings.size() != t.strings_declared || t.declared % l.entry)
        return s;
    std::string have;
    for (size_t n = 0; n < t.table.size() / l.entry; ++n) {
        const uint8_t* sym = t.table.data() + n * l.entry;
        if (!name_at(t, field(sym, 4, little), have)) {
            s.names.clear();
            return s;
        }
        if (!have.empty()) s.names.push_back(have);
        if (have != name) continue;
        s.values.push_back(field(sym + l.value, l.word, little));
        s.sizes.push_back(field(sym + l.size, l.word, little));
        s.infos.push_back(sym[l.info]);
    }
    s.regular = true;
    return s;
}

bool same(const Matches& a, const Matches& b) {
    return a.count == b.count && a.values_differ == b.values_differ && a.value == b.value &&
           a.size == b.size && a.info == b.info;
}

// The matches after `before` and a scan that found `s`.
Matches add(Matches before, const ModelScan& s) {
    std::set<uint64_t> distinct;
    if (before.count) distinct.insert(before.value);
    for (uint64_t v : s.values) distinct.insert(v);
    if (s.values.empty()) return before;
    Matches m;
    m.count = before.count + s.values.size();
    m.values_differ = before.values_differ || distinct.size() > 1;
    m.value = s.values.back();
    m.size = s.sizes.back();
    m.info = s.infos.back();
    return m;
}

Table read_table(Reader& in, uint8_t flags, bool last) {
    Table t;
    size_t got;
    const uint8_t* p = in.take(in.u16(), got);
    t.table.assign(p, p + got);
    t.declared = got + ((flags & 8) ? 1 + in.u8() : 0);
    size_t want = last ? in.left() : in.u16();
    p = in.take(want, got);
    t.strings.assign(p, p + got);
    t.strings_declared = got + ((flags & 16) ? 1 + in.u8() : 0);
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const uint8_t flags = in.u8();
    const uint8_t pick = in.u8();
    const bool elf64 = flags & 1, little = flags & 2;
    const TableFormat format{elf64, little};
    uint64_t entry_size = velk::elfsyms::standard_entry_size(elf64);
    if (flags & 4) entry_size = in.u8();
    Matches start;
    if (flags & 64) {
        start.count = 1 + in.u8() % 3;
        const bool differ = in.u8() & 1;
        start.values_differ = start.count > 1 && differ;
        start.value = in.little(8);
        start.size = in.u16();
        start.info = in.u8();
    }
    std::vector<Table> tables;
    tables.push_back(read_table(in, flags, !(flags & 32)));
    if (flags & 32) tables.push_back(read_table(in, flags, true));

    // Look for the name of the entry `pick` of the first table, when it has
    // a plain one; otherwise for the name the checksum usually goes to.
    std::string name = "crc_value";
    const Layout l = layout_of(elf64);
    const Table& first = tables[0];
    if (first.table.size() >= l.entry) {
        size_t n = pick % (first.table.size() / l.entry);
        std::string have;
        if (name_at(first, field(first.table.data() + n * l.entry, 4, little), have) &&
            !have.empty())
            name = have;
    }

    Matches matches = start, model = start;
    std::vector<std::string> names = {"earlier"}, model_names = names;
    for (const Table& t : tables) {
        // The names a suggestion is chosen from: all of a regular table's,
        // appended; nothing from an irregular one.
        // Only names short enough to be a typo of the wanted one, each once.
        const size_t longest = name.size() + 2;
        Scan listed = velk::elfsyms::list_symbol_names(
            Bytes{t.table.data(), t.table.size()}, t.declared, entry_size,
            Bytes{t.strings.data(), t.strings.size()}, t.strings_declared, format, longest,
            names);
        const Matches before = matches;
        Scan r = velk::elfsyms::scan_symbol_table(
            Bytes{t.table.data(), t.table.size()}, t.declared, entry_size,
            Bytes{t.strings.data(), t.strings.size()}, t.strings_declared, format, name,
            matches);
        ModelScan s = model_scan(t, entry_size, elf64, little, name);
        FUZZ_CHECK((listed == Scan::done) == s.regular, "names listed %s, the model %s",
                   listed == Scan::done ? "done" : "irregular",
                   s.regular ? "regular" : "irregular");
        if (s.regular) {
            std::vector<std::string> table_names;
            for (const std::string& n : s.names)
                if (n.size() <= longest &&
                    std::find(table_names.begin(), table_names.end(), n) == table_names.end())
                    table_names.push_back(n);
            model_names.insert(model_names.end(), table_names.begin(), table_names.end());
        }
        FUZZ_CHECK(names == model_names, "%zu names listed, the model %zu", names.size(),
                   model_names.size());
        if (r == Scan::irregular)
            FUZZ_CHECK(same(matches, before), "an irregular scan changed the matches");
        FUZZ_CHECK((r == Scan::done) == s.regular, "scan %s, the model %s",
                   r == Scan::done ? "done" : "irregular",
                   s.regular ? "regular" : "irregular");
        if (!s.regular) continue;
        model = add(model, s);
        FUZZ_CHECK(same(matches, model),
                   "'%s': count %zu differ %d value 0x%llx size 0x%llx info %02X; the "
                   "model %zu %d 0x%llx 0x%llx %02X",
                   name.c_str(), matches.count, matches.values_differ,
                   (unsigned long long)matches.value, (unsigned long long)matches.size,
                   matches.info, model.count, model.values_differ,
                   (unsigned long long)model.value, (unsigned long long)model.size,
                   model.info);
    }
    return 0;
}
