// The option words of the FLASH and CHECK modes, in any order after the
// mode word, read into the one request every mode takes.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "modes.h"

namespace velk::cli {

struct OptionFault {
    enum Kind {
        no_file,        // no input file named
        two_files,      // `word`: a second word that is not an option
        unknown,        // `word`: an option word we do not know
        not_in_mode,    // `word`: an option of another mode
        needs_value,    // `word`: an option that takes a value, with nothing after it
        repeated,       // `word`: the same option twice
        response_file,  // `word`: an @<file> that cannot be read, `why` not
    } kind;
    std::string word;
    std::string why = {};
};

struct Parsed {
    Request request;
    bool help = false;  // --help or -h among the words
    bool json = false;  // one JSON object on standard output
};

// `words` are the command line after the mode word, @<file> words among
// them; a word is text as the file system gives it (UTF-8 or not).
std::variant<Parsed, OptionFault> parse(const Mode& mode, const std::vector<std::string>& words);

// The one line that says what is wrong with the words.
std::string fault_text(const OptionFault& fault, const Mode& mode);

// The first word that is not an option: what a refused command line was
// meant to read, for --json.
std::optional<std::string> input_word(const std::vector<std::string>& words);

}  // namespace velk::cli
