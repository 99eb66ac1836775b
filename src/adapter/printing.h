// One line out, through the start-up print.
#pragma once

#include <string>

#include "../module/ops.h"

namespace velk {

// One line on standard output, through the start-up print.
void say(const std::string& line);

// One line on the runtime's sys.stderr, through the start-up print;
// nothing when there is none.
void say_to_stderr(const std::string& line);

}  // namespace velk
