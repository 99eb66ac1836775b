// What velk-crc says of itself: --help, --version, the usage lines, and the
// hint after a command line it refuses.
#pragma once

#include <string>

namespace velk::cli {

// velk-crc --help
std::string help_text();

// The usage lines of --help and where the rest is: what velk-crc alone
// says.
std::string usage_text();

// velk-crc --version
std::string version_text();

// The package's version alone.
const char* version();

// The stderr line after the usage text of a refusal; `mode_word` is what
// stood where the mode belongs (empty when nothing did).
std::string usage_hint(const std::string& mode_word);

}  // namespace velk::cli
