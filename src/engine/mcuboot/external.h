// A production key the build never holds: FLASH signs in two steps. The
// first (sign=digest or sign=payload, with the key's public half) writes
// what the key's holder must sign, <root>_CRC.tosign, and no image; the
// holder signs it with their HSM, token or signing service. The second,
// the same words with signature=<file>, puts that signature in, once it
// verifies against the key and the image, and writes every file a one-step
// run writes.
//
// The bytes are those imgtool's --vector-to-sign writes, bare: the
// image's digest, or what the digest covers (header, payload and protected
// TLVs). The signature file is what imgtool's --fix-sig reads (base64) or
// the signature's own bytes; an ECDSA signature either DER or the r||s a
// token's raw ECDSA returns, which the image carries as DER.
//
// Nothing here computes a digest or a signature: the signing stage hands
// in the digest and the covered bytes it made, and verifies through the
// key.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "../report/json.h"
#include "../run/crypto.h"
#include "format.h"

namespace velk::mcuboot::external {

// What the holder is given to sign.
enum class Vector { digest, payload };

// "digest", "payload": the values of sign=; nullopt for another word.
std::optional<Vector> vector_named(const std::string& word);
const char* vector_name(Vector vector);

// What the first step writes after the input's root.
constexpr const char* ending = "_CRC.tosign";

// What the first step made.
struct ToSign {
    Vector vector;
    Bytes bytes;
    crypto::KeyType key_type;
    std::string key;  // the key file, as given
};

// What the signature is over, from the signing stage: the image's digest,
// the bytes it covers (made when asked: they are the whole image), and
// whether the key's signature is over the digest itself.
struct Signable {
    const Bytes& digest;
    std::function<Bytes()> covered;
    bool over_digest;
};

// The holder's bytes for `vector`; refuses (Refusal, after `prefix`) a
// vector no signature of the key can be made from: a key that signs its
// message as it is (Ed25519) must be given that message.
ToSign to_sign(Vector vector, const Signable& signable, crypto::KeyType key_type,
               const std::string& key_name, const std::string& prefix);

// The most bytes the key's signature TLV takes in the image, its head
// with it: the first step's image must fit its slot once signed.
uint64_t signature_room(crypto::KeyType key_type);

// A signature file as read.
struct SignatureFile {
    std::string name;  // the path as given, for the lines
    Bytes bytes;       // as the file holds them
};

// Reads it; one that cannot be read, or is empty, is refused after
// `prefix`.
SignatureFile read_signature(const std::string& path, const std::string& prefix);

// The signature the file holds, as the image carries it: base64 decoded
// when the file is base64 text, the bytes as they are otherwise; for an
// ECDSA key r||s made DER. `how` says which ("base64, r||s made DER").
struct Signature {
    Bytes bytes;
    std::string how;
};
Signature decode_signature(const Bytes& file, crypto::KeyType key_type);

// The DER ECDSA-Sig-Value of r||s, the two halves big-endian and of one
// length.
Bytes der_of_rs(const uint8_t* rs, size_t size);

// The signature of `file`, verified by `key` over `message`, the bytes the
// key's scheme signs; one that does not verify is refused, naming the file
// and the key, after `prefix`.
Bytes verified_signature(const SignatureFile& file, const crypto::Key& key,
                         const std::string& key_name, const Bytes& message,
                         const std::string& prefix);

// The first step's line: what was written, for which key's holder.
std::string to_sign_line(const ToSign& made, const std::string& file);
// --json's "to_sign" object: the file, what it holds, the key, the bytes
// in hex.
json::Value describe(const ToSign& made, const std::string& file);

}  // namespace velk::mcuboot::external
