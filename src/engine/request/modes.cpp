#include "modes.h"

#include <new>
#include <stdexcept>

#include "../../velk/adapter/errors.h"
#include "../../velk/module/calls.h"
#include "../report/refusal.h"
#include "../report/reporter.h"

namespace velk {

namespace {

const Mode modes[] = {
    {"FLASH", mode_bit::flash, flash_crc_calc, 255, Entry::flash,
     "out of memory; nothing was written", nullptr,
     "interrupted; the output files are all new or all as they were"},
    {"CHECK", mode_bit::check, check_crc, 2, Entry::check,
     "out of memory while checking it", "could not check it", "interrupted; no verdict"},
};

std::string out_of_memory(const Mode& mode, const Reporter& report) {
    return report.committed() ? "out of memory after the files were written"
                              : mode.out_of_memory;
}

}  // namespace

int refused(const Mode& mode, Reporter& report, const std::string& text) {
    report.error(text);
    report.finish("error");
    return mode.refused;
}

const Mode* find_mode(std::string_view word) {
    for (const Mode& mode : modes)
        if (word == mode.word) return &mode;
    return nullptr;
}

const Mode* modes_begin() {
    return std::begin(modes);
}

const Mode* modes_end() {
    return std::end(modes);
}

int run_mode(const Mode& mode, const Request& request, Reporter& report) {
    try {
        return mode.run(request, report);
    } catch (const Refusal& refusal) {
        return refused(mode, report, refusal.text);
    } catch (const std::bad_alloc&) {
        return refused(mode, report, out_of_memory(mode, report));
    } catch (const PythonError&) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            return refused(mode, report, out_of_memory(mode, report));
        }
        // A closed standard output is no verdict on the file: the command
        // line ends as a command killed by SIGPIPE does.
        if (mode.stopped_by_exception && !report.quiet() &&
            PyErr_ExceptionMatches(PyExc_Exception) &&
            !PyErr_ExceptionMatches(PyExc_BrokenPipeError))
            return refused(
                mode, report,
                std::string(mode.stopped_by_exception) + ": " + exception_text(true));
        add_traceback(mode.entry);
        throw;
    } catch (const std::exception& e) {
        return refused(mode, report,
                       std::string("internal error: ") + e.what() +
                           (report.committed() ? " (after the files were written)" : ""));
    }
}

}  // namespace velk
