// An encrypted MCUboot image, as MCUboot's bootloader decrypts one: the
// payload (not the header, not the TLVs) in AES-CTR from a zero counter at
// the payload's start, under a fresh AES key that travels in one TLV,
// sealed for the device's key:
//   ECIES-X25519, ECIES-P256  a fresh key pair's public key, an HMAC-SHA256
//                             tag, then the AES key in AES-CTR; both keys
//                             from HKDF-SHA256 over the exchanged secret
//   RSA-OAEP                  the AES key in RSA-2048 OAEP (SHA-256)
//   AES-KW                    the AES key wrapped by a shared KEK
// The hash and signature are over the plaintext, taken before it is
// encrypted; the header's flag says the key's size. Every primitive comes
// from the host's ciphers: this is only their composition.
#pragma once

#include <optional>
#include <string>

#include "../run/cipher.h"
#include "format.h"

namespace velk::mcuboot {

// How an image's AES key travels, one row each: its TLV, and the kind of
// key that seals it (none: AES-KW's shared KEK).
// ECIES's HKDF and HMAC hash with `mac`, and its TLV holds the fresh
// public key (`point` bytes) and the tag before the sealed key.
struct Transport {
    const char* name;
    uint8_t tlv;
    std::optional<crypto::ExchangeType> exchange;
    crypto::Hash mac;
    size_t point;
    size_t overhead;  // the TLV's length less the AES key's
};

inline constexpr Transport transports[] = {
    {"RSA-OAEP", tlv_kind("ENCRSA2048").type, crypto::ExchangeType::rsa_2048,
     crypto::Hash::sha256, 0, 0},
    {"AES-KW", tlv_kind("ENCKW").type, std::nullopt, crypto::Hash::sha256, 0, 8},
    {"ECIES-P256", tlv_kind("ENCEC256").type, crypto::ExchangeType::p256,
     crypto::Hash::sha256, 65, 65 + 32},
    {"ECIES-X25519", tlv_kind("ENCX25519").type, crypto::ExchangeType::x25519,
     crypto::Hash::sha256, 32, 32 + 32},
    {"ECIES-X25519-SHA512", tlv_kind("ENCX25519_SHA512").type, crypto::ExchangeType::x25519,
     crypto::Hash::sha512, 32, 32 + 64},
};

// The row of the TLV `type`; nullptr for one that carries no image key.
const Transport* transport_of(uint8_t type);
// The TLV's length for an AES key of `aes` bits.
size_t sealed_length(const Transport& t, unsigned aes);

// The AES key's bits the header's flags say (0: not encrypted), and the
// flag of a key of `bits`.
unsigned aes_bits(uint32_t flags);
uint32_t encrypted_flag(unsigned bits);

// The file of encrypt=/decrypt= (a PEM key) or encrypt-kw= (a raw KEK),
// read once.
struct SealingKey {
    std::string name;
    Bytes content;
    bool kek = false;
};

// Reads it; one that cannot be read, or a KEK of another size than 16 or
// 32 bytes, is refused, the line starting with `prefix`.
SealingKey read_sealing_key(const std::string& path, bool kek, const std::string& prefix);

// FLASH: a fresh AES key of `aes` bits, and its TLV sealed for `key`.
// A signature by ECDSA or RSA needs an encryption key of the same kind, as
// imgtool demands: another is refused, the line starting with `prefix`.
struct Sealed {
    const Transport* transport;
    Tlv tlv;
    Bytes key;
};
// `mac`: ECIES-X25519's HMAC hash (imgtool's --hmac-sha), SHA-256 for
// every other key.
Sealed seal(crypto::Ciphers& ciphers, const SealingKey& key, unsigned aes, crypto::Hash mac,
            std::optional<crypto::KeyType> signer, const std::string& prefix);

// CHECK: the AES key `entry` carries, opened with the private key (or KEK)
// `key`; nullopt and `why` when it does not open.
std::optional<Bytes> open_sealed(crypto::Ciphers& ciphers, const SealingKey& key,
                                 const Transport& transport, const Bytes& value, unsigned aes,
                                 std::string& why);

// AES-CTR over the payload, `size` bytes from its start, in place: the
// same call encrypts and decrypts.
void crypt_payload(crypto::Ciphers& ciphers, const Bytes& key, uint8_t* payload, size_t size);

// "ECIES-X25519 (enc.pem), AES-128": FLASH's and CHECK's words for it.
std::string encryption_words(const Transport& t, unsigned aes, const std::string& key_name);

}  // namespace velk::mcuboot
