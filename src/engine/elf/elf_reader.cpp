#include "elf_reader.h"

#include <cstdarg>
#include <cstdio>
#include <optional>
#include <unordered_map>

#include "../base/byte_order.h"
#include "../base/printf_like.h"
#include "elf_layout.h"

namespace velk::elf {

namespace {

constexpr Field e_type{16, 2};
constexpr Field e_machine{18, 2};
constexpr uint8_t elf_magic[4] = {0x7F, 'E', 'L', 'F'};
constexpr size_t ei_class = 4, ei_data = 5;

VELK_PRINTF_LIKE(1, 2) Fault fault(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return Fault{text};
}

unsigned long long ull(uint64_t v) {
    return v;
}

// Whether `count` records of `entry` bytes from `offset` lie inside a file of
// `size` bytes, without any sum or product that could wrap.
bool fits(uint64_t offset, uint64_t count, uint64_t entry, size_t size) {
    if (count == 0) return true;
    if (offset > size) return false;
    return entry == 0 || count <= (size - offset) / entry;
}

// Whether `length` bytes from `offset` lie inside the file; an empty range
// holds nothing to read, wherever it points.
bool inside(uint64_t offset, uint64_t length, size_t size) {
    return length == 0 || (offset <= size && length <= size - offset);
}

// Fields of records whose place in the file was checked before.
class Decoder {
public:
    Decoder(Bytes file, const Layout& layout, bool little_endian)
        : file_(file), layout_(layout), little_(little_endian) {}

    const Layout& layout() const { return layout_; }
    Bytes file() const { return file_; }

    uint64_t get(uint64_t record, Field f) const {
        return bytes::load(file_.data + record + f.at, static_cast<unsigned>(f.width),
                           little_ ? bytes::Order::little : bytes::Order::big);
    }

    SectionHeader section(uint64_t at) const {
        const Layout& l = layout_;
        return {static_cast<uint32_t>(get(at, l.sh_name)),
                static_cast<uint32_t>(get(at, l.sh_type)),
                get(at, l.sh_flags),
                get(at, l.sh_addr),
                get(at, l.sh_offset),
                get(at, l.sh_size),
                static_cast<uint32_t>(get(at, l.sh_link)),
                static_cast<uint32_t>(get(at, l.sh_info)),
                get(at, l.sh_addralign),
                get(at, l.sh_entsize)};
    }

