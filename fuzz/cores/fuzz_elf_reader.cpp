// The ELF reader on any bytes: read_file and visit_symbols against a plain
// model of the file written from the record layouts, with 128-bit sums so
// that no bound check of the model can wrap.
//   - read_file refuses exactly the files the model cannot read, for the
//     model's first reason: a bad identification, a file shorter than its
//     ELF header, PN_XNUM without a section header 0, entries smaller than
//     the class's, a table past the file's end;
//   - what it returns is the header's fields as decoded here, the real
//     counts taken from section header 0 where the header says so, and
//     every program and section header as decoded here;
//   - visit_symbols refuses, for the model's first reason, exactly when a
//     symbol table or its string table breaks a rule (entry size, whole entries, inside
//     the file, a linked SHT_STRTAB, every name with its NUL inside its string table),
//     then visits nothing; otherwise every symbol in order, its name inside
//     its string table with the NUL there.
// Input: the file's bytes as they are.
#include <vector>

#include "../../src/engine/elf/elf_reader.h"
#include "common.h"

using namespace velk::elf;

namespace {

using u128 = unsigned __int128;

uint64_t rd(const uint8_t* at, int width, bool little) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i)
        v = little ? v | uint64_t{at[i]} << (8 * i) : v << 8 | at[i];
    return v;
}

// Byte offsets of the fields, ELF32 then ELF64.
struct Model {
    const uint8_t* data;
    size_t size;
    bool e64, little;

    int word() const { return e64 ? 8 : 4; }
    uint64_t u(uint64_t at, int width) const { return rd(data + at, width, little); }
    size_t ehsize() const { return e64 ? 64 : 52; }
    size_t phsize() const { return e64 ? 56 : 32; }
    size_t shsize() const { return e64 ? 64 : 40; }
    size_t symsize() const { return e64 ? 24 : 16; }
    bool in_file(u128 offset, u128 length) const { return offset + length <= size; }

    uint64_t entry() const { return u(24, word()); }
    uint64_t phoff() const { return u(e64 ? 32 : 28, word()); }
    uint64_t shoff() const { return u(e64 ? 40 : 32, word()); }
    uint64_t phentsize() const { return u(e64 ? 54 : 42, 2); }
    uint64_t phnum() const { return u(e64 ? 56 : 44, 2); }
    uint64_t shentsize() const { return u(e64 ? 58 : 46, 2); }
    uint64_t shnum() const { return u(e64 ? 60 : 48, 2); }
    uint64_t shstrndx() const { return u(e64 ? 62 : 50, 2); }

    SectionHeader section(uint64_t at) const {
        if (e64)
            return {uint32_t(u(at, 4)),
                    uint32_t(u(at + 4, 4)),
                    u(at + 8, 8),
                    u(at + 16, 8),
                    u(at + 24, 8),
                    u(at + 32, 8),
                    uint32_t(u(at + 40, 4)),
                    uint32_t(u(at + 44, 4)),
                    u(at + 48, 8),
                    u(at + 56, 8)};
        return {uint32_t(u(at, 4)),
                uint32_t(u(at + 4, 4)),
                u(at + 8, 4),
                u(at + 12, 4),
                u(at + 16, 4),
                u(at + 20, 4),
                uint32_t(u(at + 24, 4)),
                uint32_t(u(at + 28, 4)),
                u(at + 32, 4),
                u(at + 36, 4)};
    }
    ProgramHeader segment(uint64_t at) const {
        if (e64)
            return {uint32_t(u(at, 4)), uint32_t(u(at + 4, 4)), u(at + 8, 8),
                    u(at + 16, 8),      u(at + 24, 8),          u(at + 32, 8),
                    u(at + 40, 8),      u(at + 48, 8)};
        return {
            uint32_t(u(at, 4)), uint32_t(u(at + 24, 4)), u(at + 4, 4),  u(at + 8, 4),
            u(at + 12, 4),      u(at + 16, 4),           u(at + 20, 4), u(at + 28, 4)};
    }
};

bool same(const SectionHeader& a, const SectionHeader& b) {
    return a.name == b.name && a.type == b.type && a.flags == b.flags &&
           a.addr == b.addr && a.offset == b.offset && a.size == b.size &&
           a.link == b.link && a.info == b.info && a.addralign == b.addralign &&
           a.entsize == b.entsize;
}

bool same(const ProgramHeader& a, const ProgramHeader& b) {
    return a.type == b.type && a.flags == b.flags && a.offset == b.offset &&
           a.vaddr == b.vaddr && a.paddr == b.paddr && a.filesz == b.filesz &&
           a.memsz == b.memsz && a.align == b.align;
}

// What the model reads of the headers; `why` is empty when it reads them,
// else the words the reader's reason must hold: its first broken rule, in
// the order the reader checks them ("^": at its start).
struct Expected {
    const char* why = "";
    uint64_t phnum = 0, shnum = 0, shstrndx = 0;
};

