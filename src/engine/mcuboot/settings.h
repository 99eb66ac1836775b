// --mcuboot's settings, read from their words into what the signing step
// needs: `key=<file>,header=<size>,slot=<size>,version=<v>,align=<n>,pad,
// confirm,counter=<n>|auto,dependency=<id>:<v>,tlv=<type>:<hex>,
// pubkey=hash|full`. The Python API's mcuboot={...} comes as the same words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../request/request.h"
#include "format.h"

namespace velk::mcuboot {

struct Settings {
    std::optional<std::string> key;  // a PEM private key's file; none: unsigned
    uint64_t header = 0;             // the header's room
    std::optional<uint64_t> slot;
    Version version;
    unsigned align = 1;
    bool pad = false;      // the slot filled to its end, the trailer's magic written
    bool confirm = false;  // image_ok set too (implies pad)
    std::optional<uint32_t> counter;
    std::vector<Tlv> dependencies;  // their values encoded
    std::vector<Tlv> custom;        // in the order given
    bool full_key = false;          // PUBKEY rather than KEYHASH
};

// Refuses (Refusal) what cannot be read, naming the setting.
Settings read_settings(const std::string& words, Front front);

// A setting's number, 0x1F in hex or 31 in decimal and nothing else, at
// most `limit`.
bool number_of(const std::string& text, uint64_t limit, uint64_t& out);

// The password of an encrypted key, from VELK_KEY_PASSWORD; none when unset.
std::optional<std::string> key_password();

// The key file's text. A PEM key is a few KiB: a bigger file, a FIFO or a
// device is no key, and is refused (Refusal, `prefix` before the line)
// without waiting for it to end.
std::string read_key_file(const std::string& path, const std::string& prefix);

// "--mcuboot" or "mcuboot": how a refusal names the option.
const char* option_word(Front front);

}  // namespace velk::mcuboot
