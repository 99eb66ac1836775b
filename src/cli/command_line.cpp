#include "command_line.h"

#include <sys/stat.h>

#include <algorithm>

#include "../adapter/errors.h"
#include "../adapter/printing.h"
#include "../adapter/text.h"
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

int run(const Mode& mode, const std::vector<std::string>& words) {
    bool json = std::find(words.begin(), words.end(), "--json") != words.end();
    auto parsed = parse(mode, words);
    if (auto* fault = std::get_if<OptionFault>(&parsed)) {
        Reporter report(mode.word, input_word(words),
                        json ? Reporter::Output::json : Reporter::Output::lines);
        return refused(mode, report, fault_text(*fault, mode));
    }
    const Parsed& p = std::get<Parsed>(parsed);
    if (p.help) {
        say(help_text());
        return 0;
    }
    Reporter report(mode.word, p.request.input,
                    p.json ? Reporter::Output::json : Reporter::Output::lines);
    return run_mode(mode, p.request, report);
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The catalogue, or the one line that says why it cannot be read.
int list_algorithms() {
    std::string text;
    try {
        text = records::catalogue_text();
    } catch (const PythonError&) {
        say_to_stderr("error: cannot read crcmod's catalogue: " + exception_text(true));
        return 2;
    }
    say(text);
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
    if (words.empty()) {
        say_to_stderr(usage_text());
        return 2;
    }
    const std::string first = words[0];
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
    const Mode* mode = find_mode(first);
    if (!mode) {
        say_to_stderr(
            "error: no mode: velk-crc FLASH|CHECK|VELK <file> ... (velk-crc --help)");
        return 2;
    }
    return run(*mode, std::vector<std::string>(words.begin() + 1, words.end()));
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
