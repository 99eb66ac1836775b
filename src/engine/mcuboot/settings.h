// An MCUboot image's settings, read once from what the asker gave into
// what FLASH's signing and CHECK's verdict need: `key=<file>,header=<size>,
// slot=<size>,version=<v>,align=<n>,pad,confirm,counter=<n>|auto,
// dependency=<id>:<v>,tlv=<type>:<hex>,pubkey=hash|full,sha=256|384|512,pure,
// sign=digest|payload,signature=<file>` and imgtool's image options
// (options.h). The command line gives them as one word, the Python API's
// mcuboot={...} as a dict; both come here as the request's settings, read
// by the rows of one table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../request/request.h"
#include "external.h"
#include "format.h"
#include "options.h"

namespace velk::mcuboot {

struct Settings {
    std::optional<std::string> key;  // a PEM key's file; none: unsigned
    uint64_t header = 0;             // the header's room
    bool has_header = false;         // header= was given
    std::optional<uint64_t> slot;
    Version version;
    unsigned align = 1;
    bool pad = false;      // the slot filled to its end, the trailer's magic written
    bool confirm = false;  // image_ok set too (implies pad)
    std::optional<uint32_t> counter;
    std::vector<Tlv> dependencies;  // their values encoded
    std::vector<Tlv> custom;        // in the order given
    bool full_key = false;          // PUBKEY rather than KEYHASH
    bool counter_auto = false;      // counter=auto: the version's, once all are read
    ImageOptions image;             // rom-fixed=, load-addr=, max-sectors=, ...
    std::optional<crypto::Hash> hash;  // sha=; none: auto, as the key decides
    bool pure = false;                 // the signature over the image, not its hash
    // A key the build never holds, key= its public half: the bytes its
    // holder signs written out, or the signature they made put in.
    std::optional<external::Vector> sign;
    std::optional<std::string> signature;  // the signature's file
    // encrypt=<public key> or encrypt-kw=<KEK file>: the payload encrypted
    // with a fresh AES key of `aes` bits sealed for it; CHECK's decrypt=.
    std::optional<std::string> encrypt, decrypt;
    bool encrypt_kw = false;
    unsigned aes = 128;
    crypto::Hash hmac = crypto::Hash::sha256;  // ECIES-X25519's, hmac=
};

// What the settings are read for: FLASH signs an image with them (header=
// required, every setting), CHECK verifies one (the rows that say how
// CHECK takes them).
enum class Use { sign, verify };

// One setting being read: what the asker gave, the settings it fills, and
// the option its refusals name.
class Reading {
public:
    Reading(const McubootSetting& given, Settings& settings, Use use, const std::string& option)
        : given(given), settings(settings), use(use), option_(option) {}

    const McubootSetting& given;
    Settings& settings;
    const Use use;

    const std::string& value() const { return given.value; }
    // A size, count or address: the asker's number, or the one its text
    // gives; false for none within `limit`.
    bool number(uint64_t limit, uint64_t& out) const;
    // Refuses the setting: "<option>: <why>".
    [[noreturn]] void refuse(const std::string& why) const;

private:
    const std::string& option_;
};

// The settings, one row each, in the order a refusal lists them. The API's
// mcuboot={...} key is the row's name.
struct SettingRow {
    const char* name;     // "header"
    const char* imgtool;  // imgtool sign's option that means the same; nullptr: none
    bool valued;          // takes a value after '='; else a switch (pad, confirm)
    bool file;            // its value is a file's name (key)
    bool repeats;         // given as often as there are values (dependency, tlv)
    const char* check;    // how CHECK's refusal lists it; nullptr: CHECK does not take it
    const char* example;  // as a refusal shows it: "header=0x200"
    void (*read)(Reading&);

    bool verifies() const { return check != nullptr; }
};

// The row of the setting `name`; null for none.
const SettingRow* setting_row(const std::string& name);

// The request's settings; refuses (Refusal) what cannot be read, naming
// the option as the request's asker gave it.
Settings read_settings(const Request& request, Use use);

// The command line's one word of settings, split at the commas that start
// a setting: a comma in a key file's name belongs to the name when what
// follows it is no setting (key=keys/a,b.pem,header=0x200).
McubootSettings settings_of_word(const std::string& word);


}  // namespace velk::mcuboot
