// Suggestions for a mistyped name: a symbol, an option, an algorithm, a
// UF2 family.
#pragma once

#include <string>
#include <vector>

namespace velk::base {

// Up to `limit` of `names` closest to `wanted` by edit distance (letter
// case counting half), nearest first, ties in table order; names too far
// to be a typo of it are left out.
std::vector<std::string> closest_names(const std::string& wanted,
                                       const std::vector<std::string>& names,
                                       size_t limit = 3);

// The longest name that can be close to `wanted`: the names worth listing.
// Nothing is close to a name longer than any symbol's (256 characters).
size_t longest_close_name(const std::string& wanted);

}  // namespace velk::base
