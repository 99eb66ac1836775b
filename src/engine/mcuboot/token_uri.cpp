#include "token_uri.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "../numbers/numbers.h"
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "../report/secrets.h"

namespace velk::mcuboot {

namespace {

constexpr char scheme[] = "pkcs11:";
// RFC 7512's attributes, the ones that pick a token or a key and those that
// say how to reach it, and those a signing run has no use for.
enum class Attribute {
    token, manufacturer, serial, model, slot_id, object, id, type,
    pin_value, module_path, unsupported,
};

struct AttributeRow {
    const char* name;
    Attribute attribute;
    bool query;           // after the '?'
    const char* instead;  // for one a signing run does not take: what to give
};

constexpr const char* pick_token =
    "pick the token with token=, manufacturer=, serial=, model= or slot-id=";

const AttributeRow attribute_rows[] = {
    {"token", Attribute::token, false, nullptr},
    {"manufacturer", Attribute::manufacturer, false, nullptr},
    {"serial", Attribute::serial, false, nullptr},
    {"model", Attribute::model, false, nullptr},
    {"slot-id", Attribute::slot_id, false, nullptr},
    {"object", Attribute::object, false, nullptr},
    {"id", Attribute::id, false, nullptr},
    {"type", Attribute::type, false, nullptr},
    {"library-manufacturer", Attribute::unsupported, false, pick_token},
    {"library-description", Attribute::unsupported, false, pick_token},
    {"library-version", Attribute::unsupported, false, pick_token},
    {"slot-manufacturer", Attribute::unsupported, false, pick_token},
    {"slot-description", Attribute::unsupported, false, pick_token},
    {"pin-value", Attribute::pin_value, true, nullptr},
    {"module-path", Attribute::module_path, true, nullptr},
    {"pin-source", Attribute::unsupported, true,
     "give the PIN in VELK_PKCS11_PIN or pin-value="},
    {"module-name", Attribute::unsupported, true,
     "give the module's file in VELK_PKCS11_MODULE or module-path="},
};

// "token, manufacturer, ... before the '?', pin-value and module-path after
// it": the attributes taken.
std::string taken() {
    std::string out;
    for (bool query : {false, true}) {
        std::vector<const char*> names;
        for (const AttributeRow& r : attribute_rows)
            if (r.query == query && !r.instead) names.push_back(r.name);
        for (size_t i = 0; i < names.size(); ++i)
            out += std::string(i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
        out += query ? " after it" : " before the '?', ";
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

class UriReader {
public:
    UriReader(const std::string& name, const std::string& prefix)
        : name_(name), prefix_(prefix) {}

    [[noreturn]] void refuse(const std::string& why) const {
        throw Refusal{prefix_ + name_ + ": " + why};
    }

    // The attributes in `part`, `separator` between them.
    void part(const std::string& part, char separator, bool query) {
        size_t from = 0;
        while (from <= part.size()) {
            size_t end = part.find(separator, from);
            if (end == std::string::npos) end = part.size();
            // A trailing separator, or two in a row, adds nothing.
            if (end > from) attribute(part.substr(from, end - from), query);
            from = end + 1;
        }
    }

    TokenKey key;

private:
    void attribute(const std::string& piece, bool query) {
        const size_t equals = piece.find('=');
        const std::string name = piece.substr(0, equals);
        // A piece with no '=' after pin-value= is the rest of a PIN whose '&'
        // was typed unencoded: it is not shown.
        if (equals == std::string::npos && query &&
            std::find(seen_.begin(), seen_.end(), "pin-value") != seen_.end())
            refuse("an '&' stands before no attribute: <name>=<value>, as in "
                   "module-path=<file>; an '&' in a value is written %26");
        if (equals == std::string::npos)
            refuse("\"" + secrets::masked_uri(piece) +
                   "\" is no attribute: <name>=<value>, as in object=signing-key");
        const AttributeRow* row = nullptr;
        for (const AttributeRow& r : attribute_rows)
            if (name == r.name) row = &r;
        if (!row)
            refuse("unknown attribute " + name + "= (the attributes: " + taken() + ")");
        if (row->query != query)
            refuse(name + "= belongs " + (row->query ? "after the '?'" : "before the '?'"));
        if (row->instead) refuse(name + "= is not supported here: " + row->instead);
        for (const std::string& s : seen_)
            if (s == name) refuse(name + "= is given twice");
        seen_.push_back(name);
        const std::string value = decoded(piece.substr(equals + 1), name);
        if (value.empty()) refuse(name + "= needs a value");
        switch (row->attribute) {
        case Attribute::token: key.token = value; break;
        case Attribute::manufacturer: key.manufacturer = value; break;
        case Attribute::serial: key.serial = value; break;
        case Attribute::model: key.model = value; break;
        case Attribute::slot_id: {
            uint64_t slot;
            if (!numbers::read_plain(value, UINT64_MAX, slot))
                refuse("slot-id=" + value + " is no slot number");
            key.slot = slot;
            break;
        }
        case Attribute::object: key.object = value; break;
        case Attribute::id: key.id = std::vector<uint8_t>(value.begin(), value.end()); break;
        case Attribute::type:
            if (value != "private" && value != "public")
                refuse("type=" + value + ": a signing key is type=private (or its type=public "
                       "half, to verify)");
            key.public_named = value == "public";
            break;
        case Attribute::pin_value: key.pin = value; break;
        case Attribute::module_path: key.module = value; break;
        case Attribute::unsupported: break;
        }
    }

    // A value's %XX escapes as the bytes they stand for.
    std::string decoded(const std::string& value, const std::string& name) const {
        std::string out;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] != '%') {
                out += value[i];
                continue;
            }
            const int high = i + 2 < value.size() ? hex_digit(value[i + 1]) : -1;
            const int low = high >= 0 ? hex_digit(value[i + 2]) : -1;
            if (low < 0)
                refuse(name + "= holds a '%' that is not followed by two hex digits (a byte "
                              "is written %XX, as in %20 for a space)");
            out += static_cast<char>(high << 4 | low);
            i += 2;
        }
        return out;
    }

    const std::string& name_;
    const std::string& prefix_;
    std::vector<std::string> seen_;
};

// The module's file: one the URI names, or VELK_PKCS11_MODULE's.
void find_module(TokenKey& key, const UriReader& reader) {
    const char* from = "module-path=";
    if (key.module.empty()) {
        std::optional<std::string> set = platform::environment("VELK_PKCS11_MODULE");
        if (!set || set->empty())
            reader.refuse("a key in a PKCS#11 token needs the token's PKCS#11 module: set "
                          "VELK_PKCS11_MODULE to its library's file (as in "
                          "/usr/lib/softhsm/libsofthsm2.so), or give module-path= in the URI");
        key.module = *set;
        from = "VELK_PKCS11_MODULE";
    }
    const platform::Kind kind = platform::kind_of(key.module);
    if (kind == platform::Kind::file) {
        // A bare file name would send the loader to its own search path,
        // to whatever library of that name it finds there: the file meant
        // is the one here.
        if (key.module.find_first_of(platform::path_separators) == std::string::npos)
            key.module = std::string(".") + platform::path_separators[0] + key.module;
        return;
    }
    reader.refuse("the PKCS#11 module " + key.module + " (" + from + ") " +
                  (kind == platform::Kind::none ? "does not exist"
                                                : "is no file: give the module's library file"));
}

}  // namespace

bool names_token(const std::string& key) {
    if (key.size() < sizeof scheme - 1) return false;
    for (size_t i = 0; i + 1 < sizeof scheme; ++i)
        if (std::tolower(static_cast<unsigned char>(key[i])) != scheme[i]) return false;
    return true;
}

namespace {

// The URI as lines show it: its PIN masked, and so is the value of an
// attribute that is none of ours, as a misspelt pin-value= (pin_value=,
// PIN-VALUE=, pin=) would hold the PIN and be echoed in the refusal.
std::string shown_uri(const std::string& uri) {
    static const std::string hidden = "***";
    std::string out = secrets::masked_uri(uri);
    for (size_t from = std::min(sizeof scheme - 1, out.size()); from < out.size();) {
        const size_t end = std::min(out.find_first_of(";?&", from), out.size());
        const size_t equals = out.find('=', from);
        if (equals < end) {
            const std::string name = out.substr(from, equals - from);
            bool ours = false;
            for (const AttributeRow& r : attribute_rows) ours = ours || name == r.name;
            if (!ours) {
                out.replace(equals + 1, end - equals - 1, hidden);
                from = equals + 1 + hidden.size() + 1;
                continue;
            }
        }
        from = end + 1;
    }
    return out;
}

}  // namespace

TokenKey read_token_uri(const std::string& uri, const std::string& prefix) {
    const std::string name = shown_uri(uri);
    UriReader reader(name, prefix);
    const std::string rest = uri.substr(sizeof scheme - 1);
    const size_t question = rest.find('?');
    reader.part(rest.substr(0, question), ';', false);
    if (question != std::string::npos) reader.part(rest.substr(question + 1), '&', true);
    TokenKey key = std::move(reader.key);
    key.name = name;
    key.pin_from = "pin-value=";
    if (!key.pin) {
        key.pin = platform::environment("VELK_PKCS11_PIN");
        key.pin_from = "VELK_PKCS11_PIN";
    }
    if (key.pin && key.pin->empty()) key.pin.reset();
    find_module(key, reader);
    return key;
}

}  // namespace velk::mcuboot
