// Keys in a PKCS#11 token, through the python-pkcs11 package, imported by
// the first run that names such a key and by no other. The private key
// never leaves the token: it signs there. Its public half is read from the
// token and made a key of the cryptography package, which verifies and
// gives the key hash as a PEM file's key does.
#pragma once

#include <memory>

#include "../engine/run/crypto.h"
#include "host.h"

namespace velk::binding {

// The key `key` names, found in its token; with `public_ok` its public
// half alone, which verifies. `pem_keys` makes the public half's key.
// What cannot be done (no python-pkcs11, a module that does not load, no
// such token or key, a wrong PIN) is one crypto::Failure.
std::unique_ptr<crypto::Key> token_key(PythonHost& host, crypto::Provider& pem_keys,
                                       const mcuboot::TokenKey& key, bool public_ok);

}  // namespace velk::binding
