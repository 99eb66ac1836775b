#include "elf_build.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "../report/wording.h"
#include "elf_layout.h"

namespace velk {

namespace {

layout::ProgramHeader program_header(const elf::ProgramHeader& p) {
    constexpr uint32_t pf_w = 2;
    return {p.type == elf::pt_load, p.offset, p.vaddr, p.paddr, p.filesz, p.memsz,
            (p.flags & pf_w) != 0};
}

// What objcopy writes and a debugger loads: an allocated section with
// contents in the file.
bool loaded(const elf::SectionHeader& section) {
    return (section.flags & elf::shf_alloc) && section.type != elf::sht_nobits &&
           section.type != elf::sht_null && section.size != 0;
}

// How many bytes at the start of segment `index` only the file's own
// headers fill (the ELF header, the program header table) and the padding
// up to the first section's bytes. None when a section holds them: then
// they are the program's. Headers behind a section's bytes cannot be left
// out of one stretch, and are refused, named.
uint64_t own_headers(const elf::File& file, size_t index,
                     const layout::ProgramHeader& h) {
    const uint64_t from = h.offset, to = h.offset + h.size();
    std::vector<std::pair<uint64_t, uint64_t>> own;  // file offsets within the segment
    auto add = [&](uint64_t a, uint64_t b) {
        a = std::max(a, from);
        b = std::min(b, to);
        if (a < b) own.emplace_back(a, b);
    };
    add(0, elf::layout_of(file.header.elf64).header_size);
    if (file.header.phnum)
        add(file.header.phoff,
            file.header.phoff + file.header.phnum * file.header.phentsize);
    if (own.empty()) return 0;
    uint64_t first_section = to;
    for (const elf::SectionHeader& section : file.sections) {
        if (!loaded(section) || section.offset >= to ||
            section.offset + section.size <= from)
            continue;
        for (const auto& [a, b] : own)
            if (section.offset < b && section.offset + section.size > a) return 0;
        first_section = std::min(first_section, std::max(section.offset, from));
    }
    // Without section headers nothing says where the padding ends: the
    // headers alone are left out.
    uint64_t headers_end = from;
    for (const auto& [a, b] : own) headers_end = std::max(headers_end, b);
    if (file.sections.empty()) first_section = headers_end;
    for (const auto& [a, b] : own)
        if (b > first_section)
            throw Refusal{wording::own_headers_loaded(index, h.paddr + (a - from),
                                                      h.paddr + (b - from))};
    return first_section - from;
}

// Visits every symbol; a damaged table refuses the file.
size_t visit(const ElfBuild& elf, elf::SymbolVisitor& visitor) {
    auto visited = elf::visit_symbols(elf.file, elf.span(), visitor);
    if (auto* fault = std::get_if<elf::Fault>(&visited))
        throw Refusal{"cannot read its symbols: " + fault->why};
    return std::get<size_t>(visited);
}

class NameFinder final : public elf::SymbolVisitor {
public:
    // No symbol's name holds a NUL.
    explicit NameFinder(const std::string& name)
        : name_(name), possible_(name.find('\0') == std::string::npos) {}

    void symbol(const elf::Symbol& s) override {
        // The name is NUL-terminated in its table: the comparison stops at
        // its end or at the first byte that differs.
        if (!possible_ || std::strncmp(s.name, name_.c_str(), name_.size()) != 0 ||
            s.name[name_.size()] != '\0')
            return;
        matches_.add(s.value, s.size, s.info);
    }

    const elfsyms::Matches& matches() const { return matches_; }

private:
    const std::string& name_;
    bool possible_;
    elfsyms::Matches matches_;
};

class PartFinder final : public elf::SymbolVisitor {
public:
    explicit PartFinder(const std::string& name) : name_(name) {}

    void symbol(const elf::Symbol& s) override {
        found_ = found_ || std::strstr(s.name, name_.c_str()) != nullptr;
    }

