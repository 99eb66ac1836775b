#include "options.h"

#include "../base/closest.h"
#include "../formats/formats.h"
#include "../report/wording.h"
#include "../request/selector.h"
#include "response_files.h"

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

// The options given as often as there are values, as the next word or
// after '=': each value in the order typed.
struct Repeated {
    const char* word;
    std::vector<std::string> Request::* field;
    unsigned modes;
};

const Repeated repeated[] = {
    {"--merge", &Request::merge, flash | check},
    {"--exclude", &Request::excludes, flash | check},
};

// --n, --a, --s: the record's letter.
bool is_selector_word(const std::string& word) {
    return word.size() >= 3 && word[0] == '-' && word[1] == '-' &&
           (word[2] == 'n' || word[2] == 'a' || word[2] == 's');
}

// A word that cannot be an option's value: another option.
bool is_option(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

// Whether the option `word` takes the next word as its value.
bool takes_next(const std::string& word) {
    if (valued_option(word) || (is_selector_word(word) && word.size() == 3)) return true;
    for (const Repeated& r : repeated)
        if (word == r.word) return true;
    return false;
}

// A CRC's parameters may come as several words, as the catalogue writes
// them with spaces (and as a response file's line splits them): after
// --crc width=..., each word that is one more field of it.
bool more_parameters(const std::string& word) {
    static const char* const fields[] = {"poly=",   "init=",  "refin=", "refout=",
                                         "xorout=", "check=", "residue=", "name="};
    for (const char* f : fields)
        if (starts_with(word, f)) return true;
    return false;
}

size_t parameter_words(const std::vector<std::string>& words, size_t value) {
    size_t n = 0;
    if (starts_with(words[value], "width=") || starts_with(words[value], "--crc=width="))
        while (value + n + 1 < words.size() && more_parameters(words[value + n + 1])) ++n;
    return n;
}

// --mcuboot's settings are the next word when it reads as settings
// (key=..., header=..., or a list that starts with a bare pad or confirm):
// the option may stand alone before the file's name.
bool mcuboot_settings(const std::vector<std::string>& words, size_t i) {
    if (i + 1 >= words.size() || words[i + 1].empty() || words[i + 1][0] == '-') return false;
    const std::string& next = words[i + 1];
    const std::string first = next.substr(0, next.find(','));
    return next.find('=') != std::string::npos || first == "pad" || first == "confirm";
}

// Every option word `mode` takes, for the suggestion after a mistyped one.
std::vector<std::string> option_words(const Mode& mode) {
    std::vector<std::string> words = {"--help", "--json", "--mcuboot"};
    for (const formats::Format* f = formats::begin(); f != formats::end(); ++f)
        if (f->option && (flash & mode.bit)) words.push_back(f->option);
    for (const Flag& f : flags)
        if (f.modes & mode.bit) words.push_back(f.word);
    for (const Valued& v : valued)
        if (v.modes & mode.bit) words.push_back(v.word);
    for (const Repeated& r : repeated)
        if (r.modes & mode.bit) words.push_back(r.word);
    return words;
}

}  // namespace

std::optional<std::string> input_word(const std::vector<std::string>& typed) {
    auto expanded = expand_response_files(typed);
    const std::vector<std::string>* read =
        std::get_if<std::vector<std::string>>(&expanded);
    const std::vector<std::string>& words = read ? *read : typed;
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--crc" && i + 1 < words.size())
            i += 1 + parameter_words(words, i + 1);  // the value, not the input
        else if (starts_with(words[i], "--crc="))
            i += parameter_words(words, i);
        else if (takes_next(words[i]) ||
                 (words[i] == "--mcuboot" && mcuboot_settings(words, i)))
            ++i;  // the option's value, not the input
        else if (words[i].size() < 2 || words[i][0] != '-')
            return words[i];
    }
    return std::nullopt;
}

