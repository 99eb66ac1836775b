// The engine's ciphers in the interpreter, from the cryptography package:
// imported by the first call of a run that encrypts or decrypts an image,
// never by one that signs alone. Every call takes the interpreter's lock
// back for its moment, as the digests and keys do.
#pragma once

#include "../engine/run/cipher.h"
#include "host.h"
#include "loading.h"

namespace velk::binding {

class PythonCiphers final : public crypto::Ciphers {
public:
    explicit PythonCiphers(PythonHost& host) : host_(host) {}
    PythonCiphers(const PythonCiphers&) = delete;
    PythonCiphers& operator=(const PythonCiphers&) = delete;

    // Imports the package's cipher modules on a thread of their own, as
    // the digests' and keys' are.
    void prepare(const std::string& key) override;

    std::unique_ptr<crypto::ExchangeKey> read_exchange_key(
        const std::string& pem, const std::string& name,
        const std::optional<std::string>& password) override;
    crypto::Bytes new_key(size_t size) override;
    crypto::Bytes hkdf(crypto::Hash hash, const crypto::Bytes& secret, const std::string& info,
                       size_t length) override;
    crypto::Bytes hmac(crypto::Hash hash, const crypto::Bytes& key,
                       const crypto::Bytes& message) override;
    void aes_ctr(const crypto::Bytes& key, const crypto::Bytes& counter, uint8_t* data,
                 size_t size) override;
    crypto::Bytes aes_key_wrap(const crypto::Bytes& kek, const crypto::Bytes& key) override;
    std::optional<crypto::Bytes> aes_key_unwrap(const crypto::Bytes& kek,
                                                const crypto::Bytes& wrapped) override;

private:
    PythonHost& host_;
    Loading loading_;
};

}  // namespace velk::binding
