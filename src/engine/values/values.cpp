#include "values.h"

#include "../checksum/catalogue.h"
#include "../checksum/method.h"
#include "../checksum/notation.h"
#include "../numbers/numbers.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/option_table.h"
#include "../uf2/uf2.h"

namespace velk::values {

namespace {

using numbers::read_hex_address;
using numbers::read_number;

template <class T>
Read<T> refused(std::string why) {
    return {std::nullopt, std::move(why)};
}

Read<uint8_t> fill_of(std::optional<uint64_t> number, const std::string& shown,
                      const Asker& asker, std::optional<uint64_t> meant) {
    if (number && *number <= 0xFF) return {static_cast<uint8_t>(*number), {}};
    const std::string option = asker.name(Option::fill);
    std::string why =
        option + " takes the byte erased flash reads, 0x00 to 0xFF: " + quoted(shown) +
        " is not one";
    if (meant)
        why += text::format(" (the value takes 0x: %s 0x%02llX)", option.c_str(),
                            static_cast<unsigned long long>(*meant));
    return refused<uint8_t>(why);
}

Read<uint64_t> base_of(std::optional<uint64_t> number, const std::string& shown,
                       const Asker& asker) {
    if (number) return {number, {}};
    return refused<uint64_t>(std::string(asker.name(Option::base)) +
                             " takes the raw binary's first address in hex, as in " +
                             asker.given(Option::base, "0x08000000") + ": " +
                             quoted(shown) + " is not one");
}

Read<uint64_t> entry_address(std::optional<uint64_t> number, const std::string& shown,
                             const Asker& asker) {
    if (number && *number < uint64_t{1} << 32) return {number, {}};
    return refused<uint64_t>(asker.given(Option::entry, shown) +
                             ": not a 32-bit address (0x and up to 8 hex digits)");
}

Read<uint64_t> count_of(std::optional<uint64_t> number, const std::string& shown,
                        const Asker& asker) {
    if (number && *number > 0) return {number, {}};
    return refused<uint64_t>(asker.given(Option::count, shown) +
                             ": not a number of devices (1 or more, in decimal)");
}

}  // namespace

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

Read<uint8_t> fill_of_text(const std::string& text, const Asker& asker) {
    uint64_t fill = 0;
    if (read_hex_address(text, fill)) return fill_of(fill, text, asker, std::nullopt);
    // FF, 80: a dump's bytes, meant in hex; else 255, meant in decimal.
    const bool digits =
        !text.empty() &&
        text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    const bool meant =
        digits && ((read_number(text, 16, fill) && fill <= 0xFF) ||
                   (text.find_first_not_of("0123456789") == std::string::npos &&
                    read_number(text, 10, fill) && fill <= 0xFF));
    return fill_of(std::nullopt, text, asker,
                   !asker.by_keyword() && meant ? std::optional(fill) : std::nullopt);
}

Read<uint8_t> fill_of_number(std::optional<uint64_t> number, const std::string& shown,
                             const Asker& asker) {
    return fill_of(number, shown, asker, std::nullopt);
}

Read<uint64_t> base_of_text(const std::string& text, const Asker& asker) {
    uint64_t base = 0;
    return base_of(read_hex_address(text, base) ? std::optional(base) : std::nullopt,
                   text, asker);
}

Read<uint64_t> base_of_number(std::optional<uint64_t> number, const std::string& shown,
                              const Asker& asker) {
    return base_of(number, shown, asker);
}

StartAddress entry_of_text(const std::string& text, const Asker& asker) {
    StartAddress e;
    e.text = text;
    uint64_t value = 0;
    if (numbers::hex_prefixed(text))
        e.address = entry_address(
            read_hex_address(text, value) ? std::optional(value) : std::nullopt, text,
            asker);
    else
        e.file = text;
    return e;
}

StartAddress entry_of_number(std::optional<uint64_t> number, const std::string& shown,
                             const Asker& asker) {
    // A negative int is no address: looked for among the files by the
    // text it shows, which names none of them.
    if (!number) return entry_of_text(shown, asker);
    StartAddress e;
    e.text = shown;
    e.address = entry_address(number, shown, asker);
    return e;
}

MergeFile merge_of_text(const std::string& text, const Asker& asker) {
    const size_t at = text.rfind('@');
    if (at == std::string::npos || text.size() < at + 3 || text[at + 1] != '0' ||
        (text[at + 2] != 'x' && text[at + 2] != 'X'))
        return {text, std::nullopt};
    const std::string address = text.substr(at + 1);
    uint64_t base = 0;
    if (read_hex_address(address, base))
        return {text.substr(0, at), Read<uint64_t>{base, {}}};
    return {text.substr(0, at),
            refused<uint64_t>(asker.given(Option::merge, text) + ": " + quoted(address) +
                              " is not an address")};
}

Read<uint32_t> family_of_text(const std::string& text, const Asker& asker) {
    const uf2::FamilyChoice choice = uf2::find_family(text);
    if (choice.found) return {choice.id, {}};
    return refused<uint32_t>(asker.given(Option::uf2, text) + ": no such chip family" +
                             wording::did_you_mean(uf2::nearest_families(text)) +
                             "; give another family by its ID as 0x<hex>");
}

AlgorithmChoice algorithm_of_text(const std::string& text) {
    AlgorithmChoice choice;
    choice.text = text;
    if (!checksum::is_notation(text)) {
        const checksum::Algorithm* row = checksum::find(text);
        if (!row)
            choice.refusal = "no checksum algorithm named " + quoted(text) +
                             wording::did_you_mean(checksum::nearest(text)) +
                             "; velk-crc --list-crc lists the names";
        else if (!row->computed())
            choice.refusal = quoted(text) + ": " + row->name() + " is " +
                             std::to_string(row->width()) +
                             " bits wide; velk-crc computes CRCs of up to 64 bits";
        else
            choice.row = row;
        return choice;
    }
    auto read = checksum::read_notation(text);
    if (auto* why = std::get_if<std::string>(&read)) {
        choice.refusal = quoted(text) + ": " + *why;
        return choice;
    }
    const checksum::Notation& n = std::get<checksum::Notation>(read);
    const checksum::Algorithm* row = checksum::crc_with(n.parameters);
    uint64_t check = 0;
    if (row)
        read_number(row->check, 16, check);
    else if (n.check) {
        const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        check = checksum::Crc(n.parameters).of(digits, sizeof digits);
    }
    if (n.check && *n.check != check) {
        choice.refusal =
            row ? text::format(
                      "\"%s\": check=0x%llx, but these parameters (%s's) give 0x%llx "
                      "for \"123456789\": is a parameter mistyped?",
                      text.c_str(), static_cast<unsigned long long>(*n.check),
                      row->name(), static_cast<unsigned long long>(check))
                : text::format(
                      "\"%s\": check=0x%llx, but these parameters give 0x%llx for "
                      "\"123456789\": is a parameter mistyped?",
                      text.c_str(), static_cast<unsigned long long>(*n.check),
                      static_cast<unsigned long long>(check));
        return choice;
    }
    if (row)
        choice.row = row;
    else {
        choice.parameters = std::make_shared<const checksum::Method>(n.parameters);
        choice.name = checksum::notation_of(n.parameters);
    }
    return choice;
}

StampWord stamp_of_text(const std::string& text, const Asker& asker) {
    const size_t equals = text.find('=');
    StampWord w;
    w.place = text.substr(0, equals);
    if (equals != std::string::npos) w.values = text.substr(equals + 1);
    w.word = asker.given(Option::stamp, text);
    return w;
}

Read<uint64_t> count_of_text(const std::string& text, const Asker& asker) {
    uint64_t n = 0;
    const bool digits =
        !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    return count_of(digits && read_number(text, 10, n) ? std::optional(n) : std::nullopt,
                    text, asker);
}

Read<uint64_t> count_of_number(std::optional<uint64_t> number, const std::string& shown,
                               const Asker& asker) {
    return count_of(number, shown, asker);
}

}  // namespace velk::values
