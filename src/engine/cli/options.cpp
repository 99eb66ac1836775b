#include "options.h"

#include "../formats/formats.h"

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
    {"--words", &Request::words, flash | check},
    {"--be", &Request::big_endian, flash | check},
    {"--lpc-vectors", &Request::lpc_vectors, flash | check},
};

// The options that take a value, as the next word or after '='.
struct Valued {
    const char* word;
    std::optional<std::string> Request::*field;
    unsigned modes;
};

const Valued valued[] = {
    {"--elf", &Request::elf, check},
    {"--base", &Request::base, check},
    {"--crc", &Request::crc, flash | check},
    {"--header", &Request::header, flash | check},
    {"--fill", &Request::fill, flash | check},
    {"--uf2", &Request::uf2, flash | check},
    {"--entry", &Request::entry, flash | check},
};

// The format whose option is `word` alone.
const formats::Format* output_flag(const std::string& word) {
    for (const formats::Format* f = formats::begin(); f != formats::end(); ++f)
        if (f->option && word == f->option) return f;
    return nullptr;
}

bool starts_with(const std::string& word, const char* prefix) {
    return word.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

const Valued* valued_option(const std::string& word) {
    for (const Valued& v : valued)
        if (word == v.word) return &v;
    return nullptr;
}

// --n<name>, --a<offset>, --s<block size>: the value follows the letter,
// and where the record's range starts may follow an '@'.
Selector selector_of(const std::string& word) {
    Selector s{word[2], word.substr(3), std::nullopt, word};
    if (s.letter != 's') {
        size_t at = s.value.find('@');
        if (at != std::string::npos) {
            s.from = s.value.substr(at + 1);
            s.value.resize(at);
        }
    }
    return s;
}

// --mcuboot's settings are the next word when it reads as settings
// (key=..., header=...): the option may stand alone before the file's name.
bool mcuboot_settings(const std::vector<std::string>& words, size_t i) {
    return i + 1 < words.size() && words[i + 1].find('=') != std::string::npos &&
           words[i + 1][0] != '-';
}

}  // namespace

std::optional<std::string> input_word(const std::vector<std::string>& words) {
    for (size_t i = 0; i < words.size(); ++i) {
        if (valued_option(words[i]) || words[i] == "--merge" ||
            (words[i] == "--mcuboot" && mcuboot_settings(words, i)))
            ++i;  // the option's value, not the input
        else if (words[i].size() < 2 || words[i][0] != '-')
            return words[i];
    }
    return std::nullopt;
}

std::variant<Parsed, OptionFault> parse(const Mode& mode, const std::vector<std::string>& words) {
    Parsed parsed;
    Request& o = parsed.request;
    bool have_file = false;
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
        // The formats a word of their own asks for: --bin, --srec.
        if (const formats::Format* output = output_flag(word)) {
            if (!(flash & mode.bit)) return OptionFault{OptionFault::not_in_mode, word};
            if (!o.outputs.insert(output->word).second)
                return OptionFault{OptionFault::repeated, word};
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
        // --merge: as many files as there are to merge.
        if (word == "--merge" || starts_with(word, "--merge=")) {
            constexpr size_t length = sizeof "--merge=" - 1;
            if (word.size() >= length) {
                if (word.size() == length)
                    return OptionFault{OptionFault::needs_value, "--merge"};
                o.merge.push_back(word.substr(length));
            } else {
                if (i + 1 == words.size() ||
                    (words[i + 1].size() > 1 && words[i + 1][0] == '-'))
                    return OptionFault{OptionFault::needs_value, "--merge"};
                o.merge.push_back(words[++i]);
            }
            continue;
        }
        if (word == "--mcuboot" || starts_with(word, "--mcuboot=")) {
            if (!(check & mode.bit)) return OptionFault{OptionFault::not_in_mode, "--mcuboot"};
            if (o.mcuboot) return OptionFault{OptionFault::repeated, "--mcuboot"};
            constexpr size_t length = sizeof "--mcuboot=" - 1;
            if (word.size() >= length)
                o.mcuboot = word.substr(length);
            else
                o.mcuboot = mcuboot_settings(words, i) ? words[++i] : "";
            continue;
        }
        const Valued* option = nullptr;
        for (const Valued& v : valued)
            if (word == v.word || starts_with(word, (std::string(v.word) + "=").c_str()))
                option = &v;
        if (option) {
            if (!(option->modes & mode.bit))
                return OptionFault{OptionFault::not_in_mode, option->word};
            std::optional<std::string>& field = o.*(option->field);
            if (field) return OptionFault{OptionFault::repeated, option->word};
            size_t length = std::char_traits<char>::length(option->word);
            if (word.size() == length) {
                // An option word after it is not the option's value.
                if (i + 1 == words.size() ||
                    (words[i + 1].size() > 1 && words[i + 1][0] == '-'))
                    return OptionFault{OptionFault::needs_value, option->word};
                field = words[++i];
            } else {
                if (word.size() == length + 1)
                    return OptionFault{OptionFault::needs_value, option->word};
                field = word.substr(length + 1);
            }
            continue;
        }
        // Records: --n and --a as often as there are slots.
        if (word.size() >= 3 && word[0] == '-' && word[1] == '-' &&
            (word[2] == 'n' || word[2] == 'a' || word[2] == 's')) {
            o.selectors.push_back(selector_of(word));
            continue;
        }
        return OptionFault{OptionFault::unknown, word};
    }
    if (parsed.help) return parsed;
    if (!have_file) return OptionFault{OptionFault::no_file, ""};
    // FLASH's --uf2 asks for the UF2 files, of that family.
    if (o.uf2 && (mode.bit & flash)) o.outputs.insert(formats::uf2().word);
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
        case F::not_in_mode:
            return word + " is not an option of " + mode.word + " (velk-crc --help)";
        case F::needs_value:
            if (f.word == "--elf") return "--elf needs the build's ELF file, as in --elf fw.elf";
            if (f.word == "--base")
                return "--base needs the raw binary's first address, as in --base "
                       "0x08000000";
            if (f.word == "--uf2")
                return "--uf2 needs the chip family, as in --uf2 rp2040";
            if (f.word == "--merge")
                return "--merge needs the file to merge, as in --merge bootloader.hex";
            if (f.word == "--entry")
                return "--entry needs a merged file or a 0x address, as in --entry "
                       "bootloader.hex";
            if (f.word == "--fill")
                return "--fill needs the value erased flash reads, as in --fill 0x00";
            if (f.word == "--crc")
                return "--crc needs an algorithm's name, as in --crc CRC-32/ISO-HDLC "
                       "(velk-crc --list-crc lists them)";
            return "--header needs the header's symbol and fields, as in --header "
                   "app_header:size@8,crc@12,hcrc@16";
        case F::repeated:
            return word + " is given twice";
    }
    return "bad option " + word;
}

}  // namespace velk::cli
