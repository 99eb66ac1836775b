// The JSON reader against texts whose reading RFC 8259 fixes: every kind of
// value, escapes and surrogate pairs worked out by hand (U+1F600 is
// F0 9F 98 80 in UTF-8), and damaged texts with the byte where each stops
// being JSON.
#include <string>
#include <variant>

#include "../../src/engine/base/json_reader.h"
#include "checks.h"

// Named, not anonymous: a unity build joins this file with the test
// program's own.
namespace json_texts {

using velk::json::Node;

int failures = 0;

void expect(bool ok, const std::string& what) {
    engine_checks::count(ok, "json: ", what, failures);
}

const Node* read(const std::string& text, size_t* fault = nullptr) {
    static std::variant<Node, velk::json::ReadFault> kept;
    kept = velk::json::read_json(text.data(), text.size());
    if (auto* f = std::get_if<velk::json::ReadFault>(&kept)) {
        if (fault) *fault = f->offset;
        return nullptr;
    }
    return &std::get<Node>(kept);
}

void values() {
    struct Case {
        std::string text, string;  // a string's UTF-8
    };
    const Case strings[] = {
        {R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t"},
        {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        {R"("\ud83dx")", "\xED\xA0\xBD" "x"},  // a lone high surrogate, kept
        {"\"caf\xC3\xA9\"", "caf\xC3\xA9"},
    };
    for (const Case& c : strings) {
        const Node* n = read(c.text);
        expect(n && n->is(Node::Kind::text) && n->text == c.string, c.text);
    }
    const Node* n = read(" {\"a\": [1, -2, 3.5e-1, 18446744073709551615, 18446744073709551616,"
                         " true, false, null, {}, []], \"a\": 0}\n");
    expect(n && n->is(Node::Kind::object) && n->items.size() == 2, "an object");
    const Node* a = n ? n->member("a") : nullptr;
    expect(a && a->is(Node::Kind::array) && a->items.size() == 10, "the first of a key");
    if (!a || a->items.size() != 10) return;
    const auto& i = a->items;
    expect(i[0].second.whole == 1u && !i[1].second.whole && !i[2].second.whole &&
               i[2].second.text == "3.5e-1",
           "numbers");
    expect(i[3].second.whole == UINT64_MAX && !i[4].second.whole, "64 bits and past them");
    expect(i[5].second.is(Node::Kind::boolean) && i[5].second.boolean &&
               !i[6].second.boolean && i[7].second.is(Node::Kind::null),
           "true, false and null");
}

void faults() {
    struct Case {
        std::string text;
        size_t offset;
    };
    const Case cases[] = {
        {"", 0},           {"  ", 2},         {"{", 1},          {"{\"a\"}", 4},
        {"[1,]", 3},       {"[01]", 2},       {"-", 1},          {"1.", 2},
        {"1e", 2},         {"\"\\x\"", 2},    {"\"\\u12G4\"", 5}, {"\"a", 2},
        {"\"\x01\"", 1},   {"tru", 3},        {"nul", 3},        {"[1] 2", 4},
        {"{\"a\":1,}", 7}, {"{1:2}", 1},
    };
    for (const Case& c : cases) {
        size_t at = SIZE_MAX;
        const Node* n = read(c.text, &at);
        expect(!n && at == c.offset, "\"" + c.text + "\" stops at " + std::to_string(at) +
                                         ", not " + std::to_string(c.offset));
    }
    // Nesting: as deep as the reader goes, and one deeper.
    const size_t deepest = velk::json::deepest;
    expect(read(std::string(deepest, '[') + std::string(deepest, ']')) != nullptr,
           "nesting as deep as allowed");
    size_t at = 0;
    expect(!read(std::string(deepest + 1, '[') + std::string(deepest + 1, ']'), &at) &&
               at == deepest,
           "nesting one deeper");
    expect(!read(std::string(1 << 20, '['), &at) && at == deepest, "a megabyte of '['");
}

}  // namespace json_texts

// The failures found, each said on stderr.
int json_reader_test() {
    json_texts::values();
    json_texts::faults();
    return json_texts::failures;
}
