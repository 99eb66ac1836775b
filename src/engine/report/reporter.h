// What FLASH and CHECK show: report lines on standard output, warnings,
// notes and errors on standard error, each one line; with --json the same
// lines all go to standard error and standard output carries exactly one
// JSON object.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../run/host.h"
#include "json.h"
#include "warnings.h"

namespace velk {

class Reporter final : public Warnings {
public:
    enum class Output {
        lines,  // report lines on standard output, the rest on standard error
        json,   // the lines on standard error, the object on standard output
        quiet,  // nothing printed: the object is kept for the caller
    };

    // `input`: the file the run is about, if the command line named one;
    // `host` prints the lines.
    Reporter(const char* mode, std::optional<std::string> input, Output output, Host& host);

    void line(const std::string& text);
    void warning(const std::string& text) override;
    void note(const std::string& text) override;
    // "hint: <text>" on standard error: what to try after a verdict.
    void hint(const std::string& text) override;
    // "error: <input>: <text>", or "error: <text>" when no input is named.
    void error(const std::string& text);
    // A file the run wrote: its format's name ("Intel HEX", "raw binary")
    // and, for a raw binary, the address of its first byte.
    struct Written {
        std::string path;
        const char* format;
        std::optional<uint64_t> base;
    };
    void wrote(Written file);
    const std::vector<Written>& written() const { return files_; }

    // With --json, a line of its own on standard output ahead of the
    // object, as a long run goes (a devices run's device made); nothing
    // otherwise.
    void stream(const std::string& text);

    // The mode's own fields of the JSON object.
    json::Value& data() { return data_; }

    // The run's files are in place (said before anything else can fail).
    void commit() noexcept { committed_ = true; }
    bool committed() const { return committed_; }

    // Nothing is printed: a caller takes the object.
    bool quiet() const { return output_ == Output::quiet; }
    // The object is printed (--json) or handed to the caller (the API):
    // what only the object says is worth computing.
    bool keeps_object() const { return output_ != Output::lines; }

    // Makes the object with its verdict ("written", "ok", "mismatch",
    // "error"); prints it with --json.
    void finish(const char* verdict);

    // The object finish() made.
    const json::Value& object() const { return object_; }

private:
    void to_stderr(const std::string& text);

    const char* mode_;
    std::optional<std::string> input_;
    Output output_;
    Host& host_;
    bool committed_ = false;
    std::string error_;
    std::vector<Written> files_;
    std::vector<std::string> warnings_, notes_, hints_;
    json::Value data_ = json::Value::object();
    json::Value object_;
};

}  // namespace velk
