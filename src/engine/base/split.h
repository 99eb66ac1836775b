// A list typed as one word: its items between the separators, empty ones
// kept ("a,,b" is three), so a reader refuses what the user left out.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velk::base {

inline std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> items;
    size_t at = 0;
    while (true) {
        const size_t end = text.find(separator, at);
        items.emplace_back(text.substr(at, end == std::string_view::npos ? end : end - at));
        if (end == std::string_view::npos) return items;
        at = end + 1;
    }
}

}  // namespace velk::base
