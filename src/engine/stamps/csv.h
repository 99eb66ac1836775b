// A production CSV as spreadsheets and line tools write it: a header row
// naming the columns, then one row a device. Quoted fields may hold commas,
// quotes (doubled) and line breaks; lines end in CRLF or LF; a UTF-8 byte
// order mark (Excel's "CSV UTF-8") and a blank last line are no part of the
// table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velk::stamps {

struct CsvTable {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;  // each as wide as the header
    std::vector<size_t> lines;                   // the line each row starts on, from 1
};

// `bytes` as a table: false with `error` (naming the line) on a quote left
// open, text after a closing quote, no header, or a row of another width.
bool read_csv(const std::vector<uint8_t>& bytes, CsvTable& table, std::string& error);

}  // namespace velk::stamps
