#include "command_line.h"

#include <sys/stat.h>

#include <algorithm>

#include "../../velk/adapter/errors.h"
#include "../../velk/adapter/printing.h"
#include "../../velk/adapter/text.h"
#include "../records/algorithm.h"
#include "../report/reporter.h"
#include "help.h"
#include "options.h"

namespace velk::cli {

namespace {

const char* const help_words[] = {"--help", "-h", "help"};

bool is_help(const std::string& word) {
    return std::find(std::begin(help_words), std::end(help_words), word) !=
           std::end(help_words);
}

// The one line of a command line whose report standard output could not
// take: the run ends with `status`, whatever it found.
int cannot_say(const StdoutFailure& failure, int status, bool written) {
    say_to_stderr("error: cannot write to standard output: " + failure.why +
                  (written ? "; the output files were written" : ""));
    return status;
}

int run(const Mode& mode, const std::vector<std::string>& words) {
    bool json = std::find(words.begin(), words.end(), "--json") != words.end();
    auto parsed = parse(mode, words);
    const Parsed* p = std::get_if<Parsed>(&parsed);
    Reporter report(mode.word, p ? std::optional(p->request.input) : input_word(words),
                    (p ? p->json : json) ? Reporter::Output::json
                                         : Reporter::Output::lines);
    try {
        int status = 0;
        if (!p)
            status = refused(mode, report, fault_text(std::get<OptionFault>(parsed), mode));
        else if (p->help)
            say(help_text());
        else
            status = run_mode(mode, p->request, report);
        flush_stdout();
        return status;
    } catch (const StdoutFailure& failure) {
        return cannot_say(failure, mode.refused, report.committed());
    }
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int list_algorithms() {
    say(records::catalogue_text());
    return 0;
}

// Where the guide installed with the package is: beside velk_crc's
// __init__.py.
int guide_path() {
    std::string path;
    try {
        Ref package = velk::check(PyImport_ImportModule("velk_crc"));
        Ref init = velk::check(PyObject_GetAttrString(package.get(), "__file__"));
        path = utf8_of(init.get());
    } catch (const PythonError&) {
        say_to_stderr("error: cannot find the velk_crc package: " + exception_text(true));
        return 2;
    }
    path = path.substr(0, path.find_last_of('/') + 1) + "guide.md";
    if (!file_exists(path)) {
        say_to_stderr("error: no guide at " + path +
                      ": this installation lacks it; it is docs/guide.md in the sources");
        return 2;
    }
    say(path);
    return 0;
}

// The answer to a first word that names no mode, before standard output is
// flushed.
int answer(const std::string& first) {
    if (first.empty()) {
        say_to_stderr(usage_text());
        return 2;
    }
    if (is_help(first)) {
        say(help_text());
        return 0;
    }
    if (first == "--version") {
        say(version_text());
        return 0;
    }
    if (first == "--list-crc") return list_algorithms();
    if (first == "--guide") return guide_path();
    say_to_stderr("error: no mode: velk-crc FLASH|CHECK|VELK <file> ... (velk-crc --help)");
    return 2;
}

}  // namespace

std::vector<std::string> own_words() {
    std::vector<std::string> words(std::begin(help_words), std::end(help_words));
    words.push_back("--version");
    words.push_back("--list-crc");
    words.push_back("--guide");
    for (const Mode* mode = modes_begin(); mode != modes_end(); ++mode)
        words.push_back(mode->word);
    return words;
}

int command_line(const std::vector<std::string>& words) {
    const std::string first = words.empty() ? "" : words[0];
    if (const Mode* mode = find_mode(first))
        return run(*mode, std::vector<std::string>(words.begin() + 1, words.end()));
    try {
        int status = answer(first);
        flush_stdout();
        return status;
    } catch (const StdoutFailure& failure) {
        // Help, version, the catalogue: what could not be done.
        return cannot_say(failure, 2, false);
    }
}

Outcome run_quietly(const Mode& mode, const std::vector<std::string>& words,
                    const std::string& input) {
    Reporter report(mode.word, input, Reporter::Output::quiet);
    auto parsed = parse(mode, words, input);
    auto* fault = std::get_if<OptionFault>(&parsed);
    int status = fault ? refused(mode, report, fault_text(*fault, mode))
                       : run_mode(mode, std::get<Parsed>(parsed).request, report);
    return {status, report.object()};
}

}  // namespace velk::cli
