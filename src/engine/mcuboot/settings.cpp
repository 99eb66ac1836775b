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

bool bytes_of(std::string_view text, Bytes& out) {
    if (numbers::hex_prefixed(text)) text.remove_prefix(2);
    return !text.empty() && numbers::hex_bytes(text, out);
}

void read_key_name(Reading& r) {
    r.settings.key = r.value();
}

void read_header(Reading& r) {
    Settings& s = r.settings;
    if (!r.number(0xFFFF, s.header) || s.header < header_fields)
        r.refuse(r.use == Use::verify
                     ? "header= takes the header's size, 32 to 0xFFFF bytes, as in "
                       "header=0x200: \"" + r.value() + "\" is not one"
                     : "header=" + r.value() +
                           " is no header size: 32 bytes or more, below 64 KiB, as in "
                           "header=0x200");
    s.has_header = true;
}

void read_slot(Reading& r) {
    uint64_t size = 0;
    if (!r.number(0xFFFFFFFF, size) || size == 0)
        r.refuse(r.use == Use::verify
                     ? "slot= takes the slot's size, as in slot=0x40000: \"" + r.value() +
                           "\" is not one"
                     : "slot=" + r.value() + " is no slot size, as in slot=0x40000");
    r.settings.slot = size;
}

void read_version(Reading& r) {
    std::optional<Version> v = parse_version(r.value());
    if (!v)
        r.refuse("version=" + r.value() +
                 " is no version: <major>.<minor>.<revision>[+<build>], each at most "
                 "255, 255, 65535 and 4294967295");
    r.settings.version = *v;
}

void read_align(Reading& r) {
    uint64_t align;
    if (!r.number(32, align) || !valid_align(static_cast<unsigned>(align)))
        r.refuse("align=" + r.value() + " is no write size: 1, 2, 4, 8, 16 or 32");
    r.settings.align = static_cast<unsigned>(align);
}

void read_pad(Reading& r) {
    r.settings.pad = true;
}

void read_confirm(Reading& r) {
    r.settings.confirm = r.settings.pad = true;
}

void read_counter(Reading& r) {
    uint64_t counter;
    if (r.value() == "auto")
        r.settings.counter_auto = true;
    else if (r.number(0xFFFFFFFF, counter))
        r.settings.counter = static_cast<uint32_t>(counter);
    else
        r.refuse("counter=" + r.value() + " is no security counter: a number or auto");
}

void read_dependency(Reading& r) {
    const std::string& value = r.value();
    const size_t colon = value.find(':');
    uint64_t image;
    std::optional<Version> v =
        colon == std::string::npos ? std::nullopt : parse_version(value.substr(colon + 1));
    if (!v || !numbers::read_plain(value.substr(0, colon), 0xFF, image))
        r.refuse("dependency=" + value +
                 " is no dependency: <image id>:<version>, as in dependency=1:1.2.0");
    r.settings.dependencies.push_back(
        {tlv::dependency, dependency_value(static_cast<uint8_t>(image), *v)});
}

void read_tlv(Reading& r) {
    const std::string& value = r.value();
    const size_t colon = value.find(':');
    uint64_t type;
    Bytes bytes;
    if (colon == std::string::npos || !numbers::read_plain(value.substr(0, colon), 0xFF, type) ||
        !bytes_of(value.substr(colon + 1), bytes) || bytes.size() > 0xFFFF)
        r.refuse("tlv=" + value + " is no TLV: <type>:<hex bytes>, as in tlv=0xA0:01020304");
    if (type < tlv::first_custom)
        r.refuse("tlv=" + value + ": a TLV of the image's own has a type of 0xA0 or above");
    for (const Tlv& t : r.settings.custom)
        if (t.type == type) r.refuse("tlv=" + value + ": that type is given twice");
    r.settings.custom.push_back({static_cast<uint8_t>(type), bytes});
}

void read_pubkey(Reading& r) {
    if (r.value() != "hash" && r.value() != "full")
        r.refuse("pubkey=" + r.value() + ": hash (the key's hash) or full (the key)");
    r.settings.full_key = r.value() == "full";
}

void read_sha(Reading& r) {
    if (!read_hash_setting(r.value(), r.settings.hash))
        r.refuse("sha=" + r.value() + " is no hash: 256, 384, 512 or auto");
}

void read_pure(Reading& r) {
    r.settings.pure = true;
}

void read_sign(Reading& r) {
    r.settings.sign = external::vector_named(r.value());
    if (!r.settings.sign)
        r.refuse("sign=" + r.value() + ": digest or payload, what the key's holder signs");
}

void read_signature(Reading& r) {
    r.settings.signature = r.value();
}

void read_encrypt(Reading& r) {
    if (r.settings.encrypt)
        r.refuse("encrypt= and encrypt-kw= are one key for the image: give one");
    r.settings.encrypt = r.value();
    r.settings.encrypt_kw = r.given.name == "encrypt-kw";
}

