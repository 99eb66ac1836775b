#include "reporter.h"

#include "../pipeline/adapter.h"
#include "text.h"

namespace velk {

namespace {

// Every line one line: a file name with a line break in it is shown with
// the break escaped (JSON keeps the name as it is).
std::string one_line(const std::string& text) {
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F)
            out += c;
        else
            out += text::format("\\x%02X", u);
    }
    return out;
}

}  // namespace

Reporter::Reporter(const char* mode, std::optional<std::string> input, bool json)
    : mode_(mode), input_(std::move(input)), json_(json) {}

void Reporter::line(const std::string& text) {
    if (json_)
        say_to_stderr(one_line(text));
    else
        say(one_line(text));
}

void Reporter::warning(const std::string& text) {
    warnings_.push_back(text);
    say_to_stderr("warning: " + one_line(text));
}

void Reporter::note(const std::string& text) {
    notes_.push_back(text);
    say_to_stderr("note: " + one_line(text));
}

void Reporter::hint(const std::string& text) {
    say_to_stderr("hint: " + one_line(text));
}

void Reporter::error(const std::string& text) {
    error_ = input_ ? *input_ + ": " + text : text;
    say_to_stderr("error: " + one_line(error_));
}

void Reporter::wrote(const std::string& file) {
    files_.push_back(file);
}

void Reporter::finish(const char* verdict) {
    if (!json_) return;
    json::Value object = json::Value::object();
    object.set("mode", mode_);
    object.set("input", input_ ? json::Value(*input_) : json::Value());
    object.set("verdict", verdict);
    if (!error_.empty()) object.set("message", error_);
    json::Value& files = object.set("files", json::Value::array());
    for (const std::string& f : files_) files.push(f);
    for (const auto& item : data_.items()) object.set(item.first, item.second);
    json::Value& warnings = object.set("warnings", json::Value::array());
    for (const std::string& w : warnings_) warnings.push(w);
    json::Value& notes = object.set("notes", json::Value::array());
    for (const std::string& n : notes_) notes.push(n);
    say(object.dump());
}

}  // namespace velk
