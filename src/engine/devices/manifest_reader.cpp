// The manifest's JSON walked into entries: each member the ledger writes,
// checked for its kind, so that a hand-edited or damaged manifest is
// refused by the member at fault, not half-believed.
#include "manifest_reader.h"

#include <variant>

#include "../base/json_reader.h"
#include "../numbers/numbers.h"
#include "../report/refusal.h"
#include "../report/text.h"

namespace velk::devices {

namespace {

using json::Node;

class Walk {
public:
    explicit Walk(const std::string& shown) : shown_(shown) {}

    std::vector<Entry> manifest(const Node& root) {
        if (!root.is(Node::Kind::object)) refuse("the manifest", "is not a JSON object");
        const Node& list = member(root, "devices", Node::Kind::array, "the manifest");
        std::vector<Entry> out;
        for (size_t i = 0; i < list.items.size(); ++i)
            out.push_back(entry(list.items[i].second, "devices[" + std::to_string(i) + "]"));
        return out;
    }

private:
    [[noreturn]] void refuse(const std::string& where, const std::string& why) const {
        throw Refusal{shown_ + ": " + where + " " + why +
                      ": not a manifest a devices run wrote"};
    }

    const Node& member(const Node& object, const char* key, Node::Kind kind,
                       const std::string& where) const {
        static const char* const kinds[] = {"null",   "true or false", "a number",
                                            "a string", "an array",    "an object"};
        if (!object.is(Node::Kind::object)) refuse(where, "is not an object");
        const Node* m = object.member(key);
        if (!m) refuse(where, std::string("has no \"") + key + "\"");
        if (!m->is(kind))
            refuse(where + "." + key, std::string("is not ") + kinds[static_cast<int>(kind)]);
        return *m;
    }

    std::string text(const Node& object, const char* key, const std::string& where) const {
        return member(object, key, Node::Kind::text, where).text;
    }

    uint64_t whole(const Node& object, const char* key, const std::string& where) const {
        const Node& n = member(object, key, Node::Kind::number, where);
        if (!n.whole) refuse(where + "." + key, "is not a whole number of 64 bits");
        return *n.whole;
    }

    // Lower-case hex digits, two a byte: the bytes as they lie in memory,
    // from `address` on, which they do not run past.
    std::string bytes(const Node& object, uint64_t address, const std::string& where) const {
        std::string digits = text(object, "bytes", where);
        std::vector<uint8_t> read;
        if (digits.empty() || !numbers::hex_bytes(digits, read))
            refuse(where + ".bytes", "is not hex digits, two a byte");
        if (address + read.size() - 1 < address)
            refuse(where + ".bytes", "runs past the 64-bit address space");
        return digits;
    }

    // What a manifest shows goes to the terminal and names files: text
    // (UTF-8, no lone surrogate) without control characters, and a file
    // plainly in the manifest's own folder. Anything else (a "../" or a
    // folder, an escape sequence, bytes that are no text) was put there by
    // hand, and a file of that name elsewhere is not this manifest's.
    void plain(const std::string& name, bool file, const std::string& where) const {
        bool ok = !name.empty() && utf8(name);
        for (const char c : name) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7F || (file && (c == '/' || c == '\\'))) ok = false;
        }
        if (file && (name == "." || name == "..")) ok = false;
        if (!ok) refuse(where, file ? "is not a file's name in its folder" : "is not a device's id");
    }

    static bool utf8(const std::string& s) {
        for (size_t i = 0; i < s.size();) {
            const auto b = static_cast<unsigned char>(s[i]);
            const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3
                                                                : (b >> 3) == 30 ? 4 : 0;
            if (n == 0 || i + n > s.size()) return false;
            uint32_t code = n == 1 ? b : b & (0x7F >> n);
            for (size_t k = 1; k < n; ++k) {
                const auto c = static_cast<unsigned char>(s[i + k]);
                if ((c >> 6) != 2) return false;
                code = code << 6 | (c & 0x3F);
            }
            static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
            if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                return false;
            i += n;
        }
        return true;
    }

    const Node& list(const Node& object, const char* key, const std::string& where) const {
        return member(object, key, Node::Kind::array, where);
    }

    // The stamps or the records of an entry: each a named place, its value
    // as shown and its bytes.
    template <class Item>
    void places(const Node& e, const char* key, const char* name_key,
                const std::string& where, std::vector<Item>& out) const {
        const Node& items = list(e, key, where);
        for (size_t i = 0; i < items.items.size(); ++i) {
            const Node& p = items.items[i].second;
            const std::string at = where + "." + key + "[" + std::to_string(i) + "]";
            const uint64_t address = whole(p, "address", at);
            out.push_back(
                {text(p, name_key, at), address, text(p, "value", at), bytes(p, address, at)});
        }
    }

    Entry entry(const Node& e, const std::string& where) const {
        Entry out;
        out.id = text(e, "id", where);
        plain(out.id, false, where + ".id");
        out.index = static_cast<size_t>(whole(e, "index", where));
        places(e, "stamps", "place", where, out.stamps);
        places(e, "records", "record", where, out.records);
        const Node& files = list(e, "files", where);
        for (size_t i = 0; i < files.items.size(); ++i) {
            const Node& f = files.items[i].second;
            const std::string at = where + ".files[" + std::to_string(i) + "]";
            Entry::Written w;
            w.name = text(f, "name", at);
            plain(w.name, true, at + ".name");
            const Node* ending = f.member("ending");
            if (ending && ending->is(Node::Kind::text)) w.ending = ending->text;
            w.sha256 = text(f, "sha256", at);
            std::vector<uint8_t> digest;
            if (w.sha256.size() != 64 || !numbers::hex_bytes(w.sha256, digest))
                refuse(at + ".sha256", "is not a SHA-256 (64 hex digits)");
            out.files.push_back(std::move(w));
        }
        return out;
    }

    const std::string& shown_;
};

}  // namespace

std::vector<Entry> read_manifest(const std::vector<uint8_t>& text, const std::string& shown) {
    auto read = json::read_json(reinterpret_cast<const char*>(text.data()), text.size());
    if (const auto* fault = std::get_if<json::ReadFault>(&read))
        throw Refusal{text::format("%s: not JSON at byte %zu: %s", shown.c_str(),
                                   fault->offset, fault->why.c_str())};
    return Walk(shown).manifest(std::get<json::Node>(read));
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const Entry* entry_of_file(const std::vector<Entry>& entries, const std::string& name) {
    for (const Entry& e : entries)
        for (const Entry::Written& f : e.files)
            if (base_name(f.name) == name) return &e;
    return nullptr;
}

}  // namespace velk::devices