Expected expect_file(const Model& m) {
    Expected e;
    const uint8_t magic[4] = {0x7F, 'E', 'L', 'F'};
    for (size_t i = 0; i < 4 && i < m.size; ++i)
        if (m.data[i] != magic[i]) return e.why = "ELF magic", e;
    if (m.size < 6) return e.why = "shorter than an ELF header", e;
    if (m.data[4] != 1 && m.data[4] != 2) return e.why = "class byte", e;
    if (m.data[5] != 1 && m.data[5] != 2) return e.why = "byte-order byte", e;
    if (m.size < m.ehsize()) return e.why = "shorter than the", e;
    e.phnum = m.phnum();
    e.shnum = m.shoff() ? m.shnum() : 0;
    e.shstrndx = m.shstrndx();
    const bool xnum = e.phnum == 0xFFFF;
    if (!m.shoff()) {
        if (xnum) return e.why = "PN_XNUM", e;
        if (e.shstrndx == 0xFFFF) e.shstrndx = 0;
    } else if (xnum || m.shnum() == 0 || m.shstrndx() == 0xFFFF) {
        if (m.shentsize() < m.shsize())
            return e.why = "section header table has entries", e;
        if (!m.in_file(m.shoff(), m.shsize()))
            return e.why = xnum ? "PN_XNUM" : "section header 0", e;
        const SectionHeader zero = m.section(m.shoff());
        if (m.shnum() == 0) e.shnum = zero.size;
        if (m.shstrndx() == 0xFFFF) e.shstrndx = zero.link;
        if (xnum) e.phnum = zero.info;
    }
    if (e.phnum && m.phentsize() < m.phsize())
        return e.why = "program header table has entries", e;
    if (e.phnum && !m.in_file(m.phoff(), u128{e.phnum} * m.phentsize()))
        return e.why = "program header table (", e;
    if (e.shnum && m.shentsize() < m.shsize())
        return e.why = "section header table has entries", e;
    if (e.shnum && !m.in_file(m.shoff(), u128{e.shnum} * m.shentsize()))
        return e.why = "section header table (", e;
    return e;
}

// Whether the model reads every symbol table with its names; if not, the
// words of the reader's reason, as above.
const char* expect_symbols(const Model& m, const std::vector<SectionHeader>& sections) {
    for (const SectionHeader& t : sections) {
        if (!is_symbol_table(t.type)) continue;
        if (t.entsize != m.symsize()) return "has entries of";
        if (t.size % m.symsize()) return "not a whole number of";
        if (t.size && !m.in_file(t.offset, t.size)) return "^the symbol table";
        if (t.link >= sections.size()) return "which does not exist";
        const SectionHeader& s = sections[t.link];
        if (s.type == sht_nobits) return "which has no contents in the file";
        if (s.type != sht_strtab) return "which is no string table";
        if (s.size && !m.in_file(s.offset, s.size)) return "^the string table";
        for (uint64_t at = t.offset; at < t.offset + t.size; at += m.symsize()) {
            const uint64_t name = m.u(at, 4);
            if (name >= s.size) return "past its string table";
            if (!std::memchr(m.data + s.offset + name, 0, s.size - name)) return "no NUL";
        }
    }
    return "";
}

// Whether a reason holds the model's words.
bool says(const std::string& why, const char* words) {
    if (*words == '^') return why.rfind(words + 1, 0) == 0;
    return why.find(words) != std::string::npos;
}

struct Checker final : SymbolVisitor {
    const Model& m;
    const std::vector<SectionHeader>& sections;
    std::vector<size_t> tables;
    size_t symbols_in_table = 0, symbols = 0;

    Checker(const Model& model, const std::vector<SectionHeader>& s)
        : m(model), sections(s) {}

    void table(size_t section) override {
        FUZZ_CHECK(section < sections.size(), "table %zu of %zu sections", section,
                   sections.size());
        FUZZ_CHECK(tables.empty() || section > tables.back(), "table %zu after %zu",
                   section, tables.back());
        const SectionHeader& t = sections[section];
        FUZZ_CHECK(is_symbol_table(t.type), "section %zu of type %u",
                   section, t.type);
        if (!tables.empty()) end_table();
        tables.push_back(section);
        symbols_in_table = 0;
    }

    void end_table() {
        const SectionHeader& t = sections[tables.back()];
        FUZZ_CHECK(symbols_in_table == t.size / m.symsize(), "%zu symbols in table %zu",
                   symbols_in_table, tables.back());
    }

