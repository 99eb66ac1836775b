// The data of an Intel HEX or S-record file, gathered record by record,
// as loadable spans for the flash layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flash_layout.h"

namespace velk::layout {

struct FileData {
    std::vector<uint8_t> data;  // every data byte, in file order
    // In address order, never overlapping; a span's bytes are at
    // data.data() + offset, its source its index here.
    std::vector<Span> runs;
    bool has_entry = false;
    uint64_t entry = 0;  // the start address record's value
    // The first line after the end record, which is not read (objcopy and
    // srec_cat leave it too); 0 when nothing follows.
    size_t unread_line = 0;
};

// Why a file's records cannot be read: the caller words it.
struct ReadFault {
    enum Kind {
        bad_record,    // no start code, a bad hex digit, an odd or wrong length
        bad_checksum,  // the record's checksum does not add up
        bad_type,      // a record type the format does not have
        bad_field,     // a record of a known type with the wrong length or address
        overlap,       // `address` holds data from two records; `line` the second
        past_window,   // a data record runs past the end of the window of `window`
                       // bytes from `address` that its address field reaches
        no_end,        // no end-of-file (termination) record: the file is cut short
        entry_twice,   // two start address records
        no_data,
        after_end,     // a record after `record`, the one that ended the file
        count_differs,  // `record`, a record count, says `count` where `counted`
                        // data records come before it
    } kind;
    size_t line = 0;  // 1-based
    uint64_t address = 0;
    uint64_t window = 0;
    const char* record = nullptr;  // its type as the format writes it ("S9")
    uint64_t count = 0, counted = 0;
};

// What a format's record parser tells as it reads a file's records. Each
// call returns whether reading goes on.
class Records {
public:
    bool data(size_t line, uint64_t address, const uint8_t* bytes, size_t size);
    bool entry(size_t line, uint64_t address);
    // The end-of-file or termination record: what follows is not read.
    // With `record` (its type, "S9"), a record after it is refused rather
    // than left unread, for the formats whose readers disagree there
    // (srec_cat reads an S-record after S9, objcopy does not); a line that
    // is no record is left unread by every reader.
    bool end(const char* record = nullptr);
    // A record after which the file may end: it is whole if no data record
    // follows.
    void may_end();
    bool fail(ReadFault::Kind kind, size_t line);
    bool fail(const ReadFault& fault);
    // Data of `size` bytes from `address` in the window of `window` bytes
    // from `start`: refused when it runs past the window's end, where
    // readers disagree (those that wrap the address put the rest at the
    // window's start, others after it), so that no file is read one way
    // here and another way by a programmer.
    bool windowed(size_t line, uint64_t start, uint64_t window, uint64_t address,
                  const uint8_t* bytes, size_t size);

    // Reads `text` with a new Parser's `parse(line, record, length,
    // records)` for each line that is not blank. Data held twice is refused
    // naming the second record that holds the lowest such address, found
    // in a second reading.
    template <class Parser>
    static Expected<FileData, ReadFault> read(const char* text, size_t size);

private:
    explicit Records(bool watch = false, uint64_t watched = 0)
        : watch_(watch), watched_(watched) {}
    // Sorts the runs; false with the lowest address held twice.
    bool finish(uint64_t& overlap);

    bool watch_;
    uint64_t watched_;
    size_t seen_ = 0;  // records holding `watched_`
    bool ended_ = false;
    bool may_end_ = false;
    const char* ended_by_ = nullptr;
    bool failed_ = false;
    ReadFault fault_{ReadFault::no_end};
    FileData out_;
};

// Splits text into lines at "\n", "\r\n" or a lone "\r", numbering from 1
// and dropping trailing blanks; blank lines are handed over empty.
template <class Visit>
void for_each_line(const char* text, size_t size, Visit&& visit) {
    size_t at = 0, number = 0;
    while (at < size) {
        size_t end = at;
        while (end < size && text[end] != '\n' && text[end] != '\r') ++end;
        size_t length = end - at;
        while (length > 0 &&
               (text[at + length - 1] == ' ' || text[at + length - 1] == '\t'))
            --length;
        if (!visit(++number, text + at, length)) return;
        if (end < size && text[end] == '\r' && end + 1 < size && text[end + 1] == '\n')
            ++end;
        at = end + 1;
    }
}

template <class Parser>
Expected<FileData, ReadFault> Records::read(const char* text, size_t size) {
    Records records;
    auto each = [&](Records& r) {
        Parser parser;
        for_each_line(text, size, [&](size_t line, const char* record, size_t length) {
            if (length == 0) return true;
            if (r.ended_) {
                if (r.ended_by_ && Parser::is_record(record, length)) {
                    ReadFault after{ReadFault::after_end, line};
                    after.record = r.ended_by_;
                    return r.fail(after);
                }
                r.out_.unread_line = line;
                return false;
            }
            return parser.parse(line, record, length, r);
        });
        if (!r.failed_ && !r.ended_ && !r.may_end_) r.fail(ReadFault::no_end, 0);
    };
    each(records);
    if (records.failed_) return records.fault_;
    uint64_t overlap = 0;
    if (!records.finish(overlap)) {
        Records again(true, overlap);
        each(again);
        return again.fault_;
    }
    if (records.out_.runs.empty()) return ReadFault{ReadFault::no_data};
    return std::move(records.out_);
}

}  // namespace velk::layout
