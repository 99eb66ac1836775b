#include "settings.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "../numbers/numbers.h"
#include "../request/option_table.h"
#include "../report/refusal.h"
#include "hashing.h"

namespace velk::mcuboot {

namespace {

const SettingRow setting_rows[] = {
    {"key", true, true, false, true, "key=signing-key.pem"},
    {"header", true, false, false, true, "header=0x200"},
    {"slot", true, false, false, true, "slot=0x40000"},
    {"version", true, false, false, false, "version=1.2.3+4"},
    {"align", true, false, false, false, "align=4"},
    {"pad", false, false, false, true, nullptr},
    {"confirm", false, false, false, true, nullptr},
    {"counter", true, false, false, false, "counter=auto"},
    {"dependency", true, false, true, false, "dependency=1:1.2.0"},
    {"tlv", true, false, true, false, "tlv=0xA0:01020304"},
    {"pubkey", true, false, false, false, "pubkey=full"},
    {"sha", true, false, false, false, "sha=384"},
    {"pure", false, false, false, false, nullptr},
    {"encrypt", true, true, false, false, "encrypt=enc-x25519-pub.pem"},
    {"encrypt-kw", true, true, false, false, "encrypt-kw=kek.bin"},
    {"aes", true, false, false, false, "aes=256"},
    {"hmac", true, false, false, false, "hmac=512"},
    {"decrypt", true, true, false, true, "decrypt=enc-x25519.pem"},
};

// "key, header, ...": every setting's name.
std::string known() {
    std::string names;
    for (const SettingRow& r : setting_rows) names += (names.empty() ? "" : ", ") + std::string(r.name);
    return names;
}


bool bytes_of(std::string_view text, Bytes& out) {
    if (numbers::hex_prefixed(text)) text.remove_prefix(2);
    return !text.empty() && numbers::hex_bytes(text, out);
}

// A size or count: the asker's number, or the one its text gives.
bool number_in(const McubootSetting& given, uint64_t limit, uint64_t& out) {
    if (given.number) {
        out = *given.number;
        return out <= limit;
    }
    return numbers::read_plain(given.value, limit, out);
}

// FLASH's reading: every setting, header= required.
class Reader {
public:
    explicit Reader(const char* option) : option_(option) {}

    [[noreturn]] void refuse(const std::string& why) const {
        throw Refusal{std::string(option_) + ": " + why};
    }

