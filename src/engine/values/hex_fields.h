// Hex fields joined by ':', as the command line and the Python API's str
// both give them: "0483:df11:0200" is the numbers 0x483, 0xDF11 and 0x200.
#pragma once

#include <string>

#include "../request/request.h"

namespace velk {

// Each field of `text` between the ':'s, 1 to 16 hex digits after an
// optional 0x and nothing else (no sign or blank), as its number; any
// other field as none; and how many digits each field has.
// `word` is how a refusal names the value.
HexFields read_hex_fields(const std::string& text, const std::string& word);

}  // namespace velk
