// One line out, through the start-up print.
#pragma once

#include <string>

#include "../module/ops.h"

namespace velk {

// One line through the start-up print: on standard output, or standard
// error (sys looked up at use).
void say(const std::string& line);

// One line through the start-up print: on standard output, or standard
// error (sys looked up at use).
void say(const std::string& line);
void say_to_stderr(const std::string& line);

}  // namespace velk
