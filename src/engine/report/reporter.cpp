#include "reporter.h"

#include "secrets.h"
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

Reporter::Reporter(const char* mode, std::optional<std::string> input, Output output,
                   Host& host)
    : mode_(mode), input_(std::move(input)), output_(output), host_(host) {}

void Reporter::line(const std::string& text) {
    if (output_ == Output::lines)
        host_.out(one_line(text));
    else
        to_stderr(text);
}

void Reporter::stream(const std::string& text) {
    if (output_ != Output::json) return;
    host_.out(text);
    host_.flush_out();
}

void Reporter::warning(const std::string& text) {
    warnings_.push_back(text);
    to_stderr("warning: " + text);
}

void Reporter::note(const std::string& text) {
    notes_.push_back(text);
    to_stderr("note: " + text);
}

void Reporter::hint(const std::string& text) {
    // Several records may earn the same hint: it is said once.
    for (const std::string& said : hints_)
        if (said == text) return;
    hints_.push_back(text);
    to_stderr("hint: " + text);
}

void Reporter::error(const std::string& text) {
    // A refusal may echo what was typed, a token's URI with its PIN too.
    error_ = secrets::masked_pins(input_ ? *input_ + ": " + text : text);
    to_stderr("error: " + error_);
}

void Reporter::to_stderr(const std::string& text) {
    if (output_ != Output::quiet) host_.err(one_line(text));
}

void Reporter::wrote(Written file) {
    files_.push_back(std::move(file));
}

void Reporter::finish(const char* verdict) {
    json::Value object = json::Value::object();
    object.set("mode", mode_);
    object.set("input", input_ ? json::Value(*input_) : json::Value());
    object.set("verdict", verdict);
    if (!error_.empty()) object.set("message", error_);
    json::Value& files = object.set("files", json::Value::array());
    for (const Written& f : files_) files.push(f.path);
    for (const auto& item : data_.items()) object.set(item.first, item.second);
    json::Value& warnings = object.set("warnings", json::Value::array());
    for (const std::string& w : warnings_) warnings.push(w);
    json::Value& notes = object.set("notes", json::Value::array());
    for (const std::string& n : notes_) notes.push(n);
    json::Value& hints = object.set("hints", json::Value::array());
    for (const std::string& h : hints_) hints.push(h);
    object_ = std::move(object);
    if (output_ == Output::json) host_.out(object_.dump());
}

}  // namespace velk
