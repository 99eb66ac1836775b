// The velk-crc command line of the product's own modes: the words after
// the program name, help and version among them.
#pragma once

#include <string>
#include <vector>

#include "../report/json.h"
#include "../report/reporter.h"
#include "modes.h"

namespace velk::cli {

// The first words the product answers itself (help, version and each
// mode's word, and FLASH or CHECK in another letter case, which
// command_line answers with a hint); any other is VELK mode's.
std::vector<std::string> own_words();

// Runs `words`, its lines printed by `host`; returns the exit status as
// the shell sees it.
int command_line(const std::vector<std::string>& words, Host& host);

// A mode run for a caller that wants the outcome, not the lines (the
// Python API): nothing is printed.
struct Outcome {
    int status;
    json::Value object;  // the report as one JSON object
    std::vector<Reporter::Written> files;
};
Outcome run_quietly(const Mode& mode, const Request& request, Host& host);

}  // namespace velk::cli
