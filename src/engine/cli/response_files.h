// @<file>: more words for FLASH and CHECK from a file, as gcc and srec_cat
// read them, so that a long list of records lives in the repository beside
// the linker script. Words are split at white space, one or more a line;
// a '#' at a word's start comments out the rest of its line; quotes keep
// white space inside a word. A file may name another with @.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace velk::cli {

// Why a response file gives no words: its name as typed, and the reason.
struct ResponseFault {
    std::string file;
    std::string why;
};

// `words` with each @<file> replaced by the words the file holds.
std::variant<std::vector<std::string>, ResponseFault> expand_response_files(
    const std::vector<std::string>& words);

}  // namespace velk::cli
