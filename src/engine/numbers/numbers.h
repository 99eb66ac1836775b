// The engine's one reader of numbers written as text: the request's
// addresses, sizes and byte values, an MCUboot setting or version, a CRC's
// parameters, the catalogue's check values, the hex digits of a HEX or
// S-record line and the counters in a hidden file's name. Every grammar a
// number is written in is here, so that "0x1F" reads the same wherever it
// is typed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace velk::numbers {

// What Python's int(value, base) takes, for the bases 10 and 16: blanks
// around it, a sign, a 0x prefix in base 16, and single underscores
// between digits (also after the prefix). A value below 0 or above 64 bits
// is none. The command line's and the API's numbers.
bool read_number(std::string_view value, int base, uint64_t& out);

// Whether `value` starts "0x" or "0X" and more follows: a number in hex,
// not a name.
bool hex_prefixed(std::string_view value);

// 0x and at most 16 hex digits: an address as a build prints it.
bool read_hex_address(std::string_view text, uint64_t& out);

// 0x<hex digits> or <decimal digits>, nothing else (no sign, no blanks),
// at most `limit`: a setting's size or a CRC's parameter.
bool read_plain(std::string_view text, uint64_t limit, uint64_t& out);

// Decimal digits alone, at most `limit` and at most 10 digits: a part of a
// version.
bool read_decimal(std::string_view text, uint64_t limit, uint64_t& out);

// The digits at `at` as a number, `at` moved past them: false without any,
// or with more than `most` of them (more than a process id or a counter
// holds).
bool digits_at(std::string_view text, size_t& at, uint64_t& value, size_t most);

// A hex digit's value, or -1.
int hex_digit(char c);

// Pairs of hex digits as the bytes they stand for, into `out` (replacing
// what it held): a HEX or S-record line's body, an MCUboot TLV's value;
// false on a character that is no hex digit or an odd count.
bool hex_bytes(std::string_view text, std::vector<uint8_t>& out);

}  // namespace velk::numbers
