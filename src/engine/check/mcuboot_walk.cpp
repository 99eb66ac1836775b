// The verdict on an image's TLVs as MCUboot's bootloader reaches it: it
// walks every entry of both areas in file order, and
//   - each entry of the image's hash (the first hash TLV's kind: SHA-256,
//     SHA-384 or SHA-512) must hold it, and one must be there;
//   - a key entry picks the key it names, or none, until the next one (a
//     key hash is compared as a prefix of the key's hash; a bootloader with
//     hardware keys takes the public key itself);
//   - a signature of the key's kind counts only while a key is picked, and
//     drops it; the last one that counts decides.
// The bootloader here holds the one key CHECK was given.
#include <algorithm>

#include "../mcuboot/hashing.h"
#include "../report/text.h"
#include "mcuboot_check.h"

namespace velk::check::mcuboot {

namespace {

// A key hash of fewer bytes than this is one CHECK refuses, though MCUboot
// would take it: a few bytes match another key's hash by chance.
constexpr size_t least_key_hash = 16;

// The size MCUboot takes of a signature by a key of `type`; 0: any up to
// its buffer's 128 bytes (ECDSA's DER).
size_t signature_size(crypto::KeyType type) {
    switch (type) {
    case crypto::KeyType::ed25519: return 64;
    case crypto::KeyType::rsa_2048: return 256;
    case crypto::KeyType::rsa_3072: return 384;
    default: return 0;
    }
}

class Walk {
public:
    Walk(Verdict& v, const uint8_t* hashed, size_t size)
        : v_(v), hashed_(hashed), size_(size) {}

    void run() {
        hashes();
        if (!v_.key) {
            for (const format::Entry& e : v_.areas.entries)
                if (!e.is_protected && format::signature_key(e.type) && !v_.signature)
                    v_.signature = e.type;
            return;
        }
        key_material();
        for (const format::Entry& e : v_.areas.entries) {
            if (e.type == key_type_) key_entry(e);
            else if (e.type == signature_type_) signature_entry(e);
        }
        verdict();
    }

private:
    struct Counted {
        const format::Entry* entry;
        const format::Entry* key;
        bool ok;
    };
    struct Ignored {
        const format::Entry* entry;
        const format::Entry* key;  // the key entry before it, none picked
    };

    uint64_t at(const format::Entry& e) const { return v_.address_of(e) + format::tlv_head_size; }
    void fault(std::string what, uint64_t address, std::string held, std::string wanted) {
        v_.faults.push_back({std::move(what), address, std::move(held), std::move(wanted)});
    }
    void note(uint64_t address, std::string text) { v_.notes.push_back({address, std::move(text)}); }

    // Every entry of the image's hash, wherever it is, holds the image's
    // hash; the bootloader is built for that hash, and for the key's kind.
    void hashes() {
        const crypto::HashRow& row = crypto::hash_row(v_.hash_kind);
        const std::string wanted = std::string("the image's ") + row.words + " " +
                                   text::hex(v_.hash);
        bool any = false, wrong = false;
        for (const format::Entry& e : v_.areas.entries) {
            if (e.type != row.tlv) {
                const crypto::HashRow* other =
                    e.is_protected ? nullptr : format::hash_of_tlv(e.type);
                if (other)
                    note(at(e), text::format("TLV 0x%02X at %s, a %s hash beside the image's "
                                             "%s: a bootloader built for %s passes over it, "
                                             "not checked",
                                             e.type, text::address(at(e)).c_str(),
                                             other->words, row.words, row.words));
                continue;
            }
            if (!any && v_.key && !format::hash_takes(v_.key->type(), v_.hash_kind))
                fault(format::tlv_words(row.tlv), at(e), std::string("a ") + row.words + " hash",
                      "a hash of " + format::hashes_of(v_.key->type()) + ", as " +
                          crypto::key_type_name(v_.key->type()) + " keys' images carry");
            any = true;
            if (e.value == v_.hash) continue;
            wrong = true;
            fault(format::tlv_words(row.tlv), at(e), text::hex(e.value), wanted);
        }
        v_.hash_ok = any && !wrong;
        if (!any) fault(format::tlv_words(row.tlv), v_.protected_end, "none", wanted);
        // A pure signature is Ed25519's alone.
        const format::Entry* pure = nullptr;
        for (const format::Entry& e : v_.areas.entries)
            if (!e.is_protected && format::is_pure_tlv(e.type) && !pure) pure = &e;
        if (pure && v_.key && v_.key->type() != crypto::KeyType::ed25519)
            fault(format::tlv_words(pure->type), at(*pure), "the mark of a pure signature",
                  std::string("nothing: ") + crypto::key_type_name(v_.key->type()) +
                      " keys make no pure signature");
        // A bootloader built for pure signatures boots an image whose mark
        // holds 01 and no other value.
        else if (pure && pure->value.size() == 1 && pure->value[0] != 0x01)
            fault(format::tlv_words(pure->type), at(*pure), text::hex(pure->value),
                  "01, the mark of a pure signature a bootloader reads");
    }

