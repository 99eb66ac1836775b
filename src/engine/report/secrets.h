// A PIN typed in a token key's URI (pkcs11:...;pin-value=...) never shows:
// every line, JSON object and file names the key with its PIN masked.
#pragma once

#include <string>

namespace velk::secrets {

// The URI as typed with its PIN shown as pin-value=***.
std::string masked_uri(const std::string& uri);

// `text`, a line that may echo a URI as typed, with every PIN in it masked.
std::string masked_pins(const std::string& text);

}  // namespace velk::secrets
