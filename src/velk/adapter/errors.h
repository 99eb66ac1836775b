// Pending exceptions taken and worded; an OSError raised from errno.
#pragma once

#include <string>

#include "../module/ops.h"

namespace velk {

// The pending exception, normalised and taken (the error indicator is
// clear afterwards).
Ref take_exception();

// The text of the pending exception, which is taken: "Type: message" with
// its type's name, else the message alone.
std::string exception_text(bool with_type);

// The pending OSError, which is taken: its strerror ("No such file or
// directory") and the file it names, if any.
struct OsErrorText {
    std::string why;
    bool has_filename;
    std::string filename;
};
OsErrorText take_os_error();

// OSError for errno `error`, naming `filename`.
[[noreturn]] void raise_os_error(int error, PyObject* filename);

}  // namespace velk
