// What FLASH and CHECK show: report lines on standard output, warnings,
// notes and errors on standard error, each one line; with --json the same
// lines all go to standard error and standard output carries exactly one
// JSON object.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "json.h"

namespace velk {

class Reporter {
public:
    // `input`: the file the run is about, if the command line named one.
    Reporter(const char* mode, std::optional<std::string> input, bool json);

    void line(const std::string& text);
    void warning(const std::string& text);
    void note(const std::string& text);
    // "hint: <text>" on standard error: what to try after a verdict.
    void hint(const std::string& text);
    // "error: <input>: <text>", or "error: <text>" when no input is named.
    void error(const std::string& text);
    void wrote(const std::string& file);

    // The mode's own fields of the JSON object.
    json::Value& data() { return data_; }

    // --json: prints the object with its verdict ("written", "ok",
    // "mismatch", "error").
    void finish(const char* verdict);

private:
    const char* mode_;
    std::optional<std::string> input_;
    bool json_;
    std::string error_;
    std::vector<std::string> files_, warnings_, notes_;
    json::Value data_ = json::Value::object();
};

}  // namespace velk
