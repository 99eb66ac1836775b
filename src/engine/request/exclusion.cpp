#include "exclusion.h"

#include "../numbers/numbers.h"

namespace velk {

Exclusion read_exclusion(const std::string& text, const std::string& word) {
    Exclusion e;
    e.word = word;
    const size_t colon = text.find(':');
    const std::string bytes = text.substr(0, colon);
    if (numbers::hex_prefixed(bytes)) {
        const size_t dash = bytes.find('-');
        const bool read = dash != std::string::npos &&
                          numbers::read_hex_address(bytes.substr(0, dash), e.from) &&
                          numbers::read_hex_address(bytes.substr(dash + 1), e.to);
        e.bytes = read ? Exclusion::Bytes::range : Exclusion::Bytes::unreadable;
    } else {
        e.symbol = bytes;
    }
    if (colon == std::string::npos) return e;
    e.records.emplace();
    const std::string list = text.substr(colon + 1);
    size_t at = 0;
    do {
        const size_t comma = std::min(list.find(',', at), list.size());
        e.records->push_back(list.substr(at, comma - at));
        at = comma + 1;
    } while (at <= list.size());
    return e;
}

}  // namespace velk
