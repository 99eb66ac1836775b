// The option words of the command line's FLASH and CHECK modes, in any
// order after the mode word.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace velk::cli {

enum class Mode { flash, check };

struct Options {
    Mode mode = Mode::flash;
    std::string file;  // the one word that is not an option
    // The selector as typed: 'n', 'a' or 's' and the text after it.
    char selector = 0;
    std::string value;
    std::string elf;  // CHECK --elf: the build the file is checked against
    bool has_elf = false;
    bool force = false;  // FLASH: write what the checks refuse; CHECK: a huge range
    bool json = false;
    bool bin = false;    // FLASH: also <root>_CRC.bin
    bool srec = false;   // FLASH: also <root>_CRC.srec
    bool words = false;  // the checksum fed 32-bit words
    bool help = false;   // --help or -h among the words
};

struct OptionFault {
    enum Kind {
        no_file,         // no input file named
        two_files,       // `word`: a second word that is not an option
        unknown,         // `word`: an option word we do not know
        two_selectors,   // `word`: a second --n, --a or --s
        no_selector,     // no --n, --a or --s
        not_in_mode,     // `word`: an option of the other mode
        elf_needs_file,  // --elf with no file after it
        repeated,        // `word`: the same option twice
    } kind;
    std::string word;
};

// `words` are the command line after the mode word; a word is text as the
// file system gives it (UTF-8 or not).
std::variant<Options, OptionFault> parse(Mode mode,
                                         const std::vector<std::string>& words);

const char* mode_name(Mode mode);

// The path without its last extension, as os.path.splitext splits it: the
// root the output files are named after.
std::string path_root(const std::string& path);

// The first word that is not an option: what a refused command line was
// meant to read, for --json.
std::optional<std::string> input_word(const std::vector<std::string>& words);

}  // namespace velk::cli