    void symbol(const Symbol& s) override {
        FUZZ_CHECK(!tables.empty(), "a symbol before any table");
        const SectionHeader& t = sections[tables.back()];
        const SectionHeader& strings = sections[t.link];
        const uint64_t at = t.offset + symbols_in_table * m.symsize();
        FUZZ_CHECK(symbols_in_table < t.size / m.symsize(),
                   "too many symbols in table %zu", tables.back());
        const uint64_t name = m.u(at, 4);
        FUZZ_CHECK(name < strings.size && m.in_file(strings.offset, strings.size),
                   "symbol %zu's name is outside its string table", symbols_in_table);
        const uint8_t* start = m.data + strings.offset;
        FUZZ_CHECK(reinterpret_cast<const uint8_t*>(s.name) == start + name,
                   "symbol %zu's name is not at st_name 0x%llx", symbols_in_table,
                   (unsigned long long)name);
        FUZZ_CHECK(std::memchr(start + name, 0, strings.size - name),
                   "symbol %zu's name has no NUL in its string table", symbols_in_table);
        const bool e64 = m.e64;
        FUZZ_CHECK(s.value == m.u(at + (e64 ? 8 : 4), m.word()) &&
                       s.size == m.u(at + (e64 ? 16 : 8), m.word()) &&
                       s.info == m.data[at + (e64 ? 4 : 12)] &&
                       s.other == m.data[at + (e64 ? 5 : 13)] &&
                       s.shndx == m.u(at + (e64 ? 6 : 14), 2),
                   "symbol %zu of table %zu differs from its entry", symbols_in_table,
                   tables.back());
        ++symbols_in_table;
        ++symbols;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so that ASan sees any read past it.
    std::vector<uint8_t> copy(data, data + size);
    const Bytes bytes{copy.data(), copy.size()};
    Model m{copy.data(), copy.size(), size > 4 && data[4] == 2, size > 5 && data[5] == 1};
    const Expected e = expect_file(m);

    auto read = read_file(bytes);
    if (auto* fault = std::get_if<Fault>(&read)) {
        const std::string& why = fault->why;
        FUZZ_CHECK(*e.why, "refused a file the model reads: %s", why.c_str());
        FUZZ_CHECK(says(why, e.why), "refused with '%s', the model: %s", why.c_str(),
                   e.why);
        FUZZ_CHECK(!why.empty() && why[0] >= 'a' && why[0] <= 'z' && why.back() != '.',
                   "fault text '%s'", why.c_str());
        return 0;
    }
    FUZZ_CHECK(!*e.why, "read a file the model refuses (%s)", e.why);
    const File& file = std::get<File>(read);
    const Header& h = file.header;
    FUZZ_CHECK(h.elf64 == m.e64 && h.little_endian == m.little, "class or byte order");
    FUZZ_CHECK(h.entry == m.entry() && h.phoff == m.phoff() && h.shoff == m.shoff() &&
                   h.phentsize == m.phentsize() && h.shentsize == m.shentsize() &&
                   h.type == m.u(16, 2) && h.machine == m.u(18, 2),
               "header fields differ from the bytes");
    FUZZ_CHECK(h.phnum == e.phnum && h.shnum == e.shnum && h.shstrndx == e.shstrndx,
               "counts %llu %llu %llu, the model %llu %llu %llu",
               (unsigned long long)h.phnum, (unsigned long long)h.shnum,
               (unsigned long long)h.shstrndx, (unsigned long long)e.phnum,
               (unsigned long long)e.shnum, (unsigned long long)e.shstrndx);
    FUZZ_CHECK(file.segments.size() == h.phnum && file.sections.size() == h.shnum,
               "%zu segments, %zu sections", file.segments.size(), file.sections.size());
    for (size_t i = 0; i < file.segments.size(); ++i)
        FUZZ_CHECK(same(file.segments[i], m.segment(h.phoff + i * h.phentsize)),
                   "program header %zu differs from its bytes", i);
    for (size_t i = 0; i < file.sections.size(); ++i)
        FUZZ_CHECK(same(file.sections[i], m.section(h.shoff + i * h.shentsize)),
                   "section header %zu differs from its bytes", i);

    const char* symbols_why = expect_symbols(m, file.sections);
    Checker checker(m, file.sections);
    auto visited = visit_symbols(file, bytes, checker);
    if (auto* fault = std::get_if<Fault>(&visited)) {
        FUZZ_CHECK(*symbols_why, "refused symbols the model reads: %s",
                   fault->why.c_str());
        FUZZ_CHECK(says(fault->why, symbols_why),
                   "refused symbols with '%s', the model: %s", fault->why.c_str(),
                   symbols_why);
        FUZZ_CHECK(checker.tables.empty() && checker.symbols == 0,
                   "visited %zu tables before refusing", checker.tables.size());
        return 0;
    }
    FUZZ_CHECK(!*symbols_why, "read symbols the model refuses (%s)", symbols_why);
    if (!checker.tables.empty()) checker.end_table();
    size_t tables = 0;
    for (const SectionHeader& s : file.sections)
        tables += is_symbol_table(s.type);
    FUZZ_CHECK(std::get<size_t>(visited) == tables && checker.tables.size() == tables,
               "%zu tables returned, %zu visited, %zu in the file",
               std::get<size_t>(visited), checker.tables.size(), tables);
    return 0;
}
