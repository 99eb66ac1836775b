// CHECK of an encrypted payload: the image's AES key opened from its TLV
// with decrypt='s private key (or KEK), and the payload decrypted, so that
// the hash and the signature are judged over the plaintext, as the
// bootloader judges them once it has decrypted the image.
#include <algorithm>

#include "../mcuboot/encryption.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "mcuboot_check.h"

namespace velk::check::mcuboot {

namespace {

void fault(Verdict& v, std::string what, uint64_t address, std::string held,
           std::string wanted) {
    v.faults.push_back({std::move(what), address, std::move(held), std::move(wanted)});
}

// The signature the image carries, named though it is not checked.
void name_signature(Verdict& v) {
    for (const format::Entry& e : v.areas.entries)
        if (!e.is_protected && format::signature_key(e.type) && !v.signature) v.signature = e.type;
}

}  // namespace

void read_decrypt_key(Verdict& v) {
    if (!v.settings.decrypt) return;
    format::SealingKey key = format::read_sealing_key(*v.settings.decrypt, false, "");
    static const std::string pem = "-----BEGIN";
    key.kek = std::search(key.content.begin(), key.content.end(), pem.begin(), pem.end()) ==
              key.content.end();
    if (key.kek && key.content.size() != 16 && key.content.size() != 32)
        throw Refusal{"decrypt=" + key.name + " is neither a PEM private key nor a KEK of 16 "
                      "or 32 bytes"};
    v.provider->ciphers().prepare(std::string(key.content.begin(), key.content.end()));
    v.sealing = std::move(key);
}

bool decrypt_payload(Verdict& v, const Bytes& image, Bytes& plain) {
    v.aes = format::aes_bits(v.header.flags);
    // decrypt= says the payload is encrypted: one in the clear is a
    // release that would ship its firmware readable.
    if (!v.aes && v.sealing)
        fault(v, "flags", v.address + format::field::flags,
              text::format("0x%X", v.header.flags),
              text::format("ENCRYPTED_AES128 (0x%X) or ENCRYPTED_AES256 (0x%X) (decrypt= "
                           "says the payload is encrypted)",
                           format::flag_encrypted_aes128, format::flag_encrypted_aes256));
    if (!v.aes) return true;
    const format::Entry* sealed = nullptr;
    for (const format::Entry& e : v.areas.entries)
        if (!e.is_protected && format::transport_of(e.type) && !sealed) sealed = &e;
    // Flags that say encrypted over an image that carries no key for it:
    // read as plain, where the hash, which covers the flags, names the change.
    if (!sealed) {
        v.aes = 0;
        return true;
    }
    v.transport = format::transport_of(sealed->type);
    const uint64_t value_at = v.address_of(*sealed) + format::tlv_head_size;
    const size_t length = format::sealed_length(*v.transport, v.aes);
    if (sealed->value.size() != length) {
        fault(v, format::tlv_words(sealed->type) + "'s length", value_at - 2,
              std::to_string(sealed->value.size()),
              text::format("%zu (%s, AES-%u)", length, v.transport->name, v.aes));
        if (v.sealing) v.unopened = v.faults.back().what + " holds " + v.faults.back().held;
        name_signature(v);
        return false;
    }
    if (!v.sealing) {
        name_signature(v);
        return false;
    }
    std::string why;
    const std::optional<Bytes> key = format::open_sealed(
        v.provider->ciphers(), *v.sealing, *v.transport, sealed->value, v.aes, why);
    if (!key) {
        fault(v, format::tlv_words(sealed->type), value_at,
              "a key that decrypt=" + v.sealing->name + " does not open: " + why,
              "the image's AES key sealed for " + v.sealing->name);
        v.unopened = v.faults.back().what + " holds " + v.faults.back().held;
        name_signature(v);
        return false;
    }
    plain = image;
    const uint64_t from = v.payload_start - v.address, to = v.payload_end - v.address;
    format::crypt_payload(v.provider->ciphers(), *key, plain.data() + from, to - from);
    v.plain_payload.assign(plain.begin() + static_cast<std::ptrdiff_t>(from),
                           plain.begin() + static_cast<std::ptrdiff_t>(to));
    v.decrypted = true;
    return true;
}

void Verdict::decrypted_over(layout::MemoryMap& memory) const {
    if (decrypted) memory.overlay(payload_start, plain_payload.data(), plain_payload.size());
}

}  // namespace velk::check::mcuboot
