#include "closest.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace velk::base {

namespace {

// Edit distance in half steps: a change of letter case costs 1, any other
// change 2. Gives up above `limit`.
size_t distance(const std::string& a, const std::string& b, size_t limit) {
    size_t gap = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    if (2 * gap > limit) return limit + 1;
    std::vector<size_t> row(b.size() + 1), next(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = 2 * j;
    for (size_t i = 1; i <= a.size(); ++i) {
        next[0] = 2 * i;
        size_t best = next[0];
        for (size_t j = 1; j <= b.size(); ++j) {
            char x = a[i - 1], y = b[j - 1];
            size_t change = x == y ? 0
                            : std::tolower(static_cast<unsigned char>(x)) ==
                                    std::tolower(static_cast<unsigned char>(y))
                                ? 1
                                : 2;
            next[j] = std::min({row[j] + 2, next[j - 1] + 2, row[j - 1] + change});
            best = std::min(best, next[j]);
        }
        if (best > limit) return limit + 1;
        std::swap(row, next);
    }
    return row[b.size()];
}

// A third of the name may be wrong, and at least one letter (in half steps).
size_t most_distance(const std::string& wanted) {
    return 2 * std::max<size_t>(1, wanted.size() / 3);
}

constexpr size_t longest_name = 256;

}  // namespace

size_t longest_close_name(const std::string& wanted) {
    if (wanted.size() > longest_name) return 0;
    return wanted.size() + most_distance(wanted) / 2;
}

std::vector<std::string> closest_names(const std::string& wanted,
                                       const std::vector<std::string>& names,
                                       size_t limit) {
    if (wanted.size() > longest_name) return {};
    const size_t most = most_distance(wanted);
    std::vector<std::pair<size_t, size_t>> found;  // distance, index
    for (size_t i = 0; i < names.size(); ++i) {
        size_t d = distance(wanted, names[i], most);
        if (d <= most) found.emplace_back(d, i);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::string> out;
    for (const auto& f : found) {
        const std::string& name = names[f.second];
        if (std::find(out.begin(), out.end(), name) != out.end()) continue;
        out.push_back(name);
        if (out.size() == limit) break;
    }
    return out;
}

}  // namespace velk::base
