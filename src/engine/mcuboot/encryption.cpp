#include "encryption.h"

#include "../platform/platform.h"
#include "../report/refusal.h"

namespace velk::mcuboot {

namespace {

// What MCUboot's key exchange derives its two keys with.
constexpr const char* ecies_info = "MCUBoot_ECIES_v1";

const Bytes zero_counter(16, 0);

std::unique_ptr<crypto::ExchangeKey> exchange_key(crypto::Ciphers& ciphers,
                                                  const SealingKey& key) {
    return ciphers.read_exchange_key(std::string(key.content.begin(), key.content.end()),
                                     key.name, platform::environment("VELK_KEY_PASSWORD"));
}

// The AES key and HMAC key HKDF derives from the exchanged secret.
std::pair<Bytes, Bytes> derived_keys(crypto::Ciphers& ciphers, const Transport& t,
                                     const Bytes& shared, size_t aes) {
    const Bytes both =
        ciphers.hkdf(t.mac, shared, ecies_info, aes + crypto::hash_row(t.mac).size);
    return {Bytes(both.begin(), both.begin() + static_cast<std::ptrdiff_t>(aes)),
            Bytes(both.begin() + static_cast<std::ptrdiff_t>(aes), both.end())};
}

const char* exchange_words(crypto::ExchangeType type) {
    switch (type) {
    case crypto::ExchangeType::x25519: return "an X25519 key";
    case crypto::ExchangeType::p256: return "a P-256 key";
    case crypto::ExchangeType::rsa_2048: return "an RSA-2048 key";
    }
    return "";
}

const Transport& transport_for(crypto::ExchangeType type, crypto::Hash mac) {
    for (const Transport& t : transports)
        if (t.exchange == type && t.mac == mac) return t;
    throw Refusal{"no transport"};
}

// imgtool's rule: an ECDSA or RSA signature comes with an encryption key
// of its own kind, "a P-384 key" for P-384 (which MCUboot has no exchange
// for); Ed25519 takes any (nullptr).
const char* wanted_for(crypto::KeyType signer) {
    switch (signer) {
    case crypto::KeyType::ecdsa_p256: return exchange_words(crypto::ExchangeType::p256);
    case crypto::KeyType::ecdsa_p384: return "a P-384 key, which MCUboot has no key exchange for";
    case crypto::KeyType::rsa_2048:
    case crypto::KeyType::rsa_3072: return exchange_words(crypto::ExchangeType::rsa_2048);
    case crypto::KeyType::ed25519: return nullptr;
    }
    return nullptr;
}

}  // namespace

const Transport* transport_of(uint8_t type) {
    for (const Transport& t : transports)
        if (t.tlv == type) return &t;
    return nullptr;
}

size_t sealed_length(const Transport& t, unsigned aes) {
    return t.exchange == crypto::ExchangeType::rsa_2048 ? 256 : t.overhead + aes / 8;
}

unsigned aes_bits(uint32_t flags) {
    if (flags & flag_encrypted_aes256) return 256;
    if (flags & flag_encrypted_aes128) return 128;
    return 0;
}

uint32_t encrypted_flag(unsigned bits) {
    return bits == 256 ? flag_encrypted_aes256 : flag_encrypted_aes128;
}

SealingKey read_sealing_key(const std::string& path, bool kek, const std::string& prefix) {
    std::vector<uint8_t> content;
    if (int error = platform::read_file(path, content, uint64_t{1} << 20))
        throw Refusal{prefix + "cannot read the key " + path + ": " +
                      platform::error_text(error)};
    if (kek && content.size() != 16 && content.size() != 32)
        throw Refusal{prefix + path + " holds " + std::to_string(content.size()) +
                      " bytes: a KEK is a raw AES key of 16 or 32 bytes"};
    return {path, std::move(content), kek};
}

Sealed seal(crypto::Ciphers& ciphers, const SealingKey& key, unsigned aes, crypto::Hash mac,
            std::optional<crypto::KeyType> signer, const std::string& prefix) {
    const size_t size = aes / 8;
    if (key.kek) {
        const Transport* kw = transport_of(tlv_kind("ENCKW").type);
        Bytes image_key = ciphers.new_key(size);
        Bytes wrapped = ciphers.aes_key_wrap(key.content, image_key);
        return {kw, {kw->tlv, std::move(wrapped)}, std::move(image_key)};
    }
    const std::unique_ptr<crypto::ExchangeKey> device = exchange_key(ciphers, key);
    const char* wanted = signer ? wanted_for(*signer) : nullptr;
    if (wanted && std::string(wanted) != exchange_words(device->type()))
        throw Refusal{prefix + "encrypt=" + key.name + " is " +
                      exchange_words(device->type()) + ": an image signed with " +
                      crypto::key_type_name(*signer) + " is encrypted for " + wanted +
                      ", as imgtool demands"};
    if (mac != crypto::Hash::sha256 && device->type() != crypto::ExchangeType::x25519)
        throw Refusal{prefix + "hmac=" + crypto::hash_row(mac).setting + ": encrypt=" +
                      key.name + " is " + exchange_words(device->type()) +
                      ", and only ECIES-X25519 takes another HMAC than SHA-256"};
    const Transport& t = transport_for(device->type(), mac);
    Bytes image_key = ciphers.new_key(size);
    if (device->type() == crypto::ExchangeType::rsa_2048) {
        Bytes sealed = device->encrypt(image_key);
        return {&t, {t.tlv, std::move(sealed)}, std::move(image_key)};
    }
    Bytes shared;
    const Bytes ephemeral = device->ephemeral(shared);
    const auto [aes_key, hmac_key] = derived_keys(ciphers, t, shared, size);
    Bytes sealed = image_key;
    ciphers.aes_ctr(aes_key, zero_counter, sealed.data(), sealed.size());
    const Bytes tag = ciphers.hmac(t.mac, hmac_key, sealed);
    Bytes v = ephemeral;
    v.insert(v.end(), tag.begin(), tag.end());
    v.insert(v.end(), sealed.begin(), sealed.end());
    return {&t, {t.tlv, std::move(v)}, std::move(image_key)};
}

std::optional<Bytes> open_sealed(crypto::Ciphers& ciphers, const SealingKey& key,
                                 const Transport& transport, const Bytes& value, unsigned aes,
                                 std::string& why) {
    const size_t size = aes / 8;
    if (key.kek != !transport.exchange) {
        why = key.kek ? key.name + " is a KEK, and the image's key is sealed by " +
                            transport.name
                      : "the image's key is wrapped by a KEK (AES-KW): decrypt= takes its file, "
                        "not " + key.name;
        return std::nullopt;
    }
    if (key.kek) {
        std::optional<Bytes> plain = ciphers.aes_key_unwrap(key.content, value);
        if (!plain || plain->size() != size) why = key.name + " does not unwrap it";
        return plain && plain->size() == size ? plain : std::nullopt;
    }
    const std::unique_ptr<crypto::ExchangeKey> device = exchange_key(ciphers, key);
    // A public key opens nothing, whatever the image holds: no verdict.
    if (!device->is_private())
        throw Refusal{"decrypt=" + key.name + " is a public key: decrypting needs the "
                      "private key"};
    if (device->type() != *transport.exchange) {
        why = key.name + " is " + exchange_words(device->type()) +
              ", the image's key is sealed by " + transport.name;
        return std::nullopt;
    }
    if (device->type() == crypto::ExchangeType::rsa_2048) {
        std::optional<Bytes> plain = device->decrypt(value);
        if (!plain || plain->size() != size) why = key.name + " does not decrypt it";
        return plain && plain->size() == size ? plain : std::nullopt;
    }
    const size_t point = transport.point;
    const Bytes ephemeral(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(point));
    const Bytes tag(value.begin() + static_cast<std::ptrdiff_t>(point),
                    value.begin() + static_cast<std::ptrdiff_t>(transport.overhead));
    Bytes sealed(value.begin() + static_cast<std::ptrdiff_t>(transport.overhead), value.end());
    Bytes shared;
    try {
        shared = device->agree(ephemeral);
    } catch (const crypto::Failure&) {
        why = "its ephemeral key is no " + std::string(transport.name) + " public key";
        return std::nullopt;
    }
    const auto [aes_key, hmac_key] = derived_keys(ciphers, transport, shared, size);
    if (ciphers.hmac(transport.mac, hmac_key, sealed) != tag) {
        why = "its HMAC tag is not the one " + key.name + " derives";
        return std::nullopt;
    }
    ciphers.aes_ctr(aes_key, zero_counter, sealed.data(), sealed.size());
    return sealed;
}

void crypt_payload(crypto::Ciphers& ciphers, const Bytes& key, uint8_t* payload, size_t size) {
    if (size) ciphers.aes_ctr(key, zero_counter, payload, size);
}

std::string encryption_words(const Transport& t, unsigned aes, const std::string& key_name) {
    return std::string(t.name) + " (" + key_name + "), AES-" + std::to_string(aes);
}

}  // namespace velk::mcuboot
