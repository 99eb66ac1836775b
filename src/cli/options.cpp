#include "options.h"

namespace velk::cli {

namespace {

// The on/off options: their word, what they set and the modes that take
// them (by the mode's bit).
struct Flag {
    const char* word;
    bool Request::*field;
    unsigned modes;
};

using mode_bit::check;
using mode_bit::flash;

const Flag flags[] = {
    {"--force", &Request::force, flash | check},
    {"--bin", &Request::bin, flash},
    {"--srec", &Request::srec, flash},
    {"--words", &Request::words, flash | check},
};

// The option that names the build a file is checked against.
constexpr unsigned elf_modes = check;

bool starts_with(const std::string& word, const char* prefix) {
    return word.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

std::optional<std::string> input_word(const std::vector<std::string>& words) {
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--elf")
            ++i;  // the build's file, not the input
        else if (words[i].size() < 2 || words[i][0] != '-')
            return words[i];
    }
    return std::nullopt;
}

std::variant<Parsed, OptionFault> parse(const Mode& mode,
                                        const std::vector<std::string>& words,
                                        const std::optional<std::string>& input) {
    Parsed parsed;
    Request& o = parsed.request;
    bool have_file = input.has_value();
    if (input) o.input = *input;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--help" || word == "-h") {
            parsed.help = true;
            continue;
        }
        if (word == "--json") {  // every mode's: how the outcome is shown
            if (parsed.json) return OptionFault{OptionFault::repeated, word};
            parsed.json = true;
            continue;
        }
        if (word.size() < 2 || word[0] != '-') {
            if (have_file) return OptionFault{OptionFault::two_files, word};
            o.input = word;
            have_file = true;
            continue;
        }
        const Flag* flag = nullptr;
        for (const Flag& f : flags)
            if (word == f.word) flag = &f;
        if (flag) {
            if (!(flag->modes & mode.bit))
                return OptionFault{OptionFault::not_in_mode, word};
            if (o.*(flag->field)) return OptionFault{OptionFault::repeated, word};
            o.*(flag->field) = true;
            continue;
        }
        if (word == "--elf" || starts_with(word, "--elf=")) {
            if (!(elf_modes & mode.bit))
                return OptionFault{OptionFault::not_in_mode, word};
            if (o.elf) return OptionFault{OptionFault::repeated, word};
            if (word == "--elf") {
                // An option word after it is not the build's file name.
                if (i + 1 == words.size() ||
                    (words[i + 1].size() > 1 && words[i + 1][0] == '-'))
                    return OptionFault{OptionFault::elf_needs_file, word};
                o.elf = words[++i];
            } else {
                if (word.size() == 6)
                    return OptionFault{OptionFault::elf_needs_file, word};
                o.elf = word.substr(6);
            }
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
    if (parsed.help) return parsed;
    if (!have_file) return OptionFault{OptionFault::no_file, ""};
    if (!o.selector) return OptionFault{OptionFault::no_selector, ""};
    return parsed;
}

std::string fault_text(const OptionFault& f, const Mode& mode) {
    using F = OptionFault;
    const std::string word = "\"" + f.word + "\"";
    switch (f.kind) {
        case F::no_file:
            return std::string("no input file: velk-crc ") + mode.word +
                   " <file> --n<variable>|--a<offset>|--s<block size>";
        case F::two_files:
            return "unexpected word " + word + ": one input file only (velk-crc --help)";
        case F::unknown:
            return "unknown option " + word + " (velk-crc --help lists the options)";
        case F::two_selectors:
            return "two selectors (the second is " + word +
                   "): give one of --n<variable>, --a<offset>, --s<block size>";
        case F::no_selector:
            return "no selector: give --n<variable>, --a<hex offset> or --s<block size>";
        case F::not_in_mode:
            return word + " is not an option of " + mode.word + " (velk-crc --help)";
        case F::elf_needs_file:
            return "--elf needs the build's ELF file, as in --elf fw.elf";
        case F::repeated:
            return word + " is given twice";
    }
    return "bad option " + word;
}

}  // namespace velk::cli