std::variant<Parsed, OptionFault> parse(const Mode& mode,
                                        const std::vector<std::string>& typed) {
    auto expanded = expand_response_files(typed);
    if (const ResponseFault* fault = std::get_if<ResponseFault>(&expanded))
        return OptionFault{OptionFault::response_file, fault->file, fault->why};
    const std::vector<std::string>& words = std::get<std::vector<std::string>>(expanded);
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
        // --merge, --exclude: as many values as there are.
        const Repeated* many = nullptr;
        for (const Repeated& r : repeated)
            if (word == r.word || starts_with(word, (std::string(r.word) + "=").c_str()))
                many = &r;
        if (many) {
            if (!(many->modes & mode.bit))
                return OptionFault{OptionFault::not_in_mode, many->word};
            const size_t length = std::char_traits<char>::length(many->word);
            if (word.size() == length + 1)
                return OptionFault{OptionFault::needs_value, many->word};
            if (word.size() > length) {
                (o.*(many->field)).push_back(word.substr(length + 1));
                continue;
            }
            if (i + 1 == words.size() || is_option(words[i + 1]))
                return OptionFault{OptionFault::needs_value, many->word};
            (o.*(many->field)).push_back(words[++i]);
            continue;
        }
        if (word == "--mcuboot" || starts_with(word, "--mcuboot=")) {
            if (!((flash | check) & mode.bit))
                return OptionFault{OptionFault::not_in_mode, "--mcuboot"};
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
            if (option->field == &Request::crc)
                for (size_t n = parameter_words(words, i); n; --n)
                    *field += " " + words[++i];
            continue;
        }
        // Records: --n and --a as often as there are slots, the value
        // glued to the letter or the next word.
        if (is_selector_word(word)) {
            std::string text = word.substr(3), typed = word;
            if (text.empty()) {
                if (i + 1 == words.size() || is_option(words[i + 1]))
                    return OptionFault{OptionFault::needs_value, word};
                text = words[++i];
                typed = word + text;
            }
            o.selectors.push_back(
                read_selector(word[2], text, typed, Front::command_line));
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
        case F::unknown: {
            // --mcubot=key=...: the option's word is before the value.
            const std::string typed = f.word.substr(0, f.word.find('='));
            const std::vector<std::string> closest =
                base::closest_names(typed, option_words(mode));
            if (!closest.empty()) return "unknown option " + word + wording::did_you_mean(closest);
            return "unknown option " + word + " (velk-crc --help lists the options)";
        }
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
            if (f.word == "--exclude")
                return "--exclude needs the bytes to leave out, as in --exclude "
                       "0x08000100-0x08000200 or --exclude <symbol>";
            if (f.word == "--n")
                return "--n needs the checksum variable, as in --n crc_value";
            if (f.word == "--a")
                return "--a needs the checksum's hex offset in its image, as in --a 1FFC";
            if (f.word == "--s") return "--s needs the block size, as in --s 1024";
            if (f.word == "--entry")
                return "--entry needs a merged file or a 0x address, as in --entry "
                       "bootloader.hex";
            if (f.word == "--mcuboot")
                return "--mcuboot needs its settings, as in --mcuboot "
                       "key=signing-key.pem,header=0x200,slot=0x40000";
            if (f.word == "--fill")
                return "--fill needs the value erased flash reads, as in --fill 0x00";
            if (f.word == "--crc")
                return "--crc needs an algorithm's name, as in --crc CRC-32/ISO-HDLC "
                       "(velk-crc --list-crc lists them), or a CRC's parameters, as in --crc "
                       "width=16,poly=0x1021,init=0,refin=false,refout=false,xorout=0";
            return "--header needs the header's symbol and fields, as in --header "
                   "app_header:size@8,crc@12,hcrc@16";
        case F::repeated:
            return word + " is given twice";
        case F::response_file:
            return "cannot read the response file " + word + ": " + f.why;
    }
    return "bad option " + word;
}

}  // namespace velk::cli