    void setting(const McubootSetting& given, Settings& s) {
        const std::string& name = given.name;
        const bool valued = given.valued;
        const std::string& value = given.value;
        const SettingRow* row = setting_row(name);
        const bool repeatable = row && row->repeats;
        if (!repeatable && !seen_.insert(name))
            refuse("\"" + name + "\" is given twice");
        const bool flag = row && !row->valued;
        if (flag && valued) refuse("\"" + name + "\" takes no value");
        if (row && row->valued && value.empty())
            refuse("\"" + name + "\" needs a value, as in " + row->example);
        if (name == "key") {
            s.key = value;
        } else if (name == "header") {
            s.has_header = true;
            if (!number_in(given, 0xFFFF, s.header) || s.header < header_fields)
                refuse("header=" + value +
                       " is no header size: 32 bytes or more, below 64 KiB, as in "
                       "header=0x200");
        } else if (name == "slot") {
            uint64_t size;
            if (!number_in(given, 0xFFFFFFFF, size) || size == 0)
                refuse("slot=" + value + " is no slot size, as in slot=0x40000");
            s.slot = size;
        } else if (name == "version") {
            std::optional<Version> v = parse_version(value);
            if (!v)
                refuse("version=" + value +
                       " is no version: <major>.<minor>.<revision>[+<build>], each at most "
                       "255, 255, 65535 and 4294967295");
            s.version = *v;
        } else if (name == "align") {
            uint64_t align;
            if (!number_in(given, 32, align) || !valid_align(static_cast<unsigned>(align)))
                refuse("align=" + value + " is no write size: 1, 2, 4, 8, 16 or 32");
            s.align = static_cast<unsigned>(align);
        } else if (name == "pad") {
            s.pad = true;
        } else if (name == "confirm") {
            s.confirm = s.pad = true;
        } else if (name == "counter") {
            uint64_t counter;
            if (value == "auto")
                counter_auto_ = true;
            else if (number_in(given, 0xFFFFFFFF, counter))
                s.counter = static_cast<uint32_t>(counter);
            else
                refuse("counter=" + value + " is no security counter: a number or auto");
        } else if (name == "dependency") {
            const size_t colon = value.find(':');
            uint64_t image;
            std::optional<Version> v =
                colon == std::string::npos ? std::nullopt : parse_version(value.substr(colon + 1));
            if (!v || !numbers::read_plain(value.substr(0, colon), 0xFF, image))
                refuse("dependency=" + value +
                       " is no dependency: <image id>:<version>, as in dependency=1:1.2.0");
            s.dependencies.push_back(
                {tlv::dependency, dependency_value(static_cast<uint8_t>(image), *v)});
        } else if (name == "tlv") {
            const size_t colon = value.find(':');
            uint64_t type;
            Bytes bytes;
            if (colon == std::string::npos || !numbers::read_plain(value.substr(0, colon), 0xFF, type) ||
                !bytes_of(value.substr(colon + 1), bytes) || bytes.size() > 0xFFFF)
                refuse("tlv=" + value +
                       " is no TLV: <type>:<hex bytes>, as in tlv=0xA0:01020304");
            if (type < tlv::first_custom)
                refuse("tlv=" + value + ": a TLV of the image's own has a type of 0xA0 or above");
            for (const Tlv& t : s.custom)
                if (t.type == type) refuse("tlv=" + value + ": that type is given twice");
            s.custom.push_back({static_cast<uint8_t>(type), bytes});
        } else if (name == "pubkey") {
            if (value != "hash" && value != "full")
                refuse("pubkey=" + value + ": hash (the key's hash) or full (the key)");
            s.full_key = value == "full";
        } else if (name == "sha") {
            if (!read_hash_setting(value, s.hash))
                refuse("sha=" + value + " is no hash: 256, 384, 512 or auto");
        } else if (name == "pure") {
            s.pure = true;
        } else if (name == "encrypt" || name == "encrypt-kw") {
            if (s.encrypt) refuse("encrypt= and encrypt-kw= are one key for the image: give one");
            s.encrypt = value;
            s.encrypt_kw = name == "encrypt-kw";
        } else if (name == "aes") {
            if (value != "128" && value != "256")
                refuse("aes=" + value + ": the image's AES key is 128 or 256 bits");
            s.aes = value == "256" ? 256 : 128;
        } else if (name == "hmac") {
            if (value != "256" && value != "512")
                refuse("hmac=" + value + ": ECIES's HMAC is SHA-256 or SHA-512 (256 or 512)");
            s.hmac = value == "512" ? crypto::Hash::sha512 : crypto::Hash::sha256;
        } else if (name == "decrypt") {
            refuse("decrypt= is CHECK's: FLASH encrypts with encrypt=<public key> or "
                   "encrypt-kw=<KEK file>");
        } else {
            refuse("unknown setting \"" + name + "\" (the settings: " + known() + ")");
        }
    }

    void finish(Settings& s) {
        if (!seen_.has("header"))
            refuse("header=<size> is needed: the room the header takes, as in header=0x200");
        if (s.pad && !s.slot) refuse("pad and confirm fill the slot: give slot=<size> too");
        if (s.full_key && !s.key)
            refuse("pubkey=full carries the signing key in the image: it needs "
                   "key=<file> too, as in key=signing-key.pem (without a key the image "
                   "is unsigned)");
        if (s.pure && !s.key)
            refuse("pure is a signature over the image itself: it needs key=<file> too, an "
                   "Ed25519 key, as in key=signing-key.pem");
        if (counter_auto_) s.counter = counter_of(s.version);
        if (seen_.has("hmac") && (!s.encrypt || s.encrypt_kw))
            refuse("hmac= is the HMAC of ECIES: give encrypt=<X25519 public key> too");
        if (seen_.has("aes") && !s.encrypt)
            refuse("aes= sizes the key the image is encrypted with: give encrypt=<public key> "
                   "or encrypt-kw=<KEK file> too");
    }

private:
    struct Seen {
        std::vector<std::string> names;
        bool insert(const std::string& name) {
            if (has(name)) return false;
            names.push_back(name);
            return true;
        }
        bool has(const std::string& name) const {
            for (const std::string& n : names)
                if (n == name) return true;
            return false;
        }
    };

