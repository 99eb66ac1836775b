#include "section_table.h"

#include "../base/byte_order.h"
#include "elf_layout.h"

namespace velk::elf {

namespace {

// Fields of records in the file's byte order.
class Encoder {
public:
    explicit Encoder(bool little_endian) : little_(little_endian) {}

    void put(uint8_t* record, Field f, uint64_t value) const {
        bytes::store(record + f.at, static_cast<unsigned>(f.width),
                     little_ ? bytes::Order::little : bytes::Order::big, value);
    }

private:
    bool little_;
};

// The old section-name table, ending in a NUL, for the new names to follow:
// every old sh_name keeps pointing at its name.
std::variant<std::vector<uint8_t>, Fault> old_names(const File& file, Bytes bytes) {
    if (file.sections.empty()) return Fault{"it has no section headers"};
    const uint64_t index = file.header.shstrndx;
    const std::string section = "section " + std::to_string(index);
    if (index == 0) return Fault{"its section headers name no section-name table"};
    if (index >= file.sections.size())
        return Fault{"its section-name table is " + section + ", past the last section"};
    const SectionHeader& table = file.sections[index];
    if (table.type == sht_nobits || table.offset > bytes.size ||
        table.size > bytes.size - table.offset)
        return Fault{"its section-name table, " + section + ", is not in the file"};
    std::vector<uint8_t> names(bytes.data + table.offset,
                               bytes.data + table.offset + table.size);
    if (names.empty() || names.back() != 0) names.push_back(0);
    return names;
}

uint64_t add_name(std::vector<uint8_t>& names, const std::string& name) {
    uint64_t at = names.size();
    names.insert(names.end(), name.begin(), name.end());
    names.push_back(0);
    return at;
}

// The file's program headers, each in the class's own size, then a PT_LOAD
// for each new section that needs one; empty when none does.
std::vector<uint8_t> program_headers(const File& file, Bytes bytes,
                                     const std::vector<NewSection>& added,
                                     const std::vector<LeftOut>& left_out,
                                     const Encoder& out) {
    const Layout& l = layout_of(file.header.elf64);
    std::vector<uint8_t> table;
    auto old_table = [&] {
        for (uint64_t i = 0; i < file.segments.size(); ++i) {
            const uint8_t* old =
                bytes.data + file.header.phoff + i * file.header.phentsize;
            table.insert(table.end(), old, old + l.phdr_size);
        }
        for (const LeftOut& cut : left_out) {
            const ProgramHeader& p = file.segments[cut.segment];
            uint8_t* record = table.data() + cut.segment * l.phdr_size;
            out.put(record, l.p_offset, p.offset + cut.bytes);
            out.put(record, l.p_vaddr, p.vaddr + cut.bytes);
            out.put(record, l.p_paddr, p.paddr + cut.bytes);
            out.put(record, l.p_filesz, p.filesz - cut.bytes);
            out.put(record, l.p_memsz, p.memsz - cut.bytes);
        }
    };
    if (!left_out.empty()) old_table();
    for (const NewSection& s : added) {
        if (!s.own_segment) continue;
        if (table.empty()) old_table();
        size_t at = table.size();
        table.resize(at + l.phdr_size, 0);
        uint8_t* record = table.data() + at;
        uint32_t flags = pf_r;
        if (s.flags & shf_write) flags |= pf_w;
        if (s.flags & shf_execinstr) flags |= pf_x;
        out.put(record, l.p_type, pt_load);
        out.put(record, l.p_flags, flags);
        out.put(record, l.p_offset, s.offset);
        out.put(record, l.p_vaddr, s.addr);
        out.put(record, l.p_paddr, s.addr);
        out.put(record, l.p_filesz, s.size);
        out.put(record, l.p_memsz, s.size);
        out.put(record, l.p_align, 1);
    }
    return table;
}

}  // namespace

std::variant<Appended, Fault> append_sections(const File& file, Bytes bytes,
                                              const std::vector<NewSection>& added,
                                              uint64_t contents,
                                              const std::vector<LeftOut>& left_out) {
    const Layout& l = layout_of(file.header.elf64);
    const Encoder out(file.header.little_endian);
    auto read_names = old_names(file, bytes);
    if (auto* fault = std::get_if<Fault>(&read_names)) return *fault;
    std::vector<uint8_t> names = std::move(std::get<std::vector<uint8_t>>(read_names));

    // The old entries as they are, whatever their size, then the new ones.
    const uint64_t entry = file.header.shentsize;
    const uint8_t* old_table = bytes.data + file.header.shoff;
    std::vector<uint8_t> table(old_table, old_table + file.sections.size() * entry);
    for (const NewSection& s : added) {
        size_t at = table.size();
        table.resize(at + entry, 0);
        uint8_t* record = table.data() + at;
        out.put(record, l.sh_name, add_name(names, s.name));
        out.put(record, l.sh_type, s.type);
        out.put(record, l.sh_flags, s.flags);
        out.put(record, l.sh_addr, s.addr);
        out.put(record, l.sh_offset, s.offset);
        out.put(record, l.sh_size, s.size);
        out.put(record, l.sh_addralign, 1);
    }
    const uint64_t count = table.size() / entry;

    // The name table right after the file, the header table after it on
    // the boundary its fields need.
    const uint64_t names_at = bytes.size + contents;
    Appended edit;
    edit.tail = names;
    const size_t align = file.header.elf64 ? 8 : 4;
    while ((names_at + edit.tail.size()) % align) edit.tail.push_back(0);
    const uint64_t table_at = names_at + edit.tail.size();
    if (!file.header.elf64 && table_at + table.size() > UINT32_MAX)
        return Fault{"the file would grow past 4 GiB, beyond ELF32's offsets"};
    uint8_t* names_entry = table.data() + file.header.shstrndx * entry;
    out.put(names_entry, l.sh_offset, names_at);
    out.put(names_entry, l.sh_size, names.size());
    if (count >= shn_loreserve) out.put(table.data(), l.sh_size, count);
    edit.tail.insert(edit.tail.end(), table.begin(), table.end());

    edit.header.assign(bytes.data, bytes.data + l.header_size);
    uint8_t* header = edit.header.data();
    out.put(header, l.shoff, table_at);
    out.put(header, l.shnum, count < shn_loreserve ? count : 0);

    std::vector<uint8_t> segments = program_headers(file, bytes, added, left_out, out);
    if (segments.empty()) return edit;
    const uint64_t phnum = segments.size() / l.phdr_size;
    if (phnum >= pn_xnum) return Fault{"the file would have too many program headers"};
    while ((names_at + edit.tail.size()) % align) edit.tail.push_back(0);
    const uint64_t segments_at = names_at + edit.tail.size();
    if (!file.header.elf64 && segments_at + segments.size() > UINT32_MAX)
        return Fault{"the file would grow past 4 GiB, beyond ELF32's offsets"};
    edit.tail.insert(edit.tail.end(), segments.begin(), segments.end());
    out.put(header, l.phoff, segments_at);
    out.put(header, l.phentsize, l.phdr_size);
    out.put(header, l.phnum, phnum);
    return edit;
}

}  // namespace velk::elf
