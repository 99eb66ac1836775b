#include "crc_elf.h"

#include <algorithm>

#include "../report/text.h"

namespace velk {

namespace {

// What a debugger's `load` and objcopy write: an allocated section with
// contents in the file.
bool loaded(const elf::SectionHeader& section) {
    return (section.flags & elf::shf_alloc) && section.type != elf::sht_nobits &&
           section.type != elf::sht_null;
}

// Whether [start, start + size) and [from, from + width) share a byte.
bool overlaps(uint64_t start, uint64_t size, uint64_t from, unsigned width) {
    return from < start ? start - from < width : from - start < size;
}

// Whether the sections a debugger loads put the record's `width` bytes at
// file `offset` where the segment puts them, at `vaddr`: every such section
// that holds one of them by address or by file offset maps the one to the
// other as the segment does. Bytes no section holds (linker padding) get a
// section of their own in the copy.
bool sections_agree(const ElfBuild& elf, uint64_t vaddr, uint64_t offset, unsigned width) {
    for (const elf::SectionHeader& section : elf.file.sections) {
        if (!loaded(section) || section.size == 0) continue;
        if (!overlaps(section.addr, section.size, vaddr, width) &&
            !overlaps(section.offset, section.size, offset, width))
            continue;
        if (section.addr - section.offset != vaddr - offset) return false;
    }
    return true;
}

// The file bytes [first, second) of every section a debugger loads, in
// file order.
std::vector<std::pair<uint64_t, uint64_t>> sectioned_bytes(const elf::File& file) {
    std::vector<std::pair<uint64_t, uint64_t>> held;
    for (const elf::SectionHeader& s : file.sections) {
        if (!loaded(s) || s.size == 0) continue;
        held.emplace_back(s.offset, s.size > UINT64_MAX - s.offset ? UINT64_MAX
                                                                   : s.offset + s.size);
    }
    std::sort(held.begin(), held.end());
    return held;
}

// The stretches of every segment's file contents that no loaded section
// covers, in address order.
std::vector<Unsectioned> unsectioned_contents(const ElfBuild& elf) {
    const std::vector<std::pair<uint64_t, uint64_t>> held = sectioned_bytes(elf.file);
    std::vector<Unsectioned> gaps;
    for (const layout::Span& span : elf.loadable.spans) {
        const elf::ProgramHeader& segment = elf.file.segments[span.source];
        auto add = [&](uint64_t from, uint64_t to) {
            uint64_t into = from - span.offset;
            gaps.push_back({from, span.address + into,
                            segment.vaddr + (from - segment.offset), to - from,
                            segment.flags});
        };
        uint64_t at = span.offset;
        const uint64_t end = span.offset + span.size;
        for (const auto& [from, to] : held) {
            if (from >= end) break;
            if (to <= at) continue;
            if (from > at) add(at, from);
            at = to;
            if (at >= end) break;
        }
        if (at < end) add(at, end);
    }
    return gaps;
}

// A section for each gap, with the segment's address for its file offset:
// objcopy and gdb take a section's load address from the segment that
// holds it, so it loads where the HEX holds the bytes.
std::vector<elf::NewSection> gap_sections(const std::vector<Unsectioned>& gaps) {
    std::vector<elf::NewSection> sections;
    for (const Unsectioned& gap : gaps) {
        uint64_t flags = elf::shf_alloc;
        if (gap.segment_flags & elf::pf_w) flags |= elf::shf_write;
        if (gap.segment_flags & elf::pf_x) flags |= elf::shf_execinstr;
        sections.push_back({".gap." + text::address(gap.address), elf::sht_progbits,
                            flags, gap.vaddr, gap.offset, gap.size});
    }
    return sections;
}

// Whether a segment's contents take in a byte of the ELF header that
// `header` changes.
bool loads_changed_header(const ElfBuild& elf, const std::vector<uint8_t>& header) {
    for (const layout::Span& span : elf.loadable.spans) {
        const uint64_t end = std::min<uint64_t>(header.size(), span.offset + span.size);
        for (uint64_t at = span.offset; at < end; ++at)
            if (header[at] != elf.file_bytes()[at]) return true;
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
    uint64_t vaddr = header.vaddr + (by_segment - header.offset);
    if (!sections_agree(elf, vaddr, by_segment, width))
        return {false, 0,
                "the program and section headers do not agree on where " +
                    text::address(record) + " lies in the file"};
    return {true, by_segment, ""};
}

CrcElf crc_elf(const ElfBuild& elf, const std::vector<StoredRecord>& records,
               const std::vector<AddedContents>& added) {
    CrcElf out;
    out.in_file.found = true;  // a run without records (--esp32's) has the input's bytes
    std::vector<std::pair<uint64_t, const StoredRecord*>> at;  // file offset, record
    for (const StoredRecord& r : records) {
        out.in_file = record_in_file(elf, r.slot, r.width);
        if (!out.in_file.found) return out;
        at.emplace_back(out.in_file.offset, &r);
    }
    std::sort(at.begin(), at.end());
    out.gaps = unsectioned_contents(elf);
    // Segments that load the file's own headers stop doing so: the image
    // holds nothing there, or other bytes (with --mcuboot, its header).
    std::vector<elf::LeftOut> left_out;
    for (size_t i = 0; i < elf.headers.size(); ++i)
        if (elf.headers[i].own_headers)
            left_out.push_back({i, elf.headers[i].own_headers});
    if (!out.gaps.empty() || !added.empty() || !left_out.empty()) {
        std::vector<elf::NewSection> sections = gap_sections(out.gaps);
        uint64_t contents = 0;
        for (const AddedContents& a : added) {
            sections.push_back({a.name, elf::sht_progbits, elf::shf_alloc, a.address,
                                elf.file_bytes().size() + contents, a.size, true});
            contents += a.size;
        }
        auto appended =
            elf::append_sections(elf.file, elf.span(), sections, contents, left_out);
        std::string why;
        if (auto* fault = std::get_if<elf::Fault>(&appended)) {
            why = fault->why;
        } else {
            out.added = std::move(std::get<elf::Appended>(appended));
            // A segment that loads the ELF header would load the new one:
            // other bytes than the HEX holds.
            if (loads_changed_header(elf, out.added.header))
                why = "a segment loads the ELF header, which the new section table "
                      "changes";
        }
        // With nothing to add, the copy as it is: its segments load the
        // headers where the image holds nothing, as the input's do.
        if (!why.empty() && out.gaps.empty() && added.empty()) {
            out.added = {};
            why.clear();
        }
        if (!why.empty() && out.gaps.empty()) {
            out.in_file = {false, 0,
                           "no section can be added for the MCUboot image's header, TLVs "
                           "and trailer: " + why};
            return out;
        }
        if (!why.empty()) {
            uint64_t bytes = 0;
            for (const Unsectioned& gap : out.gaps) bytes += gap.size;
            out.in_file = {false, 0,
                           text::format("its segments load %llu bytes from ",
                                        static_cast<unsigned long long>(bytes)) +
                               text::address(out.gaps.front().address) +
                               " that no section holds, and no section can be added "
                               "for them: " +
                               why};
            return out;
        }
    }

    // The new ELF header first; a record in it, which only a section over
    // the header could place there, goes into it.
    const std::vector<uint8_t>& input = elf.file_bytes();
    std::vector<uint8_t>& header = out.added.header;
    for (const auto& [offset, r] : at)
        for (uint64_t i = 0; i < r->width && offset + i < header.size(); ++i)
            header[offset + i] = r->bytes[i];
    uint64_t done = header.size();
    if (done) out.pieces.emplace_back(header.data(), header.size());
    for (const auto& [offset, r] : at) {
        const uint64_t end = offset + r->width;
        if (end <= done) continue;
        const uint64_t from = std::max(offset, done);
        out.pieces.emplace_back(input.data() + done, from - done);
        out.pieces.emplace_back(r->bytes + (from - offset), end - from);
        done = end;
    }
    out.pieces.emplace_back(input.data() + done, input.size() - done);
    for (const AddedContents& a : added) {
        if (!a.bytes) {
            out.fills.emplace_back(a.size, a.fill);
            out.pieces.emplace_back(out.fills.back().data(), a.size);
        } else {
            out.pieces.emplace_back(a.bytes, a.size);
        }
    }
    if (!out.added.tail.empty())
        out.pieces.emplace_back(out.added.tail.data(), out.added.tail.size());
    return out;
}

std::string sections_note(const std::string& name, const std::vector<Unsectioned>& gaps) {
    uint64_t bytes = 0;
    for (const Unsectioned& gap : gaps) bytes += gap.size;
    const std::string first = text::address(gaps.front().address);
    const unsigned long long total = bytes;
    const char* why = ", so that a debugger loads what the HEX holds";
    if (gaps.size() == 1 && total == 1)
        return text::format("%s gives the byte of linker padding at %s a section of its own%s",
                            name.c_str(), first.c_str(), why);
    if (gaps.size() == 1)
        return text::format(
            "%s gives the %llu bytes of linker padding at %s a section of their own%s",
            name.c_str(), total, first.c_str(), why);
    return text::format(
        "%s gives the %llu bytes of linker padding in %zu places from %s sections of "
        "their own%s",
        name.c_str(), total, gaps.size(), first.c_str(), why);
}

std::string holes_note(const std::string& name, const layout::MemoryMap& memory,
                       std::pair<uint64_t, uint64_t> sectioned) {
    uint64_t bytes = 0, first = 0;
    size_t holes = 0;
    for (const layout::Piece& p : memory.pieces()) {
        if (!p.is_fill()) continue;
        if (p.address >= sectioned.first && p.end() <= sectioned.second) continue;
        if (!holes++) first = p.address;
        bytes += p.size;
    }
    if (!holes) return "";
    const std::string where =
        (holes == 1 ? "at " : text::format("in %zu holes from ", holes)) +
        text::address(first);
    const char* them = bytes == 1 ? "it" : "them";
    return text::format(
        "%s has no bytes for the %llu %s %s between its segments, which the HEX fills "
        "with 0x%02X: a debugger leaves %s as the flash's erase left %s",
        name.c_str(), static_cast<unsigned long long>(bytes),
        bytes == 1 ? "byte" : "bytes", where.c_str(), memory.fill(), them, them);
}

}  // namespace velk
