// The modes of the product, one row each: the word that names it, the
// driver that runs it and what its exit statuses are. The command line and
// the Python API find a mode here and run it through one boundary.
#pragma once

#include <string_view>

#include "../../velk/module/entry.h"
#include "request.h"

namespace velk {

class Reporter;

// Each mode's bit, for the tables of what each option is for.
namespace mode_bit {
constexpr unsigned flash = 1u << 0;
constexpr unsigned check = 1u << 1;
}  // namespace mode_bit

struct Mode {
    const char* word;  // "FLASH"
    unsigned bit;      // which options take it (cli's flag table)
    // Tells the reporter everything and gives the exit status of a run that
    // was not refused; throws Refusal for one that was.
    int (*run)(const Request& request, Reporter& report);
    int refused;                // the exit status of a refusal
    Entry entry;                // the traceback entry of a fault of the tool
    const char* out_of_memory;  // what running out of memory cost, when it wrote nothing
    // A Python Exception that stops a command-line run: a refusal that says
    // so ("could not check it: ..."), or with null a fault of the tool,
    // shown with its traceback. From the Python API it is raised as it is.
    const char* stopped_by_exception;
    // The line of a run the user interrupted (Ctrl-C): what it left.
    const char* interrupted;
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
// end as one error line and the mode's refusal status. A Python exception
// other than MemoryError (Ctrl-C among them) goes on to the caller with a
// traceback entry of the mode, unless the mode words it as a refusal on
// the command line (stopped_by_exception).
int run_mode(const Mode& mode, const Request& request, Reporter& report);

// The drivers.
int flash_crc_calc(const Request& request, Reporter& report);
int check_crc(const Request& request, Reporter& report);

}  // namespace velk