    const char* option_;
    Seen seen_;
    bool counter_auto_ = false;
};

}  // namespace

const SettingRow* setting_row(const std::string& name) {
    for (const SettingRow& r : setting_rows)
        if (name == r.name) return &r;
    return nullptr;
}

namespace {

// The settings CHECK takes: what the image must have.
Settings verify_settings(const McubootSettings& given, const std::string& option) {
    Settings s;
    for (const McubootSetting& g : given.settings) {
        const std::string& name = g.name;
        // Nothing after the last comma, or nothing at all: no setting.
        if (g.typed.empty() && &g == &given.settings.back()) continue;
        if (name == "key" && g.valued && !g.value.empty()) {
            s.key = g.value;
        } else if (name == "header" && g.valued) {
            if (!number_in(g, 0xFFFF, s.header) || s.header < header_fields)
                throw Refusal{option + ": header= takes the header's size, 32 to 0xFFFF bytes, "
                                       "as in header=0x200: \"" + g.value + "\" is not one"};
            s.has_header = true;
        } else if (name == "slot" && g.valued) {
            uint64_t size = 0;
            if (!number_in(g, 0xFFFFFFFF, size) || size == 0)
                throw Refusal{option + ": slot= takes the slot's size, as in slot=0x40000: \"" +
                              g.value + "\" is not one"};
            s.slot = size;
        } else if (name == "decrypt" && g.valued && !g.value.empty()) {
            s.decrypt = g.value;
        } else if ((name == "pad" || name == "confirm") && !g.valued) {
            s.pad = true;
            s.confirm = s.confirm || name == "confirm";
        } else {
            throw Refusal{option + " in CHECK takes key=<file> (the public or private key), "
                                   "header=<size>, slot=<size>, pad, confirm and decrypt=<file>: \"" + g.typed +
                          "\" is not one of them"};
        }
    }
    if (s.pad && !s.slot)
        throw Refusal{option + ": pad and confirm say the slot was filled to its end: give "
                               "slot=<size> too"};
    return s;
}

McubootSetting setting_of(const std::string& word) {
    McubootSetting s;
    const size_t equals = word.find('=');
    s.name = word.substr(0, equals);
    s.valued = equals != std::string::npos;
    if (s.valued) s.value = word.substr(equals + 1);
    s.typed = word;
    return s;
}

}  // namespace

McubootSettings settings_of_word(const std::string& word) {
    McubootSettings out;
    out.typed = word;
    size_t from = 0;
    while (from <= word.size()) {
        size_t comma = word.find(',', from);
        if (comma == std::string::npos) comma = word.size();
        std::string piece = word.substr(from, comma - from);
        from = comma + 1;
        // key=a,b.pem: a piece that is no setting, after a key file's
        // name (key=, encrypt=, ...), is more of the name.
        const SettingRow* last =
            out.settings.empty() ? nullptr : setting_row(out.settings.back().name);
        if (last && last->file &&
            out.settings.back().valued && !piece.empty() &&
            piece.find('=') == std::string::npos && !setting_row(piece)) {
            McubootSetting& key = out.settings.back();
            key.value += "," + piece;
            key.typed += "," + piece;
            continue;
        }
        out.settings.push_back(setting_of(piece));
    }
    return out;
}

Settings read_settings(const Request& request, Use use) {
    static const McubootSettings none;
    const McubootSettings& given = request.mcuboot ? *request.mcuboot : none;
    const char* option = request.asker.name(Option::mcuboot);
    if (use == Use::verify) return verify_settings(given, option);
    Reader reader(option);
    Settings s;
    if (given.settings.empty()) reader.refuse("an empty setting in \"" + given.typed + "\"");
    for (const McubootSetting& g : given.settings) {
        if (g.typed.empty()) reader.refuse("an empty setting in \"" + given.typed + "\"");
        reader.setting(g, s);
    }
    reader.finish(s);
    return s;
}

}  // namespace velk::mcuboot
