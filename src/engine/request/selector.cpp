#include "selector.h"

namespace velk {

Selector read_selector(char letter, const std::string& text, const std::string& word,
                       Front front) {
    Selector s{letter, text, std::nullopt, word, front, std::nullopt};
    size_t equals = s.value.find('=');
    if (equals != std::string::npos) {
        s.algorithm = s.value.substr(equals + 1);
        s.value.resize(equals);
    }
    if (letter == 's') return s;
    size_t at = s.value.find('@');
    if (at != std::string::npos) {
        s.from = s.value.substr(at + 1);
        s.value.resize(at);
    }
    return s;
}

}  // namespace velk
