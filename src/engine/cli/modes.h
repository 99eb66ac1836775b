// The modes of the product, one row each: the word that names it, the
// driver that runs it and what its exit statuses are. The command line and
// the Python API find a mode here and run it through one boundary.
#pragma once

#include <string_view>

#include "../run/host.h"
#include "../request/request.h"

namespace velk {

class Reporter;

struct Mode {
    const char* word;  // "FLASH"
    unsigned bit;      // which options take it (cli's flag table)
    // Tells the reporter everything and gives the exit status of a run that
    // was not refused; throws Refusal for one that was. `host` answers
    // whether the user stopped it.
    int (*run)(const Request& request, Reporter& report, Host& host);
    int refused;                // the exit status of a refusal
    const char* out_of_memory;  // what running out of memory cost, when it wrote nothing
    // The line of a run the user interrupted (Ctrl-C): what it left.
    const char* interrupted;
    // The same for a run that writes a set of files per device (--stamp),
    // where the mode has one: whole devices are left, and how to go on.
    const char* interrupted_devices = nullptr;
};

// The mode named `word` exactly, or null.
const Mode* find_mode(std::string_view word);

// Every mode, in the order help lists them.
const Mode* modes_begin();
const Mode* modes_end();

// Tells the reporter the one error line of a refusal; the mode's refusal
// status.
int refused(const Mode& mode, Reporter& report, const std::string& text);

// Runs `mode`: a Refusal, an out-of-memory and an unexpected C++ exception
// (a fault of the tool) end as one error line and the mode's refusal
// status; an InternalError as one line and internal_error_status. Interrupted, StdoutFailure and what the host throws go on to the
// caller.
int run_mode(const Mode& mode, const Request& request, Reporter& report, Host& host);

// The drivers.
int run_flash(const Request& request, Reporter& report, Host& host);
int run_check(const Request& request, Reporter& report, Host& host);

}  // namespace velk
