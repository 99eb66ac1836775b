// An OSError raised from errno, as open() raises it.
#pragma once

#include "../module/ops.h"

namespace velk {

// OSError for errno `error`, naming `filename`.
[[noreturn]] void raise_os_error(int error, PyObject* filename);

}  // namespace velk