void read_aes(Reading& r) {
    if (r.value() != "128" && r.value() != "256")
        r.refuse("aes=" + r.value() + ": the image's AES key is 128 or 256 bits");
    r.settings.aes = r.value() == "256" ? 256 : 128;
}

void read_hmac(Reading& r) {
    if (r.value() != "256" && r.value() != "512")
        r.refuse("hmac=" + r.value() + ": ECIES's HMAC is SHA-256 or SHA-512 (256 or 512)");
    r.settings.hmac = r.value() == "512" ? crypto::Hash::sha512 : crypto::Hash::sha256;
}

void read_decrypt(Reading& r) {
    if (r.use == Use::sign)
        r.refuse("decrypt= is CHECK's: FLASH encrypts with encrypt=<public key> or "
                 "encrypt-kw=<KEK file>");
    r.settings.decrypt = r.value();
}

// name, imgtool's option, valued, file, repeats, CHECK's words, example, reader
const SettingRow setting_rows[] = {
    {"key", "--key", true, true, false, "key=<file> (the public or private key)",
     "key=signing-key.pem", read_key_name},
    {"header", "--header-size", true, false, false, "header=<size>", "header=0x200",
     read_header},
    {"slot", "--slot-size", true, false, false, "slot=<size>", "slot=0x40000", read_slot},
    {"version", "--version", true, false, false, nullptr, "version=1.2.3+4", read_version},
    {"align", "--align", true, false, false, nullptr, "align=4", read_align},
    {"pad", "--pad", false, false, false, "pad", nullptr, read_pad},
    {"confirm", "--confirm", false, false, false, "confirm", nullptr, read_confirm},
    {"counter", "--security-counter", true, false, false, nullptr, "counter=auto",
     read_counter},
    {"dependency", "--dependencies", true, false, true, nullptr, "dependency=1:1.2.0",
     read_dependency},
    {"tlv", "--custom-tlv", true, false, true, nullptr, "tlv=0xA0:01020304", read_tlv},
    {"pubkey", "--public-key-format", true, false, false, nullptr, "pubkey=full",
     read_pubkey},
    {"sha", "--sha", true, false, false, nullptr, "sha=384", read_sha},
    {"pure", "--pure", false, false, false, nullptr, nullptr, read_pure},
    {"sign", "--vector-to-sign", true, false, false, nullptr, "sign=digest", read_sign},
    {"signature", "--fix-sig", true, true, false, nullptr, "signature=image.sig",
     read_signature},
    {"rom-fixed", "--rom-fixed", true, false, false, nullptr, "rom-fixed=0x08020000",
     read_rom_fixed},
    {"load-addr", "--load-addr", true, false, false, nullptr, "load-addr=0x20000000",
     read_load_addr},
    {"max-sectors", "--max-sectors", true, false, false, "max-sectors=<n>", "max-sectors=256",
     read_max_sectors},
    {"overwrite-only", "--overwrite-only", false, false, false, "overwrite-only", nullptr,
     read_overwrite_only},
    {"hex-addr", "--hex-addr", true, false, false, nullptr, "hex-addr=0x0", read_hex_addr},
    {"boot-record", "--boot-record", true, false, false, nullptr, "boot-record=SPE",
     read_boot_record},
    {"non-bootable", "--non-bootable", false, false, false, nullptr, nullptr,
     read_non_bootable},
    {"encrypt", "--encrypt", true, true, false, nullptr, "encrypt=enc-x25519-pub.pem",
     read_encrypt},
    {"encrypt-kw", nullptr, true, true, false, nullptr, "encrypt-kw=kek.bin", read_encrypt},
    {"aes", "--encrypt-keylen", true, false, false, nullptr, "aes=256", read_aes},
    {"hmac", "--hmac-sha", true, false, false, nullptr, "hmac=512", read_hmac},
    {"decrypt", nullptr, true, true, false, "decrypt=<file> (the private key or KEK)",
     "decrypt=enc-x25519.pem", read_decrypt},
};

// "key, header, ...": every setting's name.
std::string known() {
    std::string names;
    for (const SettingRow& r : setting_rows) names += (names.empty() ? "" : ", ") + std::string(r.name);
    return names;
}

// What the refusal of an unknown setting adds: the setting that means
// imgtool's option of that name ("header-size": header=), else every
// setting's name.
std::string imgtools(const std::string& name) {
    // imgtool's options that are no setting's own name, as its users type
    // them: what stands for each here.
    static const char* const others[][2] = {
        {"fix-sig-pubkey", "key=<the public key> here, with signature=<file>"},
        {"test", "pad here (the trailer's magic, image_ok left erased)"},
        {"pad-header", "found from the ELF here: an image that starts with its code"},
        {"erased-val", "--fill 0xFF or --fill 0x00 here, an option of its own"},
    };
    for (const auto& o : others)
        if (name == o[0]) return std::string(": imgtool's --") + o[0] + " is " + o[1];
    // A Python keyword's spelling in the API's dict (rom_fixed for rom-fixed).
    std::string dashed = name;
    std::replace(dashed.begin(), dashed.end(), '_', '-');
    for (const SettingRow& r : setting_rows)
        if (dashed != name && dashed == r.name)
            return std::string(": the setting is ") + r.name + ", spelt with '-'";
    for (const SettingRow& r : setting_rows)
        if (r.imgtool && name == r.imgtool + 2)
            return std::string(": imgtool's ") + r.imgtool + " is " + r.name +
                   (r.valued ? "=" : "") + " here";
    return " (the settings: " + known() + ")";
}

