// Digests and signatures, from the libraries made for them. The engine says
// what it needs; the program that runs it supplies them (the Python binding
// through hashlib and the cryptography package, imported only by the runs
// that ask).
// Nothing in the engine computes a digest or a signature itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velk::mcuboot {
struct TokenKey;
}

namespace velk::crypto {

using Bytes = std::vector<uint8_t>;

// What cannot be done, as one line for the user: a key file that is not a
// key, or a key of a kind not supported, a wrong or missing password, the
// library not installed.
struct Failure {
    std::string why;
};

// A digest of the SHA-2 family, fed in pieces.
class Digest {
public:
    virtual ~Digest() = default;
    virtual void update(const uint8_t* data, size_t size) = 0;
    // The digest of everything fed: its hash's size. The object is spent.
    virtual Bytes finish() = 0;
};

class Ciphers;  // an encrypted image's, in cipher.h

// The hashes an MCUboot image is hashed with, one row each in hashes[].
enum class Hash { sha256, sha384, sha512 };

struct HashRow {
    Hash hash;
    const char* name;     // hashlib's: "sha256"
    const char* words;    // the lines': "SHA-256"
    uint8_t tlv;          // the image's hash TLV
    size_t size;          // the digest's bytes
    const char* setting;  // imgtool's --sha word: "256"
};

inline constexpr HashRow hashes[] = {
    {Hash::sha256, "sha256", "SHA-256", 0x10, 32, "256"},
    {Hash::sha384, "sha384", "SHA-384", 0x11, 48, "384"},
    {Hash::sha512, "sha512", "SHA-512", 0x12, 64, "512"},
};

constexpr const HashRow& hash_row(Hash hash) {
    for (const HashRow& r : hashes)
        if (r.hash == hash) return r;
    throw "no such hash";
}

enum class KeyType { ed25519, ecdsa_p256, rsa_2048, rsa_3072, ecdsa_p384 };

// "ed25519", "ecdsa-p256", "rsa-2048", "rsa-3072", "ecdsa-p384".
const char* key_type_name(KeyType type);

class Key {
public:
    virtual ~Key() = default;
    virtual KeyType type() const = 0;
    // A private key, which signs; a public one only verifies.
    virtual bool is_private() const = 0;
    // The public key in DER: SubjectPublicKeyInfo, or for an RSA key with
    // `pkcs1` its PKCS#1 RSAPublicKey.
    virtual Bytes public_der(bool pkcs1) const = 0;
    // The signature of `message`:
    //   Ed25519      over the message as it is;
    //   ECDSA P-256  over its SHA-256, deterministic (RFC 6979), DER;
    //   ECDSA P-384  the same over its SHA-384;
    //   RSA          PSS over its SHA-256, MGF1 with SHA-256, 32-byte salt.
    virtual Bytes sign(const uint8_t* message, size_t size) const = 0;
    virtual bool verify(const uint8_t* message, size_t size, const Bytes& signature) const = 0;
};

class Provider {
public:
    // The run will ask for digests, and for keys when `keys` (the key
    // file's text in `pem` when it could be read; without `keys` a public
    // key may still be read for its kind and bytes alone): a provider whose
    // libraries take long to load may start loading them now, while the
    // engine reads the build, so that they are there when first asked.
    // What goes wrong is said when they are asked for, not here.
    virtual void prepare(bool keys, const std::string& pem) {
        (void)keys;
        (void)pem;
    }
    virtual std::unique_ptr<Digest> digest(Hash hash) = 0;
    std::unique_ptr<Digest> sha256() { return digest(Hash::sha256); }
    // A key from the text of a PEM file: a private key (PKCS#8 or
    // traditional; an encrypted one opened with `password`) or, when
    // `public_ok`, a public key. `name` is the file's, for the lines.
    virtual std::unique_ptr<Key> read_key(const std::string& pem, const std::string& name,
                                          const std::optional<std::string>& password,
                                          bool public_ok) = 0;
    // A key in a PKCS#11 token (mcuboot/token_uri.h), which signs there;
    // its public half alone when `public_ok`.
    virtual std::unique_ptr<Key> token_key(const mcuboot::TokenKey& key, bool public_ok) {
        (void)key;
        (void)public_ok;
        throw Failure{"this program reaches no PKCS#11 token: give a key file"};
    }
    // The ciphers of an encrypted image, loaded at the first call.
    virtual Ciphers& ciphers() { throw Failure{"this program has no ciphers"}; }

protected:
    ~Provider() = default;
};

}  // namespace velk::crypto
