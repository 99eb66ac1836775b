#include "hashing.h"

#include "../report/refusal.h"

namespace velk::mcuboot {

namespace {

using crypto::Hash;
using crypto::KeyType;

// The hashes a key's images carry, its default first, as imgtool allows
// them for a private key; `elsewhere`: also when the signature is made by
// the key's holder (imgtool takes more for some public keys).
struct KeyHashes {
    KeyType type;
    Hash hashes[2];
    size_t count;
    size_t elsewhere;  // how many of `hashes` a signature made elsewhere may use
};

constexpr KeyHashes key_hashes[] = {
    {KeyType::ed25519, {Hash::sha256, Hash::sha512}, 2, 2},
    {KeyType::ecdsa_p256, {Hash::sha256, Hash::sha512}, 1, 2},
    {KeyType::ecdsa_p384, {Hash::sha384, Hash::sha384}, 1, 1},
    {KeyType::rsa_2048, {Hash::sha256, Hash::sha256}, 1, 1},
    {KeyType::rsa_3072, {Hash::sha256, Hash::sha256}, 1, 1},
};

const KeyHashes& row_of(KeyType type) {
    for (const KeyHashes& k : key_hashes)
        if (k.type == type) return k;
    return key_hashes[0];
}

constexpr uint8_t sig_pure = tlv_kind("SIG_PURE").type;

// Each hash's TLV is the format's row of that name, of the digest's length.
constexpr bool hash_tlvs_agree() {
    const char* names[] = {"SHA256", "SHA384", "SHA512"};
    for (size_t i = 0; i < 3; ++i)
        if (tlv_kind(names[i]).type != crypto::hashes[i].tlv ||
            tlv_kind(names[i]).length != crypto::hashes[i].size)
            return false;
    return true;
}
static_assert(hash_tlvs_agree(), "the hashes' TLVs are the format's");

std::string setting_word(Hash hash) {
    return std::string("sha=") + crypto::hash_row(hash).setting;
}

}  // namespace

bool read_hash_setting(const std::string& word, std::optional<crypto::Hash>& out) {
    if (word == "auto") {
        out.reset();
        return true;
    }
    for (const crypto::HashRow& r : crypto::hashes)
        if (word == r.setting) {
            out = r.hash;
            return true;
        }
    return false;
}

crypto::Hash image_hash(std::optional<crypto::KeyType> key,
                        std::optional<crypto::Hash> asked, bool pure,
                        const std::string& prefix) {
    if (!key) return asked.value_or(Hash::sha256);
    const char* name = crypto::key_type_name(*key);
    if (pure) {
        if (*key != KeyType::ed25519)
            throw Refusal{prefix + "pure signs the image itself with an Ed25519 key, and the "
                                   "key is " + name + "'s"};
        // A pure signature is Ed25519's own SHA-512 over the image: the
        // image's hash is SHA-512 too, and no other is asked for.
        if (asked && *asked != Hash::sha512)
            throw Refusal{prefix + "pure images are hashed with SHA-512: " +
                          setting_word(*asked) + " goes with no pure signature"};
        return Hash::sha512;
    }
    const KeyHashes& k = row_of(*key);
    if (!asked) return k.hashes[0];
    for (size_t i = 0; i < k.count; ++i)
        if (k.hashes[i] == *asked) return *asked;
    std::string allowed;
    for (size_t i = 0; i < k.count; ++i)
        allowed += (i ? " or " : "") + setting_word(k.hashes[i]);
    throw Refusal{prefix + setting_word(*asked) + " does not go with " + name +
                  " keys: their images are hashed with " + allowed};
}

crypto::Hash likely_hash(std::optional<crypto::Hash> asked, bool pure) {
    return asked ? *asked : pure ? Hash::sha512 : Hash::sha256;
}

bool hash_takes(crypto::KeyType type, crypto::Hash hash) {
    const KeyHashes& k = row_of(type);
    for (size_t i = 0; i < k.elsewhere; ++i)
        if (k.hashes[i] == hash) return true;
    return false;
}

std::string hashes_of(crypto::KeyType type) {
    const KeyHashes& k = row_of(type);
    std::string out;
    for (size_t i = 0; i < k.elsewhere; ++i)
        out += (i ? " or " : "") + std::string(crypto::hash_row(k.hashes[i]).words);
    return out;
}

const crypto::HashRow* hash_of_tlv(uint8_t type) {
    for (const crypto::HashRow& r : crypto::hashes)
        if (r.tlv == type) return &r;
    return nullptr;
}

Bytes key_hash(crypto::Provider& provider, crypto::Hash hash, const crypto::Key& key) {
    const Bytes der = image_public_key(key);
    std::unique_ptr<crypto::Digest> digest = provider.digest(hash);
    digest->update(der.data(), der.size());
    return digest->finish();
}

bool signs_the_digest(crypto::KeyType type, bool pure) {
    return signs_digest(type) && !pure;
}

crypto::Hash hash_in(const Areas& areas) {
    for (const Entry& e : areas.entries)
        if (const crypto::HashRow* row = !e.is_protected ? hash_of_tlv(e.type) : nullptr)
            return row->hash;
    return Hash::sha256;
}

bool pure_in(const Areas& areas) {
    return areas.find(sig_pure) != nullptr;
}

Tlv pure_tlv() {
    return {sig_pure, {0x01}};
}

bool is_pure_tlv(uint8_t type) {
    return type == sig_pure;
}

const char* signature_words(uint8_t type, std::optional<crypto::KeyType> signer,
                            crypto::Hash hash) {
    if (!signature_key(type)) return nullptr;
    if (signer && signature_tlv(*signer) == type) return crypto::key_type_name(*signer);
    if (type == signature_tlv(KeyType::ecdsa_p384) && hash == Hash::sha384)
        return crypto::key_type_name(KeyType::ecdsa_p384);
    return signature_name(type);
}

}  // namespace velk::mcuboot
