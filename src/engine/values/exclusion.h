// An exclusion's text read into its parts, as the command line and the
// Python API's str both give it: "0x08000100-0x08000200:app_crc" is the
// bytes [0x08000100, 0x08000200) cut from the record app_crc alone.
#pragma once

#include <string>

#include "../request/request.h"

namespace velk {

// `text` is <from>-<to> or a symbol, then after a ':' the records, ','
// between them; `word` is how a refusal names it.
Exclusion read_exclusion(const std::string& text, const std::string& word);

}  // namespace velk
