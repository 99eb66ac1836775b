// The ciphers an encrypted MCUboot image is made and read with, from the
// libraries made for them, as the digests and signatures are: the engine
// composes them into MCUboot's key exchange, and the program that runs it
// supplies them (the Python binding through the cryptography package,
// imported only by a run that encrypts or decrypts). Nothing in the engine
// computes a cipher itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "crypto.h"

namespace velk::crypto {

// The kinds of key an image's AES key travels under: X25519 and P-256 by
// an exchange with a fresh key pair, RSA-2048 by OAEP.
enum class ExchangeType { x25519, p256, rsa_2048 };

class ExchangeKey {
public:
    virtual ~ExchangeKey() = default;
    virtual ExchangeType type() const = 0;
    virtual bool is_private() const = 0;
    // X25519 and P-256: a fresh key pair's public key (X25519 its 32 raw
    // bytes, P-256 its uncompressed point of 65), and into `shared` the
    // secret it agrees with this key.
    virtual Bytes ephemeral(Bytes& shared) const = 0;
    // X25519 and P-256, a private key: the secret it agrees with `peer`, a
    // public key as ephemeral() gives it.
    virtual Bytes agree(const Bytes& peer) const = 0;
    // RSA: OAEP, MGF1 and its hash SHA-256, no label. decrypt() gives
    // nullopt for a message this key did not encrypt.
    virtual Bytes encrypt(const Bytes& message) const = 0;
    virtual std::optional<Bytes> decrypt(const Bytes& message) const = 0;
};

class Ciphers {
public:
    // The run will encrypt or decrypt with the key file whose text is
    // `key`: a provider whose libraries take long to load may start loading
    // them now, while the engine reads the build. What goes wrong is said
    // when they are asked for.
    virtual void prepare(const std::string& key) { (void)key; }
    // A key from the text of a PEM file: a public key, or a private one
    // (when only its public half is needed, too). `name` is the file's,
    // for the lines.
    virtual std::unique_ptr<ExchangeKey> read_exchange_key(
        const std::string& pem, const std::string& name,
        const std::optional<std::string>& password) = 0;
    // A fresh AES key of `size` bytes from the operating system's source.
    virtual Bytes new_key(size_t size) = 0;
    // HKDF with `hash`, no salt; HMAC with `hash`.
    virtual Bytes hkdf(Hash hash, const Bytes& secret, const std::string& info,
                       size_t length) = 0;
    virtual Bytes hmac(Hash hash, const Bytes& key, const Bytes& message) = 0;
    // AES in counter mode from the 16-byte block `counter` (a 128-bit
    // big-endian count), over `size` bytes at `data`, in place: it
    // encrypts and decrypts alike.
    virtual void aes_ctr(const Bytes& key, const Bytes& counter, uint8_t* data,
                         size_t size) = 0;
    // AES key wrap with its default initial value (RFC 3394); unwrap gives
    // nullopt for bytes `kek` did not wrap.
    virtual Bytes aes_key_wrap(const Bytes& kek, const Bytes& key) = 0;
    virtual std::optional<Bytes> aes_key_unwrap(const Bytes& kek, const Bytes& wrapped) = 0;

protected:
    ~Ciphers() = default;
};

}  // namespace velk::crypto
