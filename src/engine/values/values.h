// The values of the options that take one, read from what each front was
// given: the command line's words, the Python API's str and int. A value
// that cannot be read comes with the line that refuses it, naming the
// option as its asker gave it; the run throws that line where it comes to
// the value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "../request/request.h"

namespace velk::values {

// "text", as the lines quote a value given.
std::string quoted(const std::string& text);

// --fill 0x<NN>: a byte in hex, with its 0x. On the command line, bare
// digits are refused with the spelling meant.
Read<uint8_t> fill_of_text(const std::string& text, const Asker& asker);
// The API's int, `shown` as a refusal quotes it; none: negative or past
// 64 bits.
Read<uint8_t> fill_of_number(std::optional<uint64_t> number, const std::string& shown,
                             const Asker& asker);

// --base 0x<address>: where a raw binary starts.
Read<uint64_t> base_of_text(const std::string& text, const Asker& asker);
Read<uint64_t> base_of_number(std::optional<uint64_t> number, const std::string& shown,
                              const Asker& asker);

// --entry <file>|0x<address>: a word that starts 0x is an address.
StartAddress entry_of_text(const std::string& text, const Asker& asker);
StartAddress entry_of_number(std::optional<uint64_t> number, const std::string& shown,
                             const Asker& asker);

// --merge <file>[@0x<address>]: a raw binary with where it starts.
MergeFile merge_of_text(const std::string& text, const Asker& asker);

// --uf2 <family>: a family's name or its 0x ID.
Read<uint32_t> family_of_text(const std::string& text, const Asker& asker);

// --stamp <place>=<values>: split at the first '='; the stamps' reader
// refuses what is missing on either side.
StampWord stamp_of_text(const std::string& text, const Asker& asker);

// --count <n>: a device count, 1 or more, in decimal.
Read<uint64_t> count_of_text(const std::string& text, const Asker& asker);
Read<uint64_t> count_of_number(std::optional<uint64_t> number, const std::string& shown,
                               const Asker& asker);

// --crc and a record's =<algorithm>: a catalogue name in any case, or a
// CRC's parameters whose check= (when given) is theirs.
AlgorithmChoice algorithm_of_text(const std::string& text);

}  // namespace velk::values
