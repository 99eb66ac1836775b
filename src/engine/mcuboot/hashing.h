// Which hash an MCUboot image is made with, and what its key signs: the
// choices imgtool makes from the key and its --sha and --pure, in one
// place for FLASH and CHECK.
//   unsigned     SHA-256, or the one sha= names
//   Ed25519      SHA-256 or SHA-512; the digest is signed
//   pure         Ed25519 alone, SHA-512; the covered bytes themselves are
//                signed (header, payload, protected TLVs), and the image
//                says so in a SIG_PURE TLV
//   ECDSA P-256  SHA-256 (a signature made elsewhere also with SHA-512)
//   ECDSA P-384  SHA-384
//   RSA          SHA-256
// The key hash is taken with the image's hash: 48 bytes beside SHA-384.
#pragma once

#include <optional>
#include <string>

#include "../run/crypto.h"
#include "format.h"

namespace velk::mcuboot {

// "256", "384", "512" (imgtool's words) or "auto" (nullopt): false for
// another word.
bool read_hash_setting(const std::string& word, std::optional<crypto::Hash>& out);

// The hash of an image signed by a key of `key` (none: unsigned) with
// `asked` (nullopt: auto) and `pure`. A combination imgtool refuses is
// refused, naming both, after `prefix`.
crypto::Hash image_hash(std::optional<crypto::KeyType> key,
                        std::optional<crypto::Hash> asked, bool pure,
                        const std::string& prefix);

// The hash image_hash() likely gives before the key's kind is known: the
// one asked for, SHA-512 when pure, else SHA-256 (every kind's but P-384's).
crypto::Hash likely_hash(std::optional<crypto::Hash> asked, bool pure);

// Whether images of a key of `type` may carry `hash`: what a bootloader
// built for that key and hash verifies.
bool hash_takes(crypto::KeyType type, crypto::Hash hash);

// "SHA-256 or SHA-512": the hashes images of a key of `type` carry.
std::string hashes_of(crypto::KeyType type);

// The image's hash TLV kind of `type`; nullptr for a type that is no hash.
const crypto::HashRow* hash_of_tlv(uint8_t type);

// The key hash TLV's value: the public key as the image carries it, hashed
// with the image's hash.
Bytes key_hash(crypto::Provider& provider, crypto::Hash hash, const crypto::Key& key);

// Whether the key signs the image's digest (Ed25519, not pure), rather
// than the covered bytes, which ECDSA and RSA hash again and pure Ed25519
// signs as they are.
bool signs_the_digest(crypto::KeyType type, bool pure);

// The hash an image's TLVs say it is hashed with: its first hash TLV's
// (SHA-256 when it has none, the hash MCUboot looks for by default).
crypto::Hash hash_in(const Areas& areas);
// Whether the image's unprotected TLVs say its signature is pure.
bool pure_in(const Areas& areas);

// The SIG_PURE TLV of a pure image: one byte, 01.
Tlv pure_tlv();
// Whether `type` is the SIG_PURE TLV's.
bool is_pure_tlv(uint8_t type);

// "ecdsa-p384": the signature TLV `type` named by the key that made it,
// when known (`signer`), else by the hash beside it: ECDSASIG beside
// SHA-384 is P-384's. nullptr for a type that is no signature.
const char* signature_words(uint8_t type, std::optional<crypto::KeyType> signer,
                            crypto::Hash hash);

}  // namespace velk::mcuboot