    bool found() const { return found_; }

private:
    const std::string& name_;
    bool found_ = false;
};

// Whether a section's name holds `name`: its name, NUL-terminated inside
// the section-name string table.
bool in_section_names(const ElfBuild& elf, const std::string& name) {
    const auto& sections = elf.file.sections;
    const uint64_t index = elf.file.header.shstrndx;
    if (index == 0 || index >= sections.size()) return false;
    const elf::SectionHeader& names = sections[index];
    const uint64_t size = elf.file_bytes().size();
    if (names.type == elf::sht_nobits || names.offset > size || names.size > size - names.offset)
        return false;
    const char* table = reinterpret_cast<const char*>(elf.bytes()) + names.offset;
    for (const elf::SectionHeader& section : sections) {
        if (section.name >= names.size) continue;
        const char* start = table + section.name;
        std::string text(start, strnlen(start, names.size - section.name));
        if (text.find(name) != std::string::npos) return true;
    }
    return false;
}

class NameLister final : public elf::SymbolVisitor {
public:
    NameLister(size_t longest, std::vector<std::string>& names)
        : longest_(longest), names_(names) {}

    void symbol(const elf::Symbol& s) override {
        size_t length = strnlen(s.name, longest_ + 1);
        if (length == 0 || length > longest_) return;
        std::string name(s.name, length);
        if (seen_.insert(name).second) names_.push_back(std::move(name));
    }

private:
    size_t longest_;
    std::vector<std::string>& names_;
    std::unordered_set<std::string> seen_;
};

}  // namespace

std::string section_name(const ElfBuild& elf, const elf::SectionHeader& s) {
    const auto& sections = elf.file.sections;
    const uint64_t index = elf.file.header.shstrndx;
    if (index == 0 || index >= sections.size()) return {};
    const elf::SectionHeader& names = sections[index];
    const uint64_t size = elf.file_bytes().size();
    if (names.type == elf::sht_nobits || names.offset > size ||
        names.size > size - names.offset || s.name >= names.size)
        return {};
    const char* table = reinterpret_cast<const char*>(elf.bytes()) + names.offset;
    const char* name = table + s.name;
    return std::string(name, strnlen(name, names.size - s.name));
}

const std::vector<uint8_t>& ElfBuild::file_bytes() const {
    static const std::vector<uint8_t> none;
    return file_buffer ? *file_buffer : none;
}

bool is_elf(const uint8_t* bytes, size_t size) {
    return size >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' &&
           bytes[3] == 'F';
}

ElfBuild read_elf(std::vector<uint8_t> bytes) {
    ElfBuild elf;
    elf.file_buffer = layout::share(std::move(bytes));
    auto file = elf::read_file(elf.span());
    if (auto* fault = std::get_if<elf::Fault>(&file))
        throw Refusal{fault->damaged ? fault->why + ": it is damaged"
                                     : "cannot read it as an ELF file: " + fault->why};
    elf.file = std::move(std::get<elf::File>(file));
    for (const elf::ProgramHeader& p : elf.file.segments) {
        layout::ProgramHeader h = program_header(p);
        // A size past the file's end is the layout's to refuse.
        if (h.loadable() && h.offset <= elf.file_bytes().size() &&
            h.filesz <= elf.file_bytes().size() - h.offset)
            h.own_headers = own_headers(elf.file, elf.headers.size(), h);
        elf.headers.push_back(h);
    }
    auto loadable = layout::loadable_of_elf(elf.headers, elf.file_bytes().size());
    if (auto* fault = std::get_if<layout::Fault>(&loadable))
        throw Refusal{wording::layout_fault(*fault, elf.headers)};
    elf.loadable = std::move(std::get<layout::Loadable>(loadable));
    return elf;
}

SymbolSearch find_symbol(const ElfBuild& elf, const std::string& name) {
    SymbolSearch lookup;
    NameFinder finder(name);
    lookup.tables = visit(elf, finder);
    lookup.matches = finder.matches();
    lookup.found = lookup.matches.count > 0;
    return lookup;
}

bool named_anywhere(const ElfBuild& elf, const std::string& name) {
    if (name.find('\0') != std::string::npos) return false;
    PartFinder finder(name);
    visit(elf, finder);
    return finder.found() || in_section_names(elf, name);
}

std::vector<std::string> symbol_names(const ElfBuild& elf, size_t longest) {
    std::vector<std::string> names;
    NameLister lister(longest, names);
    visit(elf, lister);
    return names;
}

}  // namespace velk
