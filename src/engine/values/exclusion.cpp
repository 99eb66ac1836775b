#include "exclusion.h"

#include "../base/split.h"
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
    if (colon != std::string::npos) e.records = base::split(text.substr(colon + 1), ',');
    return e;
}

}  // namespace velk
