#include "crc_elf.h"

#include "../adapter/text.h"
#include "../report/text.h"

namespace velk {

namespace {

// The file offset of `vaddr` according to the section headers: an
// allocated section with contents in the file that holds all `width` bytes.
bool offset_by_sections(const ElfBuild& elf, uint64_t vaddr, unsigned width,
                        uint64_t& offset) {
    for (const elf::SectionHeader& section : elf.file.sections) {
        if (section.type == elf::sht_nobits || !(section.flags & elf::shf_alloc))
            continue;
        uint64_t addr = section.addr, size = section.size;
        if (vaddr < addr || size < width || vaddr - addr > size - width) continue;
        offset = section.offset + (vaddr - addr);
        return true;
    }
    return false;
}

}  // namespace

RecordInFile record_in_file(const ElfBuild& elf, uint64_t record, unsigned width) {
    size_t index = layout::span_holding_record(elf.loadable, record, width);
    if (index == elf.loadable.spans.size())
        return {false, 0,
                "the checksum record at " + text::address(record) +
                    " is not in the file contents of any segment (it lies in padding)"};
    const layout::Span& span = elf.loadable.spans[index];
    const layout::ProgramHeader& header = elf.headers[span.source];
    uint64_t by_segment = span.offset + (record - span.address);
    // File bytes that another segment loads too would change that segment
    // as well: the copy would load other bytes than the HEX holds.
    for (const layout::Span& other : elf.loadable.spans)
        if (&other != &span && by_segment + width > other.offset &&
            by_segment < other.offset + other.size)
            return {false, 0,
                    text::format("the record's bytes in the file are also loaded by "
                                 "segment %zu, at ",
                                 other.source) +
                        text::address(other.address + (by_segment > other.offset
                                                           ? by_segment - other.offset
                                                           : 0))};
    uint64_t vaddr = header.vaddr + (record - span.address);
    uint64_t by_section = 0;
    bool agree =
        offset_by_sections(elf, vaddr, width, by_section) && by_section == by_segment;
    if (!agree)
        return {false, 0,
                "the program and section headers do not agree on where " +
                    text::address(record) + " lies in the file"};
    return {true, by_segment, ""};
}

}  // namespace velk
