// VELK mode's hints and warnings on standard error, through the start-up print.
#pragma once

#include <string>

#include "../module/ops.h"

namespace velk {

// One line on the runtime's sys.stderr, through the start-up print;
// nothing when there is none.
void say_to_stderr(const std::string& line);

}  // namespace velk
