// One line out, through the start-up print.
#pragma once

#include <string>

#include "../module/ops.h"

namespace velk {

// Standard output could not take the lines (a full disk, /dev/full):
// `why` is the system's word for it. A closed pipe is not this: its
// BrokenPipeError goes on, and the command line ends as SIGPIPE would end
// it.
struct StdoutFailure {
    std::string why;
};

// One line on standard output, through the start-up print. Refuses
// (StdoutFailure) when standard output cannot take it.
void say(const std::string& line);

// Writes out what standard output holds back, the last step of a command
// line; refuses as say() does.
void flush_stdout();

// One line on the runtime's sys.stderr, through the start-up print;
// nothing when there is none.
void say_to_stderr(const std::string& line);

}  // namespace velk