// "key=<file> (...), header=<size>, ... and confirm": the settings CHECK takes.
std::string known_in_check() {
    std::vector<std::string> words;
    for (const SettingRow& r : setting_rows)
        if (r.verifies()) words.push_back(r.check);
    std::string out;
    for (size_t i = 0; i < words.size(); ++i)
        out += (i == 0 ? "" : i + 1 == words.size() ? " and " : ", ") + words[i];
    return out;
}

// FLASH's reading: every setting, header= required.
class SettingsReader {
public:
    explicit SettingsReader(const std::string& option) : option_(option) {}

    [[noreturn]] void refuse(const std::string& why) const {
        throw Refusal{option_ + ": " + why};
    }

    void setting(const McubootSetting& given, Settings& s) {
        const std::string& name = given.name;
        const SettingRow* row = setting_row(name);
        const bool repeatable = row && row->repeats;
        if (!repeatable && !seen_.insert(name))
            refuse("\"" + name + "\" is given twice");
        if (!row) refuse("unknown setting \"" + name + "\"" + imgtools(name));
        if (!row->valued && given.valued) refuse("\"" + name + "\" takes no value");
        if (row->valued && given.value.empty())
            refuse("\"" + name + "\" needs a value, as in " + row->example);
        Reading reading(given, s, Use::sign, option_);
        row->read(reading);
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
        if (s.pure && s.encrypt)
            refuse(std::string("pure and ") + (s.encrypt_kw ? "encrypt-kw=" : "encrypt=") +
                   " together: MCUboot verifies a pure signature over the slot's bytes as "
                   "they lie, encrypted, and is built without decryption beside it");
        if ((s.sign || s.signature) && !s.key)
            refuse(std::string(s.sign ? "sign=" : "signature=") +
                   " needs key=<file> too: the public key of the key's holder, as in "
                   "key=signing-key.pub.pem");
        if (s.sign && s.signature)
            refuse("sign= writes what the key's holder signs and signature= puts their "
                   "signature in: one step or the other");
        if (s.counter_auto) s.counter = counter_of(s.version);
        if (std::string why = options_conflict(s); !why.empty()) refuse(why);
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

    const std::string& option_;
    Seen seen_;
};

}  // namespace

bool Reading::number(uint64_t limit, uint64_t& out) const {
    if (given.number) {
        out = *given.number;
        return out <= limit;
    }
    return numbers::read_plain(given.value, limit, out);
}

void Reading::refuse(const std::string& why) const {
    throw Refusal{option_ + ": " + why};
}

const SettingRow* setting_row(const std::string& name) {
    for (const SettingRow& r : setting_rows)
        if (name == r.name) return &r;
    return nullptr;
}

namespace {

// The settings CHECK takes: what the image must have. A switch given a
// value, a valued setting given none, or a file's name left empty is no
// setting CHECK takes.
Settings verify_settings(const McubootSettings& given, const std::string& option) {
    Settings s;
    for (const McubootSetting& g : given.settings) {
        // Nothing after the last comma, or nothing at all: no setting.
        if (g.typed.empty() && &g == &given.settings.back()) continue;
        const SettingRow* row = setting_row(g.name);
        if (!row || !row->verifies() || row->valued != g.valued ||
            (row->file && g.value.empty()))
            throw Refusal{option + " in CHECK takes " + known_in_check() + ": \"" + g.typed +
                          "\" is not one of them"};
        // Two key files, or two decrypt= keys: one would be checked with
        // and the other passed over, as FLASH refuses them too.
        if (!row->repeats &&
            std::count_if(given.settings.data(), &g, [&](const McubootSetting& o) {
                return o.name == g.name;
            }))
            throw Refusal{option + ": \"" + g.name + "\" is given twice"};
        Reading reading(g, s, Use::verify, option);
        row->read(reading);
    }
    if (s.pad && !s.slot)
        throw Refusal{option + ": pad and confirm say the slot was filled to its end: give "
                               "slot=<size> too"};
    if (std::string why = options_conflict(s); !why.empty()) throw Refusal{option + ": " + why};
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
    const std::string option = request.asker.name(Option::mcuboot);
    if (use == Use::verify) return verify_settings(given, option);
    SettingsReader reader(option);
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
