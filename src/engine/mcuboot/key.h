// The signing key, the one way FLASH and CHECK open it: the PEM file read
// once, then the key made from its text by the host's provider, with the
// password VELK_KEY_PASSWORD gives for an encrypted one.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "../run/crypto.h"
#include "token_uri.h"

namespace velk::mcuboot {

struct KeyFile {
    std::string name;  // the path as given, for the lines
    std::string pem;
    std::optional<TokenKey> token;  // a key in a token, named by its URI: no file
};

// Reads the key file (or a token's URI); one that cannot be read is
// refused, the line starting with `prefix`.
KeyFile read_key(const std::string& path, const std::string& prefix);

// The key in `file`: a private key, or a public one when `public_ok`
// (verifying needs no more). A key the provider cannot make is its Failure.
std::unique_ptr<crypto::Key> open_key(crypto::Provider& crypto, const KeyFile& file,
                                      bool public_ok);

}  // namespace velk::mcuboot
