// A signing key that never leaves its PKCS#11 token (an HSM, a smart card,
// SoftHSM on a build server), named where a key file's path would go by
// the token's URI: pkcs11:token=<label>;object=<label>;id=%01?pin-value=<pin>.
// The URI says which token and which key in it; the PKCS#11 module that
// reaches the token comes from module-path= or VELK_PKCS11_MODULE, the
// user's PIN from pin-value= or VELK_PKCS11_PIN. The host's provider asks
// the token to sign; the engine reads the URI alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velk::mcuboot {

// What picks the token and the key in it: an attribute not given matches
// every token or key.
struct TokenKey {
    std::string name;    // the URI as given, its PIN masked: for the lines
    std::string module;  // the PKCS#11 module's file
    // The token's, as its token info gives them.
    std::optional<std::string> token, manufacturer, serial, model;
    std::optional<uint64_t> slot;          // the slot's id
    std::optional<std::string> object;     // the key's label
    std::optional<std::vector<uint8_t>> id;  // the key's id, any bytes
    bool public_named = false;             // type=public: a public key, which signs nothing
    std::optional<std::string> pin;        // the user's PIN
    const char* pin_from = nullptr;        // where it came from, for the lines
};

// Whether a key= value names a key in a token rather than a file.
bool names_token(const std::string& key);

// The attributes of a pkcs11: URI, percent-decoded; the module and the PIN
// from the URI or, failing that, the environment. Nothing is asked of the
// module yet. What is wrong (a malformed URI, no module, a module path
// that names no file) is refused in one line starting with `prefix`.
TokenKey read_token_uri(const std::string& uri, const std::string& prefix);

}  // namespace velk::mcuboot
