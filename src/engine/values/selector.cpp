#include "selector.h"

#include "../numbers/numbers.h"
#include "values.h"

namespace velk {

Selector read_selector(char letter, const std::string& text, const std::string& word,
                       const Asker& asker) {
    Selector s{letter, text, std::nullopt, word, asker, std::nullopt, std::nullopt};
    size_t equals = s.value.find('=');
    if (equals != std::string::npos) {
        s.algorithm = values::algorithm_of_text(s.value.substr(equals + 1));
        s.value.resize(equals);
    }
    uint64_t number = 0;
    if (letter == 's') {
        if (numbers::read_number(s.value, 10, number)) s.number = number;
        return s;
    }
    size_t at = s.value.find('@');
    if (at != std::string::npos) {
        s.from = s.value.substr(at + 1);
        s.value.resize(at);
    }
    if (letter == 'a' && numbers::read_number(s.value, 16, number)) s.number = number;
    return s;
}

}  // namespace velk
