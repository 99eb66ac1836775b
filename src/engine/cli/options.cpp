#include "options.h"

#include <algorithm>
#include <set>

#include "../base/closest.h"
#include "../mcuboot/settings.h"
#include "../report/wording.h"
#include "../values/exclusion.h"
#include "../values/hex_fields.h"
#include "../request/option_table.h"
#include "../values/header_layout.h"
#include "../values/selector.h"
#include "../values/values.h"
#include "response_files.h"

namespace velk::cli {

namespace {

using mode_bit::flash;

bool starts_with(const std::string& word, const char* prefix) {
    return word.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// --n, --a, --s: the record's letter; the row of the record it places.
const OptionRow* record_row(const std::string& word) {
    if (word.size() < 3 || word[0] != '-' || word[1] != '-') return nullptr;
    for (const OptionRow* r = options_begin(); r != options_end(); ++r)
        if (is_record(r->value) && word[2] == r->spelling[2]) return r;
    return nullptr;
}

// A mistyped option that starts as a record does (--nrf-setings, or
// --nxp_mbi after the API's keyword): an option's spelling with '_' for
// '-', or a name with a '-', which no variable has, close to an option of
// the mode.
bool mistyped_option(const std::string& word, unsigned mode) {
    std::string name = word.substr(0, word.find_first_of("@="));
    if (name.find('-', 2) != std::string::npos)
        return !base::closest_names(name, suggested_words(mode)).empty();
    std::replace(name.begin(), name.end(), '_', '-');
    return row_of_word(name) != nullptr;
}

// A word that cannot be an option's value: another option.
bool is_option(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

// Whether the option `word` takes the next word as its value.
bool takes_next(const std::string& word) {
    if (const OptionRow* r = row_of_word(word))
        return word == r->spelling && r->needs && r->value != Value::settings;
    return record_row(word) && word.size() == 3;
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

// The words of a CRC's parameters after the one at `value`.
size_t parameter_words(const std::vector<std::string>& words, size_t value) {
    const std::string crc_equals = std::string(row(Option::crc).spelling) + "=";
    size_t n = 0;
    if (starts_with(words[value], "width=") ||
        starts_with(words[value], (crc_equals + "width=").c_str()))
        while (value + n + 1 < words.size() && more_parameters(words[value + n + 1])) ++n;
    return n;
}

// An MCUboot image's settings are the next word when it reads as settings
// (key=..., header=..., or a list that starts with a bare pad or confirm):
// the option may stand alone before the file's name.
bool mcuboot_settings(const std::vector<std::string>& words, size_t i) {
    if (i + 1 >= words.size() || words[i + 1].empty() || words[i + 1][0] == '-') return false;
    const std::string& next = words[i + 1];
    const mcuboot::SettingRow* first = mcuboot::setting_row(next.substr(0, next.find(',')));
    return next.find('=') != std::string::npos || (first && !first->valued);
}

// The value of an option that takes one, read into the request.
void read_value(Request& o, Option option, const std::string& value) {
    const Asker& asker = command_line_asker;
    switch (option) {
        case Option::crc:
            o.crc = values::algorithm_of_text(value);
            break;
        case Option::header:
            o.header = values::header_of_text(value, asker);
            break;
        case Option::fill:
            o.fill = values::fill_of_text(value, asker);
            break;
        case Option::uf2:
            o.uf2 = values::family_of_text(value, asker);
            break;
        case Option::base:
            o.base = values::base_of_text(value, asker);
            break;
        case Option::entry:
            o.entry = values::entry_of_text(value, asker);
            break;
        case Option::merge:
            o.merge.push_back(values::merge_of_text(value, asker));
            break;
        case Option::stamp:
            o.stamps.push_back(values::stamp_of_text(value, asker));
            break;
        case Option::count:
            o.count = values::count_of_text(value, asker);
            break;
        case Option::exclude:
            o.excludes.push_back(
                read_exclusion(value, asker.given(Option::exclude, value)));
            break;
        default: {
            const OptionRow& r = row(option);
            if (r.value == Value::hex_fields)
                o.*(r.fields) = read_hex_fields(value, asker.given(option, value));
            else if (r.repeats)
                (o.*(r.texts)).push_back(value);
            else
                o.*(r.text) = value;
        }
    }
}

}  // namespace

std::optional<std::string> input_word(const std::vector<std::string>& typed) {
    auto expanded = expand_response_files(typed);
    const std::vector<std::string>* read =
        std::get_if<std::vector<std::string>>(&expanded);
    const std::vector<std::string>& words = read ? *read : typed;
    const std::string crc = row(Option::crc).spelling;
    for (size_t i = 0; i < words.size(); ++i) {
        const OptionRow* r = row_of_word(words[i]);
        if (words[i] == crc && i + 1 < words.size())
            i += 1 + parameter_words(words, i + 1);  // the value, not the input
        else if (r && r->value == Value::algorithm)
            i += parameter_words(words, i);
        else if (takes_next(words[i]) ||
                 (r && r->value == Value::settings && words[i] == r->spelling &&
                  mcuboot_settings(words, i)))
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
    std::set<Option> valued;  // the options given a value
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "-h") {
            parsed.help = true;
            continue;
        }
        if (word.size() < 2 || word[0] != '-') {
            if (have_file) return OptionFault{OptionFault::two_files, word};
            o.input = word;
            have_file = true;
            continue;
        }
        const OptionRow* r = row_of_word(word);
        if (!r) {
            // Records: --n and --a as often as there are slots, the value
            // glued to the letter or the next word.
            const OptionRow* record = record_row(word);
            if (!record || (word.size() > 3 && mistyped_option(word, mode.bit)))
                return OptionFault{OptionFault::unknown, word};
            std::string text = word.substr(3), typed = word;
            if (text.empty()) {
                if (i + 1 == words.size() || is_option(words[i + 1]))
                    return OptionFault{OptionFault::needs_value, word};
                text = words[++i];
                typed = word + text;
            }
            o.selectors.push_back(
                read_selector(word[2], text, typed, command_line_asker));
            continue;
        }
        const std::string spelling = r->spelling;
        if (!(r->modes & mode.bit)) return OptionFault{OptionFault::not_in_mode, spelling};
        switch (r->value) {
            case Value::asked_help:
                parsed.help = true;
                continue;
            case Value::shown:  // every mode's: how the outcome is shown
                if (parsed.json) return OptionFault{OptionFault::repeated, word};
                parsed.json = true;
                continue;
            case Value::output:  // the formats a word of their own asks for
                if (!o.outputs.insert(r->output).second)
                    return OptionFault{OptionFault::repeated, word};
                continue;
            case Value::on:
                if (o.*(r->on)) return OptionFault{OptionFault::repeated, word};
                o.*(r->on) = true;
                continue;
            case Value::settings:  // an MCUboot image's
                if (o.mcuboot) return OptionFault{OptionFault::repeated, spelling};
                if (word.size() > spelling.size())
                    o.mcuboot = mcuboot::settings_of_word(word.substr(spelling.size() + 1));
                else if (mcuboot_settings(words, i))
                    o.mcuboot = mcuboot::settings_of_word(words[++i]);
                else
                    o.mcuboot = McubootSettings{};  // CHECK's, alone
                continue;
            default:
                break;
        }
        // An option with a value, as the next word or after '='.
        if (!r->repeats && !valued.insert(r->option).second)
            return OptionFault{OptionFault::repeated, spelling};
        std::string value;
        if (word.size() == spelling.size()) {
            // An option word after it is not the option's value.
            if (i + 1 == words.size() || is_option(words[i + 1]))
                return OptionFault{OptionFault::needs_value, spelling};
            value = words[++i];
        } else {
            if (word.size() == spelling.size() + 1)
                return OptionFault{OptionFault::needs_value, spelling};
            value = word.substr(spelling.size() + 1);
        }
        if (r->value == Value::algorithm)
            for (size_t n = parameter_words(words, i); n; --n) value += " " + words[++i];
        read_value(o, r->option, value);
    }
    if (parsed.help) return parsed;
    if (!have_file) return OptionFault{OptionFault::no_file, ""};
    // FLASH's options whose value asks for a format's files as it gives
    // them their value (--uf2 <family>, --dfu <ids>).
    if (mode.bit & flash)
        for (Option given : valued)
            if (const char* output = row(given).output) o.outputs.insert(output);
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
                base::closest_names(typed, suggested_words(mode.bit));
            if (!closest.empty()) return "unknown option " + word + wording::did_you_mean(closest);
            return "unknown option " + word + " (velk-crc --help lists the options)";
        }
        case F::not_in_mode:
            return word + " is not an option of " + mode.word + " (velk-crc --help)";
        case F::needs_value: {
            const OptionRow* r = row_of_word(f.word);
            if (!r) r = record_row(f.word);
            return f.word + " needs " + (r && r->needs ? r->needs : "a value");
        }
        case F::repeated:
            return word + " is given twice";
        case F::response_file:
            return "cannot read the response file " + word + ": " + f.why;
    }
    return "bad option " + word;
}

}  // namespace velk::cli
