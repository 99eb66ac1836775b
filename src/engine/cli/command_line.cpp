#include "command_line.h"

#include <algorithm>
#include <cctype>

#include "../platform/platform.h"
#include "../records/algorithm.h"
#include "../report/reporter.h"
#include "../request/option_table.h"
#include "help.h"
#include "options.h"

namespace velk::cli {

namespace {

const char* const help_words[] = {"--help", "-h", "help"};

bool is_help(const std::string& word) {
    return std::find(std::begin(help_words), std::end(help_words), word) !=
           std::end(help_words);
}

// The status of a command that SIGPIPE ended.
constexpr int reader_gone_status = 128 + 13;

// The one line of a command line whose report standard output could not
// take: the run ends with `status`, whatever it found. A reader that went
// away before anything was written ends it as SIGPIPE would, silently; once
// the files are in place, their run says so and fails as any other.
int cannot_say(Host& host, const StdoutFailure& failure, int status, bool written) {
    if (failure.reader_gone && !written) return reader_gone_status;
    host.err("error: cannot write to standard output: " + failure.why +
             (written ? "; the output files were written" : ""));
    return status;
}

int run(const Mode& mode, const std::vector<std::string>& words, Host& host) {
    bool json =
        std::find(words.begin(), words.end(), spelled(Option::json)) != words.end();
    auto parsed = parse(mode, words);
    const Parsed* p = std::get_if<Parsed>(&parsed);
    Reporter report(mode.word, p ? std::optional(p->request.input) : input_word(words),
                    (p ? p->json : json) ? Reporter::Output::json : Reporter::Output::lines,
                    host);
    try {
        int status = 0;
        if (!p)
            status = refused(mode, report, fault_text(std::get<OptionFault>(parsed), mode));
        else if (p->help)
            host.out(help_text());
        else
            status = run_mode(mode, p->request, report, host);
        host.flush_out();
        return status;
    } catch (const StdoutFailure& failure) {
        return cannot_say(host, failure, mode.refused, report.committed());
    }
}

// Where the guide installed with the program is.
int guide_path(Host& host) {
    const std::string path = host.guide_path();
    if (path.empty()) {
        host.err("error: cannot find where the guide is installed");
        return 2;
    }
    if (platform::kind_of(path) != platform::Kind::file) {
        host.err("error: no guide at " + path +
                 ": this installation lacks it; it is docs/guide.md in the sources");
        return 2;
    }
    host.out(path);
    return 0;
}

// FLASH or CHECK typed in another letter case: the mode meant, else null.
const Mode* mode_in_other_case(const std::string& word) {
    std::string upper;
    for (char c : word) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper != word ? find_mode(upper) : nullptr;
}

// The status of a mode word mistyped: no checksum went in, so the build
// step fails as VELK mode's refusal does.
constexpr int mistyped_mode = 255;

// The answer to a first word that names no mode, before standard output is
// flushed.
int answer(const std::string& first, Host& host) {
    if (first.empty()) {
        host.err(usage_text());
        return 2;
    }
    if (is_help(first)) {
        host.out(help_text());
        return 0;
    }
    if (first == "--version") {
        host.out(version_text());
        return 0;
    }
    if (first == "--list-crc") {
        host.out(records::catalogue_text());
        return 0;
    }
    if (first == "--guide") return guide_path(host);
    // The hint alone names the mode meant: a usage before it would be
    // VELK mode's, which was not asked for.
    if (mode_in_other_case(first)) {
        host.err(usage_hint(first));
        return mistyped_mode;
    }
    host.err("error: no mode: velk-crc FLASH|CHECK|VELK <file> ... (velk-crc --help)");
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

int command_line(const std::vector<std::string>& words, Host& host) {
    const std::string first = words.empty() ? "" : words[0];
    if (const Mode* mode = find_mode(first))
        return run(*mode, std::vector<std::string>(words.begin() + 1, words.end()), host);
    try {
        int status = answer(first, host);
        host.flush_out();
        return status;
    } catch (const StdoutFailure& failure) {
        // Help, version, the catalogue: what could not be done.
        return cannot_say(host, failure, 2, false);
    }
}

Outcome run_quietly(const Mode& mode, const Request& request, Host& host) {
    Reporter report(mode.word, request.input, Reporter::Output::quiet, host);
    int status = run_mode(mode, request, report, host);
    return {status, report.object(), report.written()};
}

}  // namespace velk::cli
