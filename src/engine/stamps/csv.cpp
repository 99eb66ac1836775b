// The CSV reader of the stamps: one pass over the file's bytes, a field at
// a time.
#include "csv.h"

#include "../report/text.h"

namespace velk::stamps {

namespace {

// The rows as written, each with the line it starts on.
struct Rows {
    std::vector<std::vector<std::string>> cells;
    std::vector<size_t> lines;
};

bool split_rows(const std::vector<uint8_t>& bytes, Rows& rows, std::string& error) {
    size_t at = 0, line = 1;
    const size_t end = bytes.size();
    if (end >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) at = 3;
    while (at < end) {
        rows.cells.emplace_back();
        rows.lines.push_back(line);
        std::vector<std::string>& row = rows.cells.back();
        while (true) {  // a field
            std::string field;
            if (at < end && bytes[at] == '"') {
                const size_t opened = line;
                ++at;
                while (true) {
                    if (at == end) {
                        error = text::format("line %zu: a quoted field is never closed",
                                             opened);
                        return false;
                    }
                    const char c = static_cast<char>(bytes[at++]);
                    if (c == '"') {
                        if (at < end && bytes[at] == '"') {
                            field += '"';
                            ++at;
                            continue;
                        }
                        break;
                    }
                    if (c == '\n') ++line;
                    field += c;
                }
                if (at < end && bytes[at] != ',' && bytes[at] != '\n' &&
                    !(bytes[at] == '\r' && at + 1 < end && bytes[at + 1] == '\n')) {
                    error = text::format(
                        "line %zu: text after a quoted field's closing quote", line);
                    return false;
                }
            } else {
                while (at < end && bytes[at] != ',' && bytes[at] != '\n' &&
                       !(bytes[at] == '\r' && at + 1 < end && bytes[at + 1] == '\n'))
                    field += static_cast<char>(bytes[at++]);
            }
            row.push_back(std::move(field));
            if (at < end && bytes[at] == ',') {
                ++at;
                continue;
            }
            if (at < end) at += bytes[at] == '\r' ? 2 : 1;  // the line's end
            ++line;
            break;
        }
    }
    return true;
}

bool blank(const std::vector<std::string>& row) {
    return row.size() == 1 && row[0].empty();
}

}  // namespace

bool read_csv(const std::vector<uint8_t>& bytes, CsvTable& table, std::string& error) {
    Rows rows;
    if (!split_rows(bytes, rows, error)) return false;
    // A file that ends in blank lines has them from an editor, not a device.
    while (!rows.cells.empty() && blank(rows.cells.back())) {
        rows.cells.pop_back();
        rows.lines.pop_back();
    }
    if (rows.cells.empty()) {
        error = "the file is empty: it needs a header row naming the columns";
        return false;
    }
    table.header = std::move(rows.cells[0]);
    const size_t width = table.header.size();
    for (size_t r = 1; r < rows.cells.size(); ++r) {
        std::vector<std::string>& row = rows.cells[r];
        // Cells past the header's that are empty are a spreadsheet's
        // trailing commas; one that holds text means a field's comma was
        // not quoted, and every cell after it is in the wrong column.
        while (row.size() > width && row.back().empty()) row.pop_back();
        if (row.size() != width) {
            error =
                text::format("line %zu has %zu cells, but the header names %zu columns",
                             rows.lines[r], row.size(), width);
            return false;
        }
        table.rows.push_back(std::move(row));
        table.lines.push_back(rows.lines[r]);
    }
    return true;
}

}  // namespace velk::stamps
