#include "selector.h"

#include "../numbers/numbers.h"
#include "../report/wording.h"
#include "../request/option_table.h"
#include "values.h"

namespace velk {

namespace {

// An offset or block size read, or the line refusing it: a block size is
// a power of two.
Selector& numbered(Selector& s, std::optional<uint64_t> number) {
    const bool offset = s.letter == 'a';
    if (!offset && number && (*number == 0 || (*number & (*number - 1)) != 0))
        number.reset();
    s.number = number;
    if (number) return s;
    if (s.asker.by_keyword())
        s.refusal = s.asker.name(offset ? Option::offset : Option::block) +
                    std::string(": ") + s.value +
                    (offset ? " is not an offset from the image start"
                            : " is not a power of two");
    else
        s.refusal = (offset ? wording::address_rule() : wording::block_rule()) + ": \"" +
                    s.value + "\" is not one";
    return s;
}

// After an '@': a 0x address, else a symbol's name (found in the build).
void read_from(Selector& s) {
    const std::string& from = *s.from;
    uint64_t address = 0;
    if (numbers::hex_prefixed(from) || from == "0x" || from == "0X") {
        if (numbers::read_hex_address(from, address))
            s.from_address.value = address;
        else
            s.from_address.refusal = s.word + ": \"" + from + "\" is not an address";
    } else if (from.empty()) {
        s.from_address.refusal =
            s.word + ": '@' needs where the range starts, a symbol or a 0x address";
    }
}

}  // namespace

Selector read_selector(char letter, const std::string& text, const std::string& word,
                       const Asker& asker) {
    Selector s{letter,       text,         std::nullopt, word, asker,
               std::nullopt, std::nullopt, {},           {}};
    size_t equals = s.value.find('=');
    if (equals != std::string::npos) {
        s.algorithm = values::algorithm_of_text(s.value.substr(equals + 1));
        s.value.resize(equals);
    }
    uint64_t number = 0;
    if (letter == 's')
        return numbered(s, numbers::read_number(s.value, 10, number)
                               ? std::optional(number)
                               : std::nullopt);
    size_t at = s.value.find('@');
    if (at != std::string::npos) {
        s.from = s.value.substr(at + 1);
        s.value.resize(at);
        read_from(s);
    }
    if (letter == 'a')
        return numbered(s, numbers::read_number(s.value, 16, number)
                               ? std::optional(number)
                               : std::nullopt);
    return s;
}

Selector selector_of_number(Option option, std::optional<uint64_t> number,
                            const std::string& shown, const Asker& asker) {
    // The record's letter is its spelling's: --a, --s.
    Selector s{row(option).spelling[2],
               shown,
               std::nullopt,
               asker.given(option, shown),
               asker,
               std::nullopt,
               std::nullopt,
               {},
               {}};
    return numbered(s, number);
}

}  // namespace velk
