// A JSON text (RFC 8259) read into a tree: what a devices run's manifest
// holds, read back by CHECK at the station. Pure: text in, a tree or the
// reason and the byte offset where the text stops being JSON out. A
// damaged or hostile file is a fault, never a crash: nesting is bounded,
// and every read stays inside the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace velk::json {

struct Node {
    enum class Kind { null, boolean, number, text, array, object };
    Kind kind = Kind::null;
    bool boolean = false;
    std::string text;              // a string's UTF-8; a number as written
    std::optional<uint64_t> whole;  // a number that is a whole one from 0 to 2^64 - 1
    std::vector<std::pair<std::string, Node>> items;  // array items have empty keys

    // An object's member `key` (the first, where a key repeats), or null.
    const Node* member(const std::string& key) const;
    bool is(Kind k) const { return kind == k; }
};

struct ReadFault {
    size_t offset;    // the byte where the text stops being JSON
    std::string why;  // "a string is not closed"
};

// Nesting deeper than this is refused: no manifest needs more than four.
constexpr size_t deepest = 64;

std::variant<Node, ReadFault> read_json(const char* text, size_t size);

}  // namespace velk::json
