// One line out, through the start-up print.
#pragma once

#include <string>

#include "../../engine/run/host.h"
#include "../module/ops.h"

namespace velk {

// One line on standard output, through the start-up print. Refuses
// (StdoutFailure) when standard output cannot take it; a closed pipe's
// BrokenPipeError goes on, and the command line ends as SIGPIPE would end
// it.
void say(const std::string& line);

// Writes out what standard output holds back, the last step of a command
// line; refuses as say() does.
void flush_stdout();

// One line on the runtime's sys.stderr, through the start-up print;
// nothing when there is none.
void say_to_stderr(const std::string& line);

}  // namespace velk
