// What the Intel HEX and S-record fuzzers share: a plain model of reading
// a file's records (every data byte kept in a map by address, each with
// the records that hold it), the checks every successful read must pass,
// and the comparison of a reader's answer with the model's.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "../../src/engine/layout/file_data.h"
#include "common.h"

namespace fuzzcores {

using velk::layout::FileData;
using velk::layout::ReadFault;
using ReadResult = velk::layout::Expected<FileData, ReadFault>;

// The text's lines: a line ends at "\n", "\r\n" or a lone "\r"; spaces and
// tabs at a line's end are dropped. Numbered from 1, blank ones
// included (they count for the line numbers of later records).
inline std::vector<std::string> split_lines(const char* text, size_t size) {
    std::vector<std::string> lines;
    std::string current;
    bool open = false;
    for (size_t i = 0; i < size; ++i) {
        char c = text[i];
        if (c == '\n' || c == '\r') {
            lines.push_back(current);
            current.clear();
            open = false;
            if (c == '\r' && i + 1 < size && text[i + 1] == '\n') ++i;
        } else {
            current += c;
            open = true;
        }
    }
    if (open) lines.push_back(current);
    for (std::string& line : lines)
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
    return lines;
}

inline int model_digit(char c) {
    const char* upper = "0123456789ABCDEF";
    const char* lower = "0123456789abcdef";
    for (int i = 0; i < 16; ++i)
        if (c == upper[i] || c == lower[i]) return i;
    return -1;
}

// Pairs of hex digits into bytes; false on an odd count or a non-digit.
inline bool model_hex(const std::string& digits, size_t from, std::vector<uint8_t>& out) {
    out.clear();
    if ((digits.size() - from) % 2) return false;
    for (size_t i = from; i < digits.size(); i += 2) {
        int hi = model_digit(digits[i]), lo = model_digit(digits[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

struct Cell {
    uint8_t value = 0;
    int holders = 0;          // records holding this address
    size_t second_line = 0;   // the second of them
};

// The outcome a correct reader gives.
struct Model {
    bool failed = false;
    ReadFault::Kind kind = ReadFault::no_end;
    size_t line = 0;
    uint64_t address = 0;
    bool ended = false;
    std::string ended_by;  // the end record's type where nothing may follow it
    bool may_end = false;  // the last record lets the file end without an end record
    std::string record;    // after_end, count_differs: the record's type
    uint64_t count = 0, counted = 0;  // count_differs
    std::vector<uint8_t> data;  // data bytes in file order
    std::map<uint64_t, Cell> cells;
    bool has_entry = false;
    uint64_t entry = 0;
    size_t unread_line = 0;  // the first line after the end record, left unread

    void fail(ReadFault::Kind k, size_t at) {
        failed = true;
        kind = k;
        line = at;
    }
    // Data of n bytes at `offset` into the window of `size` bytes from
    // `start`: what runs past the window's end is refused.
    bool put_in_window(size_t at, uint64_t start, uint64_t size, uint64_t offset,
                       const uint8_t* bytes, size_t n) {
        if (offset + n > size) {
            fail(ReadFault::past_window, at);
            address = start;
            return false;
        }
        put(at, start + offset, bytes, n);
        return true;
    }
    void put(size_t at, uint64_t address, const uint8_t* bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            Cell& c = cells[address + i];
            if (++c.holders == 2) c.second_line = at;
            c.value = bytes[i];
            data.push_back(bytes[i]);
        }
    }
    // After the last record read.
    void finish() {
        if (failed) return;
        if (!ended && !may_end) return fail(ReadFault::no_end, 0);
        for (const auto& [a, c] : cells)  // ascending: the lowest address held twice
            if (c.holders >= 2) {
                fail(ReadFault::overlap, c.second_line);
                address = a;
                return;
            }
        if (cells.empty()) fail(ReadFault::no_data, 0);
    }
};

// Runs the per-record model `record(model, line_number, text)` over the
// lines up to the first that ends reading; it returns false to stop. An
// end record that names itself in `ended_by` (an S-record's) refuses an
// S-record after it; any other line after an end record is left unread.
template <class Record>
Model run_model(const char* text, size_t size, Record&& record) {
    Model m;
    std::vector<std::string> lines = split_lines(text, size);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l.empty()) continue;
        if (m.ended) {
            if (!m.ended_by.empty() && l.size() >= 2 && (l[0] == 'S' || l[0] == 's') &&
                l[1] >= '0' && l[1] <= '9') {
                m.fail(ReadFault::after_end, i + 1);
                m.record = m.ended_by;
            } else {
                m.unread_line = i + 1;
            }
            break;
        }
        if (!record(m, i + 1, l)) break;
        if (m.failed) break;
    }
    m.finish();
    return m;
}

inline const char* fault_name(ReadFault::Kind k) {
    switch (k) {
        case ReadFault::bad_record: return "bad_record";
        case ReadFault::bad_checksum: return "bad_checksum";
        case ReadFault::bad_type: return "bad_type";
        case ReadFault::bad_field: return "bad_field";
        case ReadFault::overlap: return "overlap";
        case ReadFault::past_window: return "past_window";
        case ReadFault::no_end: return "no_end";
        case ReadFault::entry_twice: return "entry_twice";
        case ReadFault::no_data: return "no_data";
        case ReadFault::after_end: return "after_end";
        case ReadFault::count_differs: return "count_differs";
    }
    return "?";
}

// What every file the reader accepts must look like.
inline void check_file_data(const FileData& fd) {
    FUZZ_CHECK(!fd.runs.empty(), "accepted with no runs");
    uint64_t total = 0;
    std::vector<std::pair<uint64_t, uint64_t>> by_offset;
    for (size_t i = 0; i < fd.runs.size(); ++i) {
        const velk::layout::Span& r = fd.runs[i];
        FUZZ_CHECK(r.source == i, "run %zu has source %zu", i, r.source);
        FUZZ_CHECK(r.size > 0, "run %zu is empty", i);
        FUZZ_CHECK(r.offset <= fd.data.size() && r.size <= fd.data.size() - r.offset,
                   "run %zu bytes [%llu,+%llu) outside data of %zu", i,
                   (unsigned long long)r.offset, (unsigned long long)r.size,
                   fd.data.size());
        FUZZ_CHECK(r.address + r.size > r.address, "run %zu wraps", i);
        if (i > 0) {
            const velk::layout::Span& p = fd.runs[i - 1];
            FUZZ_CHECK(p.address < r.address, "runs %zu, %zu not in address order", i - 1, i);
            FUZZ_CHECK(p.end() <= r.address, "runs %zu, %zu overlap", i - 1, i);
        }
        total += r.size;
        by_offset.push_back({r.offset, r.size});
    }
    // Every data byte belongs to exactly one run.
    FUZZ_CHECK(total == fd.data.size(), "runs hold %llu bytes, data %zu",
               (unsigned long long)total, fd.data.size());
    std::sort(by_offset.begin(), by_offset.end());
    uint64_t at = 0;
    for (auto& [off, n] : by_offset) {
        FUZZ_CHECK(off == at, "data bytes [%llu,%llu) in no run or in two",
                   (unsigned long long)at, (unsigned long long)off);
        at = off + n;
    }
}

// Address -> byte of an accepted file.
inline std::map<uint64_t, uint8_t> bytes_of(const FileData& fd) {
    std::map<uint64_t, uint8_t> out;
    for (const velk::layout::Span& r : fd.runs)
        for (uint64_t i = 0; i < r.size; ++i) out[r.address + i] = fd.data[r.offset + i];
    return out;
}

inline void compare_with_model(const ReadResult& got, const Model& m, const char* what) {
    if (m.failed) {
        FUZZ_CHECK(std::holds_alternative<ReadFault>(got),
                   "%s: accepted, the model refuses with %s at line %zu", what,
                   fault_name(m.kind), m.line);
        const ReadFault& f = std::get<ReadFault>(got);
        FUZZ_CHECK(f.kind == m.kind && f.line == m.line,
                   "%s: refused with %s at line %zu, the model with %s at line %zu", what,
                   fault_name(f.kind), f.line, fault_name(m.kind), m.line);
        if (m.kind == ReadFault::overlap || m.kind == ReadFault::past_window)
            FUZZ_CHECK(f.address == m.address, "%s: %s at 0x%llx, the model 0x%llx", what,
                       fault_name(m.kind), (unsigned long long)f.address,
                       (unsigned long long)m.address);
        if (m.kind == ReadFault::after_end || m.kind == ReadFault::count_differs)
            FUZZ_CHECK(f.record && f.record == m.record, "%s: %s names %s, the model %s",
                       what, fault_name(m.kind), f.record ? f.record : "nothing",
                       m.record.c_str());
        if (m.kind == ReadFault::count_differs)
            FUZZ_CHECK(f.count == m.count && f.counted == m.counted,
                       "%s: a count of %llu for %llu records, the model %llu for %llu", what,
                       (unsigned long long)f.count, (unsigned long long)f.counted,
                       (unsigned long long)m.count, (unsigned long long)m.counted);
        return;
    }
    if (const ReadFault* f = std::get_if<ReadFault>(&got))
        FUZZ_CHECK(false, "%s: refused with %s at line %zu, the model accepts", what,
                   fault_name(f->kind), f->line);
    const FileData& fd = std::get<FileData>(got);
    check_file_data(fd);
    FUZZ_CHECK(fd.data == m.data, "%s: data bytes differ from the records' in file order",
               what);
    std::map<uint64_t, uint8_t> have = bytes_of(fd);
    FUZZ_CHECK(have.size() == m.cells.size(), "%s: %zu addresses, the model %zu", what,
               have.size(), m.cells.size());
    auto a = have.begin();
    for (auto b = m.cells.begin(); b != m.cells.end(); ++a, ++b)
        FUZZ_CHECK(a->first == b->first && a->second == b->second.value,
                   "%s: 0x%llx=%02X, the model 0x%llx=%02X", what,
                   (unsigned long long)a->first, a->second,
                   (unsigned long long)b->first, b->second.value);
    FUZZ_CHECK(fd.has_entry == m.has_entry && (!m.has_entry || fd.entry == m.entry),
               "%s: entry %d/0x%llx, the model %d/0x%llx", what, fd.has_entry,
               (unsigned long long)fd.entry, m.has_entry, (unsigned long long)m.entry);
    FUZZ_CHECK(fd.unread_line == m.unread_line, "%s: unread from line %zu, the model %zu",
               what, fd.unread_line, m.unread_line);
}

// The runs of an accepted file as a memory map, as the CHECK and output
// paths see a HEX or S-record input.
inline velk::layout::MemoryMap map_of(const FileData& fd) {
    velk::layout::MemoryMap memory;
    for (const velk::layout::Span& r : fd.runs)
        memory.append(r.address, fd.data.data() + r.offset, r.size);
    return memory;
}

}  // namespace fuzzcores
