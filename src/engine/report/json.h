// The one JSON object --json prints: a small tree and its text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velk::json {

class Value {
public:
    Value() = default;  // null
    Value(bool b) : kind_(Kind::boolean), number_(b) {}
    Value(uint64_t n) : kind_(Kind::number), number_(n) {}
    // Text in UTF-8; bytes that are not (a file name's) come out as \udcXX,
    // the way Python's surrogateescape reads them.
    Value(std::string s) : kind_(Kind::text), text_(std::move(s)) {}
    Value(const char* s) : Value(std::string(s)) {}

    static Value array() { return Value(Kind::array); }
    static Value object() { return Value(Kind::object); }

    // Arrays: appends. Objects: sets `key`, keeping the first position.
    Value& push(Value v);
    Value& set(const std::string& key, Value v);

    // An object's or array's items, in order (array items have empty keys).
    const std::vector<std::pair<std::string, Value>>& items() const { return items_; }

    std::string dump() const;

    enum class Kind { null, boolean, number, text, array, object };
    Kind kind() const { return kind_; }
    bool boolean() const { return number_ != 0; }
    uint64_t number() const { return number_; }
    const std::string& text() const { return text_; }

private:
    explicit Value(Kind k) : kind_(k) {}
    void write(std::string& out) const;

    Kind kind_ = Kind::null;
    uint64_t number_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, Value>> items_;
};

}  // namespace velk::json
