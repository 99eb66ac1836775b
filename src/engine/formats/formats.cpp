#include "formats.h"

#include "../elf/elf_build.h"
#include "../hexfile/hex_reader.h"
#include "../hexfile/intel_hex.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/spelling.h"
#include "../srecord/srec_reader.h"
#include "../srecord/srec_writer.h"
#include "../uf2/uf2.h"

namespace velk::formats {

namespace {

// The length of a UTF-8 byte order mark at the start of a text file (an
// editor's), 0 when there is none.
size_t byte_order_mark(const uint8_t* text, size_t size) {
    return size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF ? 3 : 0;
}

// The first character of a text file that is not blank, after any number
// of blank lines; null when there is none. A whole file may be given: a
// head cut at a fixed size says nothing when an editor or a script put
// more blank lines before the records than the head holds.
const uint8_t* first_printed(const uint8_t* head, size_t size) {
    for (size_t i = byte_order_mark(head, size); i < size; ++i) {
        uint8_t c = head[i];
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') return head + i;
    }
    return nullptr;
}

bool looks_like_hex(const uint8_t* head, size_t size) {
    const uint8_t* c = first_printed(head, size);
    return c && *c == ':';
}

bool looks_like_srec(const uint8_t* head, size_t size) {
    const uint8_t* c = first_printed(head, size);
    return c && (*c == 'S' || *c == 's') && c + 1 < head + size && c[1] >= '0' && c[1] <= '9';
}

// An Intel HEX or S-record file's records, or the line that says why not.
template <class ReadRecords>
Read read_text(const std::vector<uint8_t>& bytes, ReadRecords read_records,
               const wording::RecordNames& names) {
    size_t mark = byte_order_mark(bytes.data(), bytes.size());
    auto read = read_records(reinterpret_cast<const char*>(bytes.data()) + mark,
                             bytes.size() - mark);
    if (auto* fault = std::get_if<layout::ReadFault>(&read))
        throw Refusal{wording::read_fault(*fault, names)};
    Read out;
    out.data = std::move(std::get<layout::FileData>(read));
    if (size_t line = out.data.unread_line)
        out.notes.push_back(text::format(
            "line %zu: what follows the %s record is not read, as objcopy and srec_cat "
            "leave it",
            line, names.end_record));
    return out;
}

Read read_hex(const std::vector<uint8_t>& bytes) {
    return read_text(bytes, hexfile::read_intel_hex,
                     {"an Intel HEX record", "end-of-file", "01"});
}

Read read_srec(const std::vector<uint8_t>& bytes) {
    return read_text(bytes, srecord::read_srecord,
                     {"an S-record", "termination", "S7, S8 or S9"});
}

std::string uf2_fault(const uf2::Fault& f) {
    using F = uf2::Fault;
    const std::string block = text::format("block %zu: ", f.block);
    switch (f.kind) {
        case F::bad_size:
            return "not a whole number of 512-byte UF2 blocks";
        case F::bad_magic:
            return block + "a magic number is wrong: the block is damaged";
        case F::bad_payload_size:
            return block + text::format("a payload of %u bytes, more than a block holds",
                                        f.value);
        case F::bad_block_number:
            return block + text::format("block number %u is not below the block count",
                                        f.value);
        case F::count_differs:
            return block + text::format("a block count of %u, not the first block's",
                                        f.value);
        case F::family_differs:
            return block + "another family ID than the first block's";
        case F::in_file_container:
            return block + "part of a file container, not flash contents";
        case F::address_overflow:
            return block + "its payload at " + text::address(f.address) +
                   " reaches past 4 GiB";
        case F::block_twice:
            return block + text::format("block number %u is given twice", f.value);
        case F::block_missing:
            return text::format("no block has block number %u: the file is cut short",
                                f.value);
        case F::overlap:
            return block + "it holds " + text::address(f.address) +
                   ", which an earlier block holds too";
        case F::no_data:
            return "no block holds data for the flash";
    }
    return "not a UF2 file";
}

Read read_uf2(const std::vector<uint8_t>& bytes) {
    auto read = uf2::read_uf2(bytes.data(), bytes.size());
    if (auto* fault = std::get_if<uf2::Fault>(&read)) throw Refusal{uf2_refusal(*fault)};
    uf2::Contents& contents = std::get<uf2::Contents>(read);
    Read out{std::move(contents.data), contents.has_family, contents.family, {}, {},
             contents.skipped, contents.skipped_count};
    if (const auto& off = contents.off_page)
        out.warnings.push_back(text::format(
            "block %zu: %u bytes at %s, not a %zu-byte page at a page's start: UF2 "
            "bootloaders that write whole pages (the SAMD ones) skip it",
            off->block, off->size, text::address(off->address).c_str(), uf2::page_size));
    return out;
}

void write_elf(const Contents& c, const std::string&, outfile::Sink& sink) {
    for (const auto& [bytes, size] : *c.elf) sink.put(reinterpret_cast<const char*>(bytes), size);
}

void write_hex(const Contents& c, const std::string&, outfile::Sink& sink) {
    hexfile::write_intel_hex(*c.memory, hexfile::start_address(c.entry), sink);
}

void write_bin(const Contents& c, const std::string&, outfile::Sink& sink) {
    layout::copy_range(*c.memory, c.from, c.to, sink);
}

// The S0 record names the file.
void write_srec(const Contents& c, const std::string& path, outfile::Sink& sink) {
    srecord::write_srecord(*c.memory, hexfile::start_address(c.entry), path, sink);
}

void write_uf2(const Contents& c, const std::string&, outfile::Sink& sink) {
    (void)uf2::write_uf2(*c.memory, c.family, c.memory->fill(), sink);
}

std::unique_ptr<FileCheck> check_elf(const Contents&, const Expected& e) {
    return offsets_check(e.at_offsets);
}

std::unique_ptr<FileCheck> check_hex(const Contents& c, const Expected& e) {
    return hex_check(*c.memory, e.spans);
}

std::unique_ptr<FileCheck> check_bin(const Contents& c, const Expected&) {
    return binary_check(*c.memory, c.from, c.to);
}

std::unique_ptr<FileCheck> check_srec(const Contents& c, const Expected& e) {
    return srec_check(*c.memory, e.spans);
}

std::unique_ptr<FileCheck> check_uf2(const Contents& c, const Expected&) {
    return uf2_check(*c.memory);
}

bool always(const Contents&) {
    return true;
}

bool elf_made(const Contents& c) {
    return c.elf != nullptr;
}

std::optional<uint64_t> elf_start(uint64_t entry) {
    return entry ? std::optional<uint64_t>(entry) : std::nullopt;
}

std::optional<uint64_t> hex_start(uint64_t entry) {
    std::optional<uint32_t> start = hexfile::start_address(entry);
    return start ? std::optional<uint64_t>(*start) : std::nullopt;
}

std::optional<uint64_t> srec_start(uint64_t entry) {
    std::optional<uint32_t> start = hexfile::start_address(entry);
    return start && *start ? std::optional<uint64_t>(*start) : std::nullopt;
}

const char* const elf_endings[] = {".elf", ".axf", ".out", nullptr};
const char* const hex_endings[] = {".hex", ".ihex", nullptr};
const char* const bin_endings[] = {".bin", nullptr};
const char* const srec_endings[] = {".srec", ".s19", ".s28", ".s37", ".mot", nullptr};
const char* const uf2_endings[] = {".uf2", nullptr};

// Columns: name, a_file, word, ext, endings; needs_base, family, build,
// text, container, every_run, merged, page; recognise, read, unwrap,
// write, can_write, check, option, help, start_of.
const Format table[] = {
    {"ELF", "an ELF file", "elf", ".elf", elf_endings,
     false, false, true, false, true, false, false, 0,
     is_elf, nullptr, nullptr, write_elf, elf_made, check_elf, nullptr, "", elf_start},
    {"Intel HEX", "an Intel HEX file", "hex", ".hex", hex_endings,
     false, false, false, true, false, true, true, 0,
     looks_like_hex, read_hex, nullptr, write_hex, always, check_hex, nullptr, "", hex_start},
    {"raw binary", "a raw binary", "bin", ".bin", bin_endings,
     true, false, false, false, false, false, true, 0,
     nullptr, nullptr, nullptr, write_bin, always, check_bin, "--bin",
     "FLASH: also <root>_CRC.bin, the image as raw bytes, the fill value in the gaps",
     nullptr},
    {"S-records", "an S-record file", "srec", ".srec", srec_endings,
     false, false, false, true, false, false, true, 0,
     looks_like_srec, read_srec, nullptr, write_srec, always, check_srec, "--srec",
     "FLASH: also <root>_CRC.srec, Motorola S-records", srec_start},
    {"UF2", "a UF2 file", "uf2", ".uf2", uf2_endings,
     false, true, false, false, false, false, true, uf2::page_size,
     uf2::looks_like_uf2, read_uf2, nullptr, write_uf2, always, check_uf2, "--uf2 <family>",
     "FLASH: also <root>_CRC.uf2, for a drag-and-drop bootloader of that chip family\n"
     "                (rp2040, rp2350, nrf52840, samd21, samd51, stm32f4, ..., or a 0x ID);\n"
     "                CHECK: the family a UF2 file's blocks must carry",
     nullptr},
};

// A raw binary: the file nothing else names.
const Format& raw_binary = table[2];

bool ends_with_folded(const std::string& name, const char* ending) {
    const size_t n = std::char_traits<char>::length(ending);
    if (name.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = name[name.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != ending[i]) return false;
    }
    return true;
}

}  // namespace

const Format* begin() {
    return std::begin(table);
}

const Format* end() {
    return std::end(table);
}

const Format& unnamed() {
    return raw_binary;
}

const Format& uf2() {
    return table[4];
}

const Format* by_name(const std::string& name) {
    for (const Format& f : table)
        for (const char* const* ending = f.endings; *ending; ++ending)
            if (ends_with_folded(name, *ending)) return &f;
    return nullptr;
}

const Format* by_content(const uint8_t* head, size_t size) {
    for (const Format& f : table)
        if (f.recognise && f.recognise(head, size)) return &f;
    return nullptr;
}

bool asked(const Format& format, const Request& request) {
    return !format.option || request.outputs.count(format.word) != 0;
}

std::string file_name(const std::string& root, const Format& format, bool merged) {
    return root + (merged ? "_CRC_merged" : "_CRC") + format.ext;
}

std::vector<std::string> flash_endings() {
    std::vector<std::string> out;
    for (bool merged : {false, true})
        for (const Format& f : table)
            if (f.write && (f.merged || !merged)) out.push_back(file_name("", f, merged));
    return out;
}

std::string not_elf(const Format* format) {
    if (format && !format->build)
        return std::string(format->a_file) +
               ", not an ELF file: use CHECK to verify it; a checksum is put in with the "
               "linker's ELF output";
    return "not an ELF file (it does not start with the ELF magic number): pass the "
           "linker's output";
}

std::string uf2_refusal(const uf2::Fault& fault) {
    return "cannot read it as UF2: " + uf2_fault(fault);
}

uint32_t uf2_family(Front front, const std::string& name) {
    uf2::FamilyChoice choice = uf2::find_family(name);
    if (!choice.found)
        throw Refusal{given(front, Option::uf2, name) + ": no such chip family" +
                      wording::did_you_mean(uf2::nearest_families(name)) +
                      "; give another family by its ID as 0x<hex>"};
    return choice.id;
}

std::string help_lines() {
    std::string out;
    for (const Format& f : table) {
        if (!f.option) continue;
        std::string option = f.option;
        out += "  " + option + std::string(option.size() < 14 ? 14 - option.size() : 1, ' ') +
               f.help + "\n";
    }
    return out;
}

}  // namespace velk::formats