    // The key entry the bootloader reads: a key hash, or with hardware
    // keys (an image that carries its public key) the key itself.
    void key_material() {
        const crypto::Key& key = *v_.key;
        signature_type_ = format::signature_tlv(key.type());
        der_ = format::image_public_key(key);
        der_hash_ = format::key_hash(*v_.provider, v_.hash_kind, key);
        v_.key_hash = der_hash_;
        const bool full = std::any_of(v_.areas.entries.begin(), v_.areas.entries.end(),
                                      [](const format::Entry& e) {
                                          return e.type == format::tlv::public_key;
                                      });
        const bool hashed = v_.areas.find(format::tlv::key_hash) != nullptr;
        key_type_ = full && !hashed ? format::tlv::public_key : format::tlv::key_hash;
    }

    std::string key_what() const {
        return format::tlv_words(key_type_);
    }

    void key_entry(const format::Entry& e) {
        const Bytes& value = e.value;
        const size_t size = value.size();
        picked_ = nullptr;
        last_key_ = &e;
        if (key_type_ == format::tlv::public_key) {
            if (value == der_) picked_ = &e;
            else others_.push_back(&e);
            return;
        }
        if (size > der_hash_.size()) {
            fault(key_what(), at(e), text::format("%zu bytes", size),
                  text::format("at most %zu bytes, the key's %s (MCUboot refuses a longer one)",
                               der_hash_.size(), crypto::hash_row(v_.hash_kind).words));
            return;
        }
        if (!std::equal(value.begin(), value.end(), der_hash_.begin())) {
            others_.push_back(&e);
            return;
        }
        picked_ = &e;
        if (size == der_hash_.size()) return;
        if (size >= least_key_hash) {
            note(at(e), format::tlv_words(format::tlv::key_hash) +
                            text::format(" at %s holds the first %zu bytes of %s's hash: "
                                         "MCUboot compares that many",
                                         text::address(at(e)).c_str(), size,
                                         v_.key_name.c_str()));
            return;
        }
        v_.key_short = true;
        fault(key_what(), at(e),
              text::format("the first %zu byte%s of %s's hash (MCUboot would accept it)", size,
                           size == 1 ? "" : "s", v_.key_name.c_str()),
              text::format("at least %zu bytes of ", least_key_hash) + text::hex(der_hash_));
    }

    void signature_entry(const format::Entry& e) {
        if (!picked_) {
            ignored_.push_back({&e, last_key_});
            return;
        }
        // MCUboot refuses the image outright for a signature of the wrong
        // size once a key is picked.
        const size_t size = e.value.size();
        const size_t wanted = signature_size(v_.key->type());
        if (wanted ? size != wanted : size > 128) {
            fault(signature_what(), at(e), text::format("%zu bytes", size),
                  wanted ? text::format("%zu bytes (MCUboot refuses another size)", wanted)
                         : "at most 128 bytes (MCUboot refuses a longer one)");
            picked_ = nullptr;
            return;
        }
        bool ok = false;
        const crypto::Key& key = *v_.key;
        // A signature too damaged for the library to read is one that does
        // not verify.
        try {
            ok = format::signs_the_digest(key.type(), v_.pure)
                     ? key.verify(v_.hash.data(), v_.hash.size(), e.value)
                     : key.verify(hashed_, size_, e.value);
        } catch (const crypto::Failure&) {
            ok = false;
        }
        counted_.push_back({&e, picked_, ok});
        picked_ = nullptr;
    }

    std::string signature_what() const {
        return text::format("the %s signature TLV (0x%02X)",
                            crypto::key_type_name(v_.key->type()), signature_type_);
    }

