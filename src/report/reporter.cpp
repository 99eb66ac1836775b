#include "reporter.h"

#include "../pipeline/adapter.h"

namespace velk {

Reporter::Reporter(const char* mode, std::string input, bool json)
    : mode_(mode), input_(std::move(input)), json_(json) {}

void Reporter::line(const std::string& text) {
    if (json_)
        say_to_stderr(text);
    else
        say(text);
}

void Reporter::warning(const std::string& text) {
    warnings_.push_back(text);
    say_to_stderr("warning: " + text);
}

void Reporter::note(const std::string& text) {
    notes_.push_back(text);
    say_to_stderr("note: " + text);
}

void Reporter::hint(const std::string& text) {
    say_to_stderr("hint: " + text);
}

void Reporter::error(const std::string& text) {
    error_ = input_.empty() ? text : input_ + ": " + text;
    say_to_stderr("error: " + error_);
}

void Reporter::wrote(const std::string& file) {
    files_.push_back(file);
}

void Reporter::finish(const char* verdict) {
    if (!json_) return;
    json::Value object = json::Value::object();
    object.set("mode", mode_);
    object.set("input", input_.empty() ? json::Value() : json::Value(input_));
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
