// Reading an Intel HEX file back into memory, for verification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velk::hexfile {

// Contiguous data, in ascending address order, never overlapping.
struct Run {
    uint64_t address;
    std::vector<uint8_t> bytes;

    uint64_t end() const { return address + bytes.size(); }
};

struct HexContents {
    // Data, start address and end-of-file records (types 00, 04, 05, 01)
    // with good hex digits, lengths and checksums, no address written
    // twice. Anything else is irregular: the reading stops at `line` and
    // the runs are empty.
    bool regular = false;
    size_t line = 0;
    bool end_of_file = false;  // an end-of-file record was read
    std::vector<Run> runs;
};

// Reads the records of `text` up to the end-of-file record; what follows
// it is not read. Blank lines are skipped; "\n" and "\r\n" both end a line.
HexContents read_intel_hex(const char* text, size_t size);

// Whether any line of `text` is a well-formed end-of-file record: a file
// without one was cut short, whatever else it holds.
bool contains_end_of_file(const char* text, size_t size);

}  // namespace velk::hexfile
