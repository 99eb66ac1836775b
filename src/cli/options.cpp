#include "options.h"

namespace velk::cli {

namespace {

struct Flag {
    const char* word;
    bool Options::* field;
    bool flash, check;  // the modes that take it
};

const Flag flags[] = {
    {"--force", &Options::force, true, true}, {"--json", &Options::json, true, true},
    {"--bin", &Options::bin, true, false},    {"--srec", &Options::srec, true, false},
    {"--words", &Options::words, true, true},
};

bool starts_with(const std::string& word, const char* prefix) {
    return word.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

std::string path_root(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < base) return path;
    // Leading dots of the name are no extension (".elf" has none).
    size_t first = path.find_first_not_of('.', base);
    if (first == std::string::npos || dot < first) return path;
    return path.substr(0, dot);
}

std::optional<std::string> input_word(const std::vector<std::string>& words) {
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--elf")
            ++i;  // the build's file, not the input
        else if (words[i].size() < 2 || words[i][0] != '-')
            return words[i];
    }
    return std::nullopt;
}

const char* mode_name(Mode mode) {
    return mode == Mode::flash ? "FLASH" : "CHECK";
}

std::variant<Options, OptionFault> parse(Mode mode,
                                         const std::vector<std::string>& words) {
    Options o;
    o.mode = mode;
    bool have_file = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--help" || word == "-h") {
            o.help = true;
            continue;
        }
        if (word.size() < 2 || word[0] != '-') {
            if (have_file) return OptionFault{OptionFault::two_files, word};
            o.file = word;
            have_file = true;
            continue;
        }
        const Flag* flag = nullptr;
        for (const Flag& f : flags)
            if (word == f.word) flag = &f;
        if (flag) {
            if (!(mode == Mode::flash ? flag->flash : flag->check))
                return OptionFault{OptionFault::not_in_mode, word};
            if (o.*(flag->field)) return OptionFault{OptionFault::repeated, word};
            o.*(flag->field) = true;
            continue;
        }
        if (word == "--elf" || starts_with(word, "--elf=")) {
            if (mode != Mode::check) return OptionFault{OptionFault::not_in_mode, word};
            if (o.has_elf) return OptionFault{OptionFault::repeated, word};
            if (word == "--elf") {
                // An option word after it is not the build's file name.
                if (i + 1 == words.size() ||
                    (words[i + 1].size() > 1 && words[i + 1][0] == '-'))
                    return OptionFault{OptionFault::elf_needs_file, word};
                o.elf = words[++i];
            } else {
                o.elf = word.substr(6);
                if (o.elf.empty()) return OptionFault{OptionFault::elf_needs_file, word};
            }
            o.has_elf = true;
            continue;
        }
        // --n<name>, --a<offset>, --s<block size>: the value follows the letter.
        if (word.size() >= 3 && word[0] == '-' && word[1] == '-' &&
            (word[2] == 'n' || word[2] == 'a' || word[2] == 's')) {
            if (o.selector) return OptionFault{OptionFault::two_selectors, word};
            o.selector = word[2];
            o.value = word.substr(3);
            continue;
        }
        return OptionFault{OptionFault::unknown, word};
    }
    if (o.help) return o;
    if (!have_file) return OptionFault{OptionFault::no_file, ""};
    if (!o.selector) return OptionFault{OptionFault::no_selector, ""};
    return o;
}

}  // namespace velk::cli