    ProgramHeader segment(uint64_t at) const {
        const Layout& l = layout_;
        return {static_cast<uint32_t>(get(at, l.p_type)),
                static_cast<uint32_t>(get(at, l.p_flags)),
                get(at, l.p_offset),
                get(at, l.p_vaddr),
                get(at, l.p_paddr),
                get(at, l.p_filesz),
                get(at, l.p_memsz),
                get(at, l.p_align)};
    }

private:
    Bytes file_;
    const Layout& layout_;
    bool little_;
};

// The identification bytes: the magic, the class and the byte order, and a
// file long enough for the ELF header of that class.
std::optional<Fault> identify(Bytes file, Header& header) {
    for (size_t i = 0; i < sizeof elf_magic && i < file.size; ++i)
        if (file.data[i] != elf_magic[i])
            return fault("it does not start with the ELF magic");
    if (file.size <= ei_data)
        return fault("the file is %zu bytes, shorter than an ELF header", file.size);
    const uint8_t elf_class = file.data[ei_class], data = file.data[ei_data];
    if (elf_class != 1 && elf_class != 2)
        return fault("its class byte is %u, neither 1 (ELF32) nor 2 (ELF64)", elf_class);
    if (data != 1 && data != 2)
        return fault(
            "its byte-order byte is %u, neither 1 (little-endian) nor 2 (big-endian)",
            data);
    header.elf64 = elf_class == 2;
    header.little_endian = data == 1;
    const Layout& layout = layout_of(header.elf64);
    if (file.size < layout.header_size)
        return fault("the file is %zu bytes, shorter than the %zu-byte %s header",
                     file.size, layout.header_size, layout.name);
    return std::nullopt;
}

// The fields of the ELF header as they stand, before section header 0 has
// had its say on the counts.
void read_header(const Decoder& in, Header& header) {
    const Layout& l = in.layout();
    header.type = static_cast<uint16_t>(in.get(0, e_type));
    header.machine = static_cast<uint16_t>(in.get(0, e_machine));
    header.entry = in.get(0, l.entry);
    header.phoff = in.get(0, l.phoff);
    header.shoff = in.get(0, l.shoff);
    header.phentsize = static_cast<uint16_t>(in.get(0, l.phentsize));
    header.shentsize = static_cast<uint16_t>(in.get(0, l.shentsize));
    header.phnum = in.get(0, l.phnum);
    header.shnum = in.get(0, l.shnum);
    header.shstrndx = in.get(0, l.shstrndx);
}

std::optional<Fault> small_entries(const char* table, uint64_t entry, size_t standard) {
    return fault("the %s table has entries of %llu bytes, fewer than %zu", table,
                 ull(entry), standard);
}

Fault no_real_phnum() {
    return fault(
        "the program header count is PN_XNUM (0xFFFF) but there is no section "
        "header 0 to hold the real count");
}

// The real section count, program header count and section-name table
// index: a file with more sections or segments than the ELF header can
// count keeps them in section header 0, and one without a section header
// table (e_shoff 0) has no sections, whatever e_shnum says.
std::optional<Fault> real_counts(const Decoder& in, Header& header) {
    const Layout& l = in.layout();
    const bool xnum = header.phnum == pn_xnum;
    if (header.shoff == 0) {
        if (xnum) return no_real_phnum();
        header.shnum = 0;
        // No section table, so no section names either.
        if (header.shstrndx == shn_xindex) header.shstrndx = 0;
        return std::nullopt;
    }
    if (header.shnum != 0 && header.shstrndx != shn_xindex && !xnum) return std::nullopt;
    if (header.shentsize < l.shdr_size)
        return small_entries("section header", header.shentsize, l.shdr_size);
    if (!fits(header.shoff, 1, l.shdr_size, in.file().size)) {
        if (xnum) return no_real_phnum();
        return fault(
            "section header 0 (%zu bytes at offset 0x%llX) does not fit the file",
            l.shdr_size, ull(header.shoff));
    }
    const SectionHeader zero = in.section(header.shoff);
    if (header.shnum == 0) header.shnum = zero.size;
    if (header.shstrndx == shn_xindex) header.shstrndx = zero.link;
    if (xnum) header.phnum = zero.info;
    return std::nullopt;
}

// One header table: entries no smaller than the class's, all of them inside
// the file; checked before a count could make us read billions of entries.
std::optional<Fault> check_table(const char* table, uint64_t offset, uint64_t count,
                                 uint64_t entry, size_t standard, size_t file_size) {
    if (count == 0) return std::nullopt;
    if (entry < standard) return small_entries(table, entry, standard);
    if (!fits(offset, count, entry, file_size)) {
        Fault damaged = fault(
            "the %s table (%llu %s of %llu bytes at offset 0x%llX) does not fit the file",
            table, ull(count), count == 1 ? "entry" : "entries", ull(entry), ull(offset));
        damaged.damaged = true;
        return damaged;
    }
    return std::nullopt;
}

// --- symbol tables ---------------------------------------------------------

// A symbol table and its string table, both checked to lie in the file.
struct CheckedTable {
    size_t section;
    uint64_t offset;
    uint64_t count;
    const uint8_t* strings;
    uint64_t strings_size;
    // One past the string table's last NUL: a name starting below it ends
    // inside the table.
    uint64_t names_end;
};

// One past the last NUL of a string table, 0 when it has none; found once
// per string table, so that checking a name costs the same however long the
// string it points into.
uint64_t names_end(const uint8_t* strings, uint64_t size) {
    for (uint64_t i = size; i > 0; --i)
        if (strings[i - 1] == 0) return i;
    return 0;
}

std::optional<Fault> check_symbol_table(const Decoder& in, const File& file, size_t index,
                                        std::unordered_map<uint32_t, uint64_t>& ends,
                                        CheckedTable& out) {
    const Layout& l = in.layout();
    const size_t file_size = in.file().size;
    const SectionHeader& table = file.sections[index];
    if (table.entsize != l.sym_size)
        return fault("the symbol table in section %zu has entries of %llu bytes, not %zu",
                     index, ull(table.entsize), l.sym_size);
    if (table.size % l.sym_size != 0)
        return fault(
            "the symbol table in section %zu is %llu bytes, not a whole number of "
            "%zu-byte entries",
            index, ull(table.size), l.sym_size);
    if (!inside(table.offset, table.size, file_size))
        return fault(
            "the symbol table in section %zu (0x%llX bytes at offset 0x%llX) does not "
            "fit the file",
            index, ull(table.size), ull(table.offset));
    if (table.link >= file.sections.size())
        return fault(
            "the symbol table in section %zu links to section %u, which does not exist",
            index, table.link);
    const SectionHeader& strings = file.sections[table.link];
    if (strings.type == sht_nobits)
        return fault(
            "the symbol table in section %zu links to section %u, which has no contents "
            "in the file",
            index, table.link);
    if (strings.type != sht_strtab)
        return fault(
            "the symbol table in section %zu links to section %u, which is no string "
            "table",
            index, table.link);
    if (!inside(strings.offset, strings.size, file_size))
        return fault(
            "the string table in section %u (0x%llX bytes at offset 0x%llX) does not fit "
            "the file",
            table.link, ull(strings.size), ull(strings.offset));

    out.section = index;
    out.offset = table.offset;
    out.count = table.size / l.sym_size;
    // An empty string table may point anywhere; no name can be read from it.
    out.strings = in.file().data + (strings.size ? strings.offset : 0);
    out.strings_size = strings.size;
    auto known = ends.find(table.link);
    if (known == ends.end())
        known = ends.emplace(table.link, names_end(out.strings, strings.size)).first;
    out.names_end = known->second;

    for (uint64_t n = 0; n < out.count; ++n) {
        const uint64_t name = in.get(out.offset + n * l.sym_size, l.st_name);
        if (name >= out.strings_size)
            return fault(
                "symbol %llu of the table in section %zu has its name at 0x%llX, past "
                "its string "
                "table of 0x%llX bytes",
                ull(n), index, ull(name), ull(out.strings_size));
        if (name >= out.names_end)
            return fault(
                "symbol %llu of the table in section %zu has a name with no NUL in its "
                "string table",
                ull(n), index);
    }
    return std::nullopt;
}

}  // namespace

std::variant<File, Fault> read_file(Bytes bytes) {
    File file;
    Header& header = file.header;
    if (auto failed = identify(bytes, header)) return *failed;
    const Decoder in(bytes, layout_of(header.elf64), header.little_endian);
    const Layout& l = in.layout();
    read_header(in, header);
    if (auto failed = real_counts(in, header)) return *failed;
    if (auto failed = check_table("program header", header.phoff, header.phnum,
                                  header.phentsize, l.phdr_size, bytes.size))
        return *failed;
    if (auto failed = check_table("section header", header.shoff, header.shnum,
                                  header.shentsize, l.shdr_size, bytes.size))
        return *failed;

    file.segments.reserve(header.phnum);
    for (uint64_t n = 0; n < header.phnum; ++n)
        file.segments.push_back(in.segment(header.phoff + n * header.phentsize));
    file.sections.reserve(header.shnum);
    for (uint64_t n = 0; n < header.shnum; ++n)
        file.sections.push_back(in.section(header.shoff + n * header.shentsize));
    return file;
}

std::variant<size_t, Fault> visit_symbols(const File& file, Bytes bytes,
                                          SymbolVisitor& visitor) {
    const Decoder in(bytes, layout_of(file.header.elf64), file.header.little_endian);
    const Layout& l = in.layout();
    std::vector<CheckedTable> tables;
    std::unordered_map<uint32_t, uint64_t> ends;
    uint64_t entries = 0;
    for (size_t i = 0; i < file.sections.size(); ++i) {
        const uint32_t type = file.sections[i].type;
        if (!is_symbol_table(type)) continue;
        CheckedTable table{};
        if (auto failed = check_symbol_table(in, file, i, ends, table)) return *failed;
        tables.push_back(table);
        // Each table lies in the file, so only tables over the same bytes
        // can add up to more than it.
        entries += table.count;
        if (entries > bytes.size / l.sym_size)
            return fault("the symbol tables overlap: they hold %llu entries of %zu bytes, "
                         "more than the %zu-byte file has room for",
                         ull(entries), l.sym_size, bytes.size);
    }

    for (const CheckedTable& table : tables) {
        visitor.table(table.section);
        for (uint64_t n = 0; n < table.count; ++n) {
            const uint64_t at = table.offset + n * l.sym_size;
            const Symbol symbol{
                reinterpret_cast<const char*>(table.strings + in.get(at, l.st_name)),
                in.get(at, l.st_value),
                in.get(at, l.st_size),
                static_cast<uint8_t>(in.get(at, l.st_info)),
                static_cast<uint8_t>(in.get(at, l.st_other)),
                static_cast<uint16_t>(in.get(at, l.st_shndx))};
            visitor.symbol(symbol);
        }
    }
    return tables.size();
}

}  // namespace velk::elf