    void verdict() {
        v_.signature_checked = true;
        if (!counted_.empty()) {
            const Counted& last = counted_.back();
            v_.signature = signature_type_;
            v_.signature_ok = last.ok;
            v_.signature_counted = true;
            v_.key_ok = true;
            if (!last.ok)
                fault(signature_what(), at(*last.entry), "a signature that does not verify",
                      "one that " + v_.key_name + " verifies");
            for (const Counted& c : counted_)
                if (&c != &last && !c.ok)
                    note(at(*c.entry),
                         "the signature at " + text::address(at(*c.entry)) +
                             " does not verify; MCUboot goes by the last one, at " +
                             text::address(at(*last.entry)));
            for (const format::Entry* k : others_)
                note(at(*k), key_what() + " at " + text::address(at(*k)) + " is not " +
                                 v_.key_name + "'s: MCUboot picks no key there");
            for (const Ignored& i : ignored_)
                note(at(*i.entry), "the signature at " + text::address(at(*i.entry)) +
                                       " follows " + why_ignored(i) +
                                       ": MCUboot passes over it");
            return;
        }
        uncounted();
    }

    std::string why_ignored(const Ignored& i) const {
        if (!i.key) return "no " + key_what().substr(4);
        return key_what() + " at " + text::address(at(*i.key)) + ", which is not " +
               v_.key_name + "'s";
    }

    // No signature counts: say which entry is missing or keeps it out.
    void uncounted() {
        const Bytes& wanted = key_type_ == format::tlv::key_hash ? der_hash_ : der_;
        const format::Entry* any_key = nullptr;
        bool ours = false;
        for (const format::Entry& e : v_.areas.entries)
            if (e.type == key_type_) {
                if (!any_key) any_key = &e;
                ours = ours || (key_type_ == format::tlv::public_key
                                    ? e.value == der_
                                    : e.value.size() <= der_hash_.size() &&
                                          std::equal(e.value.begin(), e.value.end(),
                                                     der_hash_.begin()));
            }
        if (!any_key)
            fault("the key TLV", v_.protected_end, "none",
                  text::format("a key hash (0x%02X) or public key (0x%02X) of ",
                               format::tlv::key_hash, format::tlv::public_key) +
                      v_.key_name);
        else if (!ours)
            fault(key_what(), at(*any_key), text::hex(any_key->value),
                  v_.key_name + "'s " + text::hex(wanted));
        if (ignored_.empty()) {
            const format::Entry* other = nullptr;
            for (const format::Entry& e : v_.areas.entries)
                if (!e.is_protected && format::signature_key(e.type) && !other) other = &e;
            if (other) v_.signature = other->type;
            fault(signature_what(), v_.protected_end,
                  other ? text::format("none (one of %s, 0x%02X)",
                                       format::signature_words(other->type, std::nullopt,
                                                               v_.hash_kind),
                                       other->type)
                        : "none",
                  "a signature by " + v_.key_name);
            return;
        }
        // A signature of the key's kind that MCUboot passes over: whether it
        // verifies tells a wrong key from a wrong order.
        const Ignored& i = ignored_.back();
        v_.signature = signature_type_;
        bool verifies = false;
        try {
            verifies = format::signs_the_digest(v_.key->type(), v_.pure)
                           ? v_.key->verify(v_.hash.data(), v_.hash.size(), i.entry->value)
                           : v_.key->verify(hashed_, size_, i.entry->value);
        } catch (const crypto::Failure&) {
        }
        if (!verifies && !ours) {
            fault(signature_what(), at(*i.entry), "a signature that does not verify",
                  "one that " + v_.key_name + " verifies");
            return;
        }
        v_.signature_ok = verifies;
        v_.key_ok = ours;
        if (ours)
            fault(signature_what(), at(*i.entry),
                  "a signature MCUboot passes over: it follows " + why_ignored(i),
                  "one right after " + v_.key_name + "'s " + key_what().substr(4));
    }

    Verdict& v_;
    const uint8_t* hashed_;
    size_t size_;
    uint8_t key_type_ = format::tlv::key_hash, signature_type_ = 0;
    Bytes der_, der_hash_;
    const format::Entry* picked_ = nullptr;
    const format::Entry* last_key_ = nullptr;
    std::vector<Counted> counted_;
    std::vector<Ignored> ignored_;
    std::vector<const format::Entry*> others_;  // key entries of no key the bootloader holds
};

}  // namespace

void walk_tlvs(Verdict& v, const uint8_t* hashed, size_t size) {
    Walk(v, hashed, size).run();
}

}  // namespace velk::check::mcuboot
