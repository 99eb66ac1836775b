// FLASH and CHECK refuse what cannot work with one line that says what to
// do; a stage throws it, the modes' one boundary (run_mode) shows it.
#pragma once

#include <string>

namespace velk {

struct Refusal {
    std::string text;  // without the "error: <file>: " the driver puts first
};

}  // namespace velk
