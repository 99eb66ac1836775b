// FLASH and CHECK refuse what cannot work with one line that says what to
// do; a stage throws it, the modes' one boundary (run_mode) shows it.
#pragma once

#include <string>

#include "../request/request.h"

namespace velk {

struct Refusal {
    std::string text;  // without the "error: <file>: " the driver puts first
};

// The value its front read, or the front's line refusing it.
template <class T>
const T& read_or_refuse(const Read<T>& read) {
    if (!read.value) throw Refusal{read.refusal};
    return *read.value;
}

// A fault of the tool that it caught itself before it did harm: FLASH found
// that a file it was about to put in place would fail its own check.
// Nothing was written; the run ends with an "internal error:" line and
// internal_error_status, which a CI job can tell from a refusal.
struct InternalError {
    std::string text;  // without the "error: internal error: " put first
};

// EX_SOFTWARE of <sysexits.h>: the program's own fault.
constexpr int internal_error_status = 70;

}  // namespace velk
