// A recursive descent over the RFC 8259 grammar, bounded in depth.
#include "json_reader.h"

namespace velk::json {

const Node* Node::member(const std::string& key) const {
    if (kind != Kind::object) return nullptr;
    for (const auto& item : items)
        if (item.first == key) return &item.second;
    return nullptr;
}

namespace {

struct Fault {
    size_t offset;
    const char* why;
};

class Reader {
public:
    Reader(const char* text, size_t size) : p_(text), size_(size) {}

    Node document() {
        // A UTF-8 byte order mark is no part of JSON, but some editors
        // write one; the RFC lets a reader skip it.
        if (size_ >= 3 && static_cast<unsigned char>(p_[0]) == 0xEF &&
            static_cast<unsigned char>(p_[1]) == 0xBB && static_cast<unsigned char>(p_[2]) == 0xBF)
            at_ = 3;
        Node root = value(0);
        space();
        if (at_ != size_) fail("text after the JSON value");
        return root;
    }

private:
    [[noreturn]] void fail(const char* why) const { throw Fault{at_, why}; }

    bool more() const { return at_ < size_; }
    char peek() const { return p_[at_]; }

    void space() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++at_;
    }

    void word(const char* w) {
        for (; *w; ++w, ++at_)
            if (!more() || peek() != *w) fail("not a JSON value");
    }

    Node value(size_t depth) {
        space();
        if (!more()) fail("the text ends where a value should be");
        Node n;
        switch (peek()) {
            case '{':
                return object(depth + 1);
            case '[':
                return array(depth + 1);
            case '"':
                n.kind = Node::Kind::text;
                n.text = string();
                return n;
            case 't':
                word("true");
                n.kind = Node::Kind::boolean;
                n.boolean = true;
                return n;
            case 'f':
                word("false");
                n.kind = Node::Kind::boolean;
                return n;
            case 'n':
                word("null");
                return n;
            default:
                if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return number();
                fail("not a JSON value");
        }
    }

    Node object(size_t depth) {
        if (depth > deepest) fail("nested too deep");
        ++at_;
        Node n;
        n.kind = Node::Kind::object;
        space();
        if (more() && peek() == '}') {
            ++at_;
            return n;
        }
        for (;;) {
            space();
            if (!more() || peek() != '"') fail("an object's key is not a string");
            std::string key = string();
            space();
            if (!more() || peek() != ':') fail("no ':' after an object's key");
            ++at_;
            n.items.emplace_back(std::move(key), value(depth));
            space();
            if (!more()) fail("an object is not closed");
            if (peek() == '}') {
                ++at_;
                return n;
            }
            if (peek() != ',') fail("no ',' or '}' after an object's member");
            ++at_;
        }
    }

    Node array(size_t depth) {
        if (depth > deepest) fail("nested too deep");
        ++at_;
        Node n;
        n.kind = Node::Kind::array;
        space();
        if (more() && peek() == ']') {
            ++at_;
            return n;
        }
        for (;;) {
            n.items.emplace_back(std::string(), value(depth));
            space();
            if (!more()) fail("an array is not closed");
            if (peek() == ']') {
                ++at_;
                return n;
            }
            if (peek() != ',') fail("no ',' or ']' after an array's item");
            ++at_;
        }
    }

    bool digit() const { return more() && peek() >= '0' && peek() <= '9'; }

    Node number() {
        const size_t from = at_;
        bool whole = true;
        if (peek() == '-') {
            whole = false;
            ++at_;
        }
        if (!digit()) fail("a number has no digits");
        if (peek() == '0') {
            ++at_;
            if (digit()) fail("a number starts with 0");
        } else {
            while (digit()) ++at_;
        }
        if (more() && peek() == '.') {
            whole = false;
            ++at_;
            if (!digit()) fail("no digits after a number's '.'");
            while (digit()) ++at_;
        }
        if (more() && (peek() == 'e' || peek() == 'E')) {
            whole = false;
            ++at_;
            if (more() && (peek() == '+' || peek() == '-')) ++at_;
            if (!digit()) fail("no digits in a number's exponent");
            while (digit()) ++at_;
        }
        Node n;
        n.kind = Node::Kind::number;
        n.text.assign(p_ + from, at_ - from);
        if (whole) {
            uint64_t v = 0;
            bool fits = true;
            for (char c : n.text) {
                const uint64_t d = static_cast<uint64_t>(c - '0');
                if (v > (UINT64_MAX - d) / 10) fits = false;
                v = v * 10 + d;
            }
            if (fits) n.whole = v;
        }
        return n;
    }

    unsigned hex4() {
        unsigned v = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            if (!more()) fail("a string ends inside a \\u escape");
            const char c = peek();
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<unsigned>(c - 'A' + 10);
            else
                fail("a \\u escape is not 4 hex digits");
        }
        return v;
    }

    static void utf8(std::string& out, uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    // A \u escape, a surrogate pair taken whole. A lone surrogate is kept
    // as its three bytes, as Python's json module keeps it.
    void escaped_unit(std::string& out) {
        uint32_t c = hex4();
        if (c >= 0xD800 && c < 0xDC00 && at_ + 1 < size_ && p_[at_] == '\\' &&
            p_[at_ + 1] == 'u') {
            const size_t back = at_;
            at_ += 2;
            const uint32_t low = hex4();
            if (low >= 0xDC00 && low < 0xE000) {
                utf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                return;
            }
            at_ = back;
        }
        utf8(out, c);
    }

    std::string string() {
        ++at_;  // the opening quote
        std::string out;
        for (;;) {
            if (!more()) fail("a string is not closed");
            const unsigned char c = static_cast<unsigned char>(peek());
            if (c == '"') {
                ++at_;
                return out;
            }
            if (c < 0x20) fail("a control character inside a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++at_;
                continue;
            }
            ++at_;
            if (!more()) fail("a string ends inside an escape");
            const char e = peek();
            ++at_;
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': escaped_unit(out); break;
                default:
                    --at_;
                    fail("an unknown escape in a string");
            }
        }
    }

    const char* p_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace

std::variant<Node, ReadFault> read_json(const char* text, size_t size) {
    try {
        return Reader(text, size).document();
    } catch (const Fault& fault) {
        return ReadFault{fault.offset, fault.why};
    }
}

}  // namespace velk::json
