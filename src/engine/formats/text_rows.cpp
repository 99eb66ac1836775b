// Intel HEX and S-records: text records, one a line, known by their first
// character; each holds its addresses and a start address.
#include "rows.h"

#include "../hexfile/hex_reader.h"
#include "../hexfile/intel_hex.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../srecord/srec_reader.h"
#include "../srecord/srec_writer.h"

namespace velk::formats {

namespace {

const char* const hex_endings[] = {".hex", ".ihex", nullptr};
const char* const srec_endings[] = {".srec", ".s19", ".s28", ".s37", ".mot", nullptr};

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

void write_hex(const Contents& c, const std::string&, outfile::Sink& sink) {
    hexfile::write_intel_hex(c.hex_memory ? *c.hex_memory : *c.memory,
                             hexfile::start_address(c.entry), sink);
}

// The S0 record names the file.
void write_srec(const Contents& c, const std::string& path, outfile::Sink& sink) {
    srecord::write_srecord(*c.memory, hexfile::start_address(c.entry), path, sink);
}

std::unique_ptr<FileCheck> check_hex(const Contents& c, const Expected& e) {
    if (!c.hex_memory) return hex_check(*c.memory, e.spans);
    std::vector<Span> moved = e.spans;
    for (Span& s : moved) s.address += c.hex_moved_by;
    return hex_check(*c.hex_memory, std::move(moved));
}

std::unique_ptr<FileCheck> check_srec(const Contents& c, const Expected& e) {
    return srec_check(*c.memory, e.spans);
}

std::optional<uint64_t> hex_start(uint64_t entry) {
    std::optional<uint32_t> start = hexfile::start_address(entry);
    return start ? std::optional<uint64_t>(*start) : std::nullopt;
}

std::optional<uint64_t> srec_start(uint64_t entry) {
    std::optional<uint32_t> start = hexfile::start_address(entry);
    return start && *start ? std::optional<uint64_t>(*start) : std::nullopt;
}

}  // namespace

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of: formats.h says each.
const Format intel_hex = {
    "Intel HEX", "an Intel HEX file", "hex", ".hex", hex_endings,
    /* needs_base */ false, /* family */ false, /* build */ false, /* text */ true,
    /* container */ false, /* every_run */ true, /* merged */ true, /* page */ 0,
    looks_like_hex, read_hex, nullptr, write_hex, always, check_hex, nullptr, hex_start,
};

const Format srecords = {
    "S-records", "an S-record file", "srec", ".srec", srec_endings,
    /* needs_base */ false, /* family */ false, /* build */ false, /* text */ true,
    /* container */ false, /* every_run */ false, /* merged */ true, /* page */ 0,
    looks_like_srec, read_srec, nullptr, write_srec, always, check_srec, "--srec", srec_start,
};

}  // namespace velk::formats
