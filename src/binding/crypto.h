// The engine's digests and keys in the interpreter: SHA-2 from hashlib,
// keys and signatures from the cryptography package. Both are imported at
// the first run that asks, never at start-up: a run that signs nothing
// loads neither. Every call takes the interpreter's lock back for its
// moment, as the host's other answers do.
#pragma once

#include "../engine/run/crypto.h"
#include "cipher.h"
#include "host.h"
#include "loading.h"

namespace velk::binding {

class PythonCrypto final : public crypto::Provider {
public:
    explicit PythonCrypto(PythonHost& host) : host_(host) {}
    PythonCrypto(const PythonCrypto&) = delete;
    PythonCrypto& operator=(const PythonCrypto&) = delete;

    // Imports hashlib, and with `keys` the cryptography package's modules,
    // on a thread of their own: importing the package takes longer than
    // reading and checksumming a large build, and it needs the lock only
    // while the engine does not.
    void prepare(bool keys, const std::string& pem) override;
    std::unique_ptr<crypto::Digest> digest(crypto::Hash hash) override;
    std::unique_ptr<crypto::Key> read_key(const std::string& pem, const std::string& name,
                                          const std::optional<std::string>& password,
                                          bool public_ok) override;
    crypto::Ciphers& ciphers() override;
    // Through python-pkcs11 (token.h), imported only here.
    std::unique_ptr<crypto::Key> token_key(const mcuboot::TokenKey& key, bool public_ok) override;

private:
    // The key read_key() makes, with the package's key in hand.
    std::unique_ptr<crypto::Key> read_whole(const std::string& pem, const std::string& name,
                                            const std::optional<std::string>& password,
                                            bool public_ok);

    PythonHost& host_;
    Loading loading_;
    std::unique_ptr<PythonCiphers> ciphers_;
};

}  // namespace velk::binding
