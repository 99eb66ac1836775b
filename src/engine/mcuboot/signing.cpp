#include "signing.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "../base/byte_order.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "describe.h"
#include "hashing.h"

namespace velk::mcuboot {

namespace {

constexpr uint16_t em_arm = 40;

uint32_t word_at(const layout::MemoryMap& memory, uint64_t address) {
    uint8_t b[4];
    memory.read(address, b, 4);
    return bytes::le32(b);
}

bool erased_or_zero(uint8_t byte, uint8_t fill) {
    return byte == 0x00 || byte == fill;
}

// A header smaller than the build's room leaves the room's rest at the
// payload's start, where the bootloader looks for the vector table.
void refuse_a_smaller_header(Signing& s, const layout::MemoryMap& memory,
                             uint64_t first) {
    const uint8_t fill = memory.fill();
    uint64_t at = first + s.settings.header;
    uint8_t chunk[256];
    for (bool empty = true; empty && at < memory.end();) {
        const uint64_t n = std::min<uint64_t>(sizeof chunk, memory.end() - at);
        memory.read(at, chunk, n);
        const uint8_t* held = std::find_if(chunk, chunk + n, [&](uint8_t b) {
            return !erased_or_zero(b, fill);
        });
        empty = held == chunk + n;
        at += static_cast<uint64_t>(held - chunk);
    }
    // An initial stack pointer's low bytes are 0x00: the room ends at a
    // whole word.
    at = first + ((at - first) & ~uint64_t{3});
    if (at <= first + s.settings.header || at >= memory.end()) return;
    s.refused.push_back(text::format(
        "header=0x%llX is smaller than the build's room: the build reserves 0x%llX bytes "
        "at %s, so there is no vector table at the payload's start (%s); header=0x%llX "
        "fills the room",
        static_cast<unsigned long long>(s.settings.header),
        static_cast<unsigned long long>(at - first), text::address(first).c_str(),
        text::address(first + s.settings.header).c_str(),
        static_cast<unsigned long long>(at - first)));
}

// The header's room: the build's own when its image starts with a room of
// nothing (0x00 or erased flash), as Zephyr's ROM start offset leaves it;
// otherwise one added before an image that starts with its code. A room
// that starts empty and then holds the build's bytes is reserved too small.
void find_room(Signing& s, const layout::MemoryMap& memory) {
    const uint64_t first = memory.pieces().front().address;
    const uint64_t size = s.settings.header;
    Bytes room(size);
    memory.read(first, room.data(), size);
    const uint8_t fill = memory.fill();
    const bool starts_empty = std::all_of(room.begin(), room.begin() + header_fields,
                                          [&](uint8_t b) { return erased_or_zero(b, fill); });
    if (starts_empty) {
        auto held = std::find_if(room.begin(), room.end(),
                                 [&](uint8_t b) { return !erased_or_zero(b, fill); });
        if (held != room.end()) {
            // An initial stack pointer's low bytes are 0x00: the room ends at
            // a whole word.
            const uint64_t reserved = static_cast<uint64_t>(held - room.begin()) & ~uint64_t{3};
            throw Refusal{text::format("the header's room %s to %s holds the build's bytes "
                                       "from %s on: the build reserves 0x%llX bytes at its "
                                       "start, header=0x%llX needs them all",
                                       text::address(first).c_str(),
                                       text::address(first + size - 1).c_str(),
                                       text::address(first + reserved).c_str(),
                                       static_cast<unsigned long long>(reserved),
                                       static_cast<unsigned long long>(size))};
        }
        s.room_reserved = true;
        s.slot = first;
        refuse_a_smaller_header(s, memory, first);
    } else {
        if (first < size)
            throw Refusal{text::format(
                "the image starts at %s with the build's bytes, and a header of 0x%llX "
                "bytes before it would lie below address 0",
                text::address(first).c_str(), static_cast<unsigned long long>(size))};
        s.slot = first - size;
    }
    s.payload = s.slot + size;
}

// The payload reaches the end of the last bytes the slot holds; without a
// slot size, of the last cluster joined to the image's. Bytes beyond would
// be neither signed nor booted.
void find_end(Signing& s, const layout::MemoryMap& memory) {
    const std::vector<layout::Piece>& pieces = memory.pieces();
    s.end = pieces.front().end();
    if (s.settings.slot) {
        // Bytes of the build past the slot's end: apart from the payload,
        // they are left unsigned when forced; joined to it, the payload
        // does not fit, and the refusal of that counts them all.
        const uint64_t slot_end = s.slot + *s.settings.slot;
        std::optional<uint64_t> apart;
        bool straddles = false;
        // A hole between the build's bytes is judged by the bytes around
        // it; the erased flash after the last of them is a record's image
        // padding the build up to the record, stored there once signed: it
        // counts as the build's.
        size_t last = 0;
        for (size_t i = 0; i < pieces.size(); ++i)
            if (pieces[i].bytes) last = i;
        auto counts = [&](size_t i) { return pieces[i].bytes || i > last; };
        for (size_t i = 0; i < pieces.size(); ++i) {
            const layout::Piece& p = pieces[i];
            if (!counts(i)) continue;
            straddles = straddles || (p.address < slot_end && p.end() > slot_end);
            if (p.address >= slot_end && !apart) apart = p.address;
        }
        for (size_t i = 0; i < pieces.size(); ++i)
            if (counts(i) && (straddles || pieces[i].address < slot_end))
                s.end = std::max(s.end, pieces[i].end());
        if (apart && !straddles)
            s.refused.push_back(text::format(
                "the build's bytes at %s to %s lie outside the slot (%s to %s): they would "
                "not be signed",
                text::address(*apart).c_str(), text::address(memory.end() - 1).c_str(),
                text::address(s.slot).c_str(), text::address(slot_end - 1).c_str()));
        return;
    }
    for (const layout::Piece& p : pieces) {
        if (p.address > s.end + layout::join_distance) {
            s.refused.push_back(text::format(
                "the build's bytes at %s to %s lie apart from the image: they would not be "
                "signed (slot=<size> signs what the slot holds)",
                text::address(p.address).c_str(), text::address(memory.end() - 1).c_str()));
            break;
        }
        s.end = std::max(s.end, p.end());
    }
}

// A Cortex-M core finds its vector table through VTOR, which takes an
// address aligned to the table's size rounded up to a power of two, and at
// least 128 bytes. The table is the initial stack pointer, then handler
// addresses (odd: Thumb) or 0, as far as they go.
void check_vectors(Signing& s, const ElfBuild& elf, const layout::MemoryMap& memory) {
    if (elf.file.header.machine != em_arm || s.end - s.payload < 8) return;
    auto handler = [&](uint32_t word) {
        return (word & 1) && word >= s.payload && word < s.end;
    };
    if (!handler(word_at(memory, s.payload + 4))) return;
    uint64_t entries = 2;
    while (s.payload + 4 * (entries + 1) <= s.end && entries < 512) {
        uint32_t word = word_at(memory, s.payload + 4 * entries);
        if (word != 0 && !handler(word)) break;
        ++entries;
    }
    uint64_t needed = 128;
    while (needed < 4 * entries) needed *= 2;
    if (s.payload % needed)
        s.refused.push_back(text::format(
            "the vector table at %s (%llu entries) is not aligned as VTOR needs: header=0x%llX "
            "puts it %llu bytes past a multiple of 0x%llX",
            text::address(s.payload).c_str(), static_cast<unsigned long long>(entries),
            static_cast<unsigned long long>(s.settings.header),
            static_cast<unsigned long long>(s.payload % needed),
            static_cast<unsigned long long>(needed)));
}

std::vector<Added> added_pieces(const Signing& s, const Signed& made);

// The settings read and the key file's text, before the build is: what is
// wrong with them is refused first, and the key's library can start
// loading meanwhile.
Signing start_signing(const Request& request) {
    Signing s;
    s.option = request.asker.name(Option::mcuboot);
    s.settings = read_settings(request, Use::sign);
    if (s.settings.key) s.key = read_key(*s.settings.key, std::string(s.option) + ": ");
    if (s.settings.encrypt)
        s.sealing = read_sealing_key(*s.settings.encrypt, s.settings.encrypt_kw,
                                     std::string(s.option) + ": ");
    if (s.settings.signature)
        s.signature =
            external::read_signature(*s.settings.signature, std::string(s.option) + ": ");
    return s;
}

// Where the image goes in the build's image `memory` (before any record is
// stored; its fill the erased value), and what a bootloader would refuse.
void place_signing(Signing& s, const Request& request, const ElfBuild& elf,
                   const layout::MemoryMap& memory) {
    const uint8_t fill = memory.fill();
    if (fill != 0x00 && fill != 0xFF)
        throw Refusal{
            text::format("%s: MCUboot's flash erases to 0xFF or 0x00, not 0x%02X",
                         request.asker.name(Option::mcuboot), fill)};
    find_room(s, memory);
    find_end(s, memory);
    check_vectors(s, elf, memory);
    for (std::string& why : options_refused(s.settings, s.slot)) s.refused.push_back(std::move(why));
    // AES-CTR is a stream, yet imgtool pads an encrypted image, from the
    // slot's start, to whole blocks with zeros, which img_size counts.
    s.zeros_from = s.end;
    if (s.sealing && (s.end - s.slot) % 16) s.end += 16 - (s.end - s.slot) % 16;
}

// The header's fields into `out` and, over the build's own room, into
// `memory`: before any record is stored.
void write_header(const Signing& s, layout::MemoryMap& memory, Signed& out) {
    const Settings& settings = s.settings;
    out.header.hdr_size = static_cast<uint16_t>(settings.header);
    out.header.img_size = static_cast<uint32_t>(s.end - s.payload);
    out.header.version = settings.version;
    out.header.flags |= option_flags(settings.image);
    out.header.load_addr = option_load_addr(settings.image);
    if (s.sealing) out.header.flags |= encrypted_flag(settings.aes);
    if (settings.counter)
        out.protected_tlvs.push_back({tlv::security_counter, u32_value(*settings.counter)});
    add_boot_record(settings, out.protected_tlvs);
    for (const Tlv& t : settings.dependencies) out.protected_tlvs.push_back(t);
    for (const Tlv& t : settings.custom) out.protected_tlvs.push_back(t);
    out.header.protect_tlv_size =
        static_cast<uint16_t>(encode_area(protected_info, out.protected_tlvs).size());
    const auto fields = encode_header(out.header);

    // The header over the build's room, or a room of erased flash before it.
    out.room.assign(fields.begin(), fields.end());
    if (!s.room_reserved) out.room.resize(settings.header, memory.fill());
    // In the build's room the fields are part of the image a CRC over the
    // room reads, as they will lie in flash.
    if (s.room_reserved) memory.overlay(s.slot, out.room.data(), out.room.size());
    // The zeros that pad an encrypted payload to whole blocks.
    if (s.zeros_from < s.end) {
        const Bytes zeros(s.end - s.zeros_from, 0);
        memory.overlay(s.zeros_from, zeros.data(), zeros.size());
    }
}

// The payload in AES-CTR under a fresh key, sealed for the device's key in
// a TLV after the signature: after the hash and signature, which are over
// the plaintext as the bootloader checks them once it has decrypted it.
void encrypt(const Signing& s, layout::MemoryMap& memory, crypto::Provider& crypto,
             Signed& out) {
    crypto::Ciphers& ciphers = crypto.ciphers();
    Sealed sealed = seal(ciphers, *s.sealing, s.settings.aes, s.settings.hmac, out.key_type,
                         std::string(s.option) + ": ");
    out.unprotected_tlvs.push_back(std::move(sealed.tlv));
    out.transport = sealed.transport;
    out.image_key = std::move(sealed.key);
    Bytes payload(s.end - s.payload);
    memory.read(s.payload, payload.data(), payload.size());
    out.plaintext = layout::share(payload);
    crypt_payload(ciphers, out.image_key, payload.data(), payload.size());
    out.ciphertext = layout::share(std::move(payload));
    memory.overlay(s.payload, out.ciphertext->data(), out.ciphertext->size(), out.ciphertext);
}

// The rest, after the records are stored, over `out` as write_header() left it.
void sign(const Signing& s, layout::MemoryMap& memory, crypto::Provider& crypto,
          Signed& out) {
    const Settings& settings = s.settings;
    std::unique_ptr<crypto::Key> key;
    // Its holder signs in two steps with the public half alone.
    const bool holder_signs = settings.sign || s.signature;
    auto open = [&] {
        if (s.key && !key) key = open_key(crypto, *s.key, holder_signs);
    };
    // The boot record names the signer, and the hash covers the record:
    // with one, the key is opened first.
    if (settings.image.boot_record) open();
    signed_boot_record(settings, key.get(), crypto, s.option, out.protected_tlvs);
    const Bytes protected_area = encode_area(protected_info, out.protected_tlvs);
    // What the hash covers, in order: header, payload, protected TLVs.
    auto covered = [&](const std::function<void(const uint8_t*, size_t)>& feed) {
        feed(out.room.data(), out.room.size());
        memory.feed(s.slot + out.room.size(), s.end, feed);
        feed(protected_area.data(), protected_area.size());
    };
    auto digest_of = [&](crypto::Hash hash) {
        std::unique_ptr<crypto::Digest> digest = crypto.digest(hash);
        covered([&](const uint8_t* bytes, size_t size) { digest->update(bytes, size); });
        return digest->finish();
    };
    // The key decides the hash, and opening it waits for its library to
    // load: the likely hash is taken meanwhile, and taken again only for a
    // key that wants another.
    crypto::Hash hash = likely_hash(settings.hash, settings.pure);
    out.hash = digest_of(hash);
    open();
    const crypto::Hash chosen =
        image_hash(key ? std::optional<crypto::KeyType>(key->type()) : std::nullopt,
                   settings.hash, settings.pure, std::string(s.option) + ": ");
    if (chosen != hash) out.hash = digest_of(hash = chosen);
    out.hash_kind = hash;

    out.unprotected_tlvs.push_back({crypto::hash_row(hash).tlv, out.hash});
    if (settings.pure) out.unprotected_tlvs.push_back(pure_tlv());
    if (key) {
        const Bytes public_der = image_public_key(*key);
        out.key_hash = key_hash(crypto, hash, *key);
        out.unprotected_tlvs.push_back(settings.full_key
                                           ? Tlv{tlv::public_key, public_der}
                                           : Tlv{tlv::key_hash, out.key_hash});
        // Ed25519 signs the digest; ECDSA and RSA the covered bytes,
        // hashing them again; pure Ed25519 the covered bytes as they are.
        const bool over_digest = signs_the_digest(key->type(), settings.pure);
        auto whole = [&] {
            Bytes bytes;
            bytes.reserve(s.end - s.slot + protected_area.size());
            covered([&](const uint8_t* piece, size_t size) {
                bytes.insert(bytes.end(), piece, piece + size);
            });
            return bytes;
        };
        const std::string prefix = std::string(s.option) + ": ";
        if (settings.sign) {
            // The first of two steps: what the holder signs, no signature.
            out.to_sign = external::to_sign(*settings.sign, {out.hash, whole, over_digest},
                                            key->type(), s.key->name, prefix);
        } else {
            const Bytes message = over_digest ? out.hash : whole();
            const Bytes signature =
                s.signature ? external::verified_signature(*s.signature, *key, s.key->name,
                                                           message, prefix)
                            : key->sign(message.data(), message.size());
            out.unprotected_tlvs.push_back({signature_tlv(key->type()), signature});
            out.key_type = key->type();
        }
    }
    if (s.sealing) encrypt(s, memory, crypto, out);
    out.tlvs = protected_area;
    const Bytes unprotected = encode_area(unprotected_info, out.unprotected_tlvs);
    out.tlvs.insert(out.tlvs.end(), unprotected.begin(), unprotected.end());

    const Trailer trailer = trailer_of(settings);
    // The first of two steps counts the signature to come: its holder is
    // not to sign an image that then does not fit.
    const uint64_t image = s.end + out.tlvs.size() - s.slot +
                           (out.to_sign ? external::signature_room(out.to_sign->key_type) : 0);
    if (settings.slot && image + trailer.size() > *settings.slot)
        throw Refusal{text::format(
            "the signed image does not fit its slot: header, payload and TLVs take %llu "
            "bytes and the trailer %llu, %llu bytes more than slot=0x%llX",
            static_cast<unsigned long long>(image),
            static_cast<unsigned long long>(trailer.size()),
            static_cast<unsigned long long>(image + trailer.size() - *settings.slot),
            static_cast<unsigned long long>(*settings.slot))};
    // A RAM-loaded image is copied whole to load_addr: the bootloader
    // refuses one whose copy would reach 4 GiB, whatever --force says.
    if (const std::optional<uint32_t>& ram = settings.image.load_addr;
        ram && *ram + image >= address_space)
        throw Refusal{text::format(
            "load-addr=%s: the image's %llu bytes copied there would reach 4 GiB, which "
            "MCUboot refuses: give a RAM address they fit after",
            text::address(*ram).c_str(), static_cast<unsigned long long>(image))};
    out.image_end = s.end + out.tlvs.size();
    if (settings.pad) {
        const uint64_t slot_end = s.slot + *settings.slot;
        out.trailer.assign(trailer.image_ok_from_end(), memory.fill());
        if (settings.confirm) out.trailer[0] = image_ok_set;
        const auto magic = trailer_magic(settings.align);
        std::copy(magic.begin(), magic.end(), out.trailer.end() - magic.size());
        out.trailer_at = slot_end - out.trailer.size();
        out.image_end = slot_end;
    }

    // The image every file is written from, with all of it in place; none
    // before the signature is given.
    if (out.to_sign) return;
    layout::MemoryMap signed_memory(memory.fill());
    signed_memory.set_segments(memory.segments());
    std::vector<Added> added = added_pieces(s, out);
    size_t next = 0;
    auto add_below = [&](uint64_t address) {
        for (; next < added.size() && added[next].address < address; ++next) {
            const Added& a = added[next];
            signed_memory.add_segment({a.address, a.size, 0, {a.name}});
            if (a.bytes)
                signed_memory.append(a.address, a.bytes, a.size);
            else
                signed_memory.append_fill(a.address, a.size);
        }
    };
    for (const layout::Piece& p : memory.pieces()) {
        add_below(p.address + 1);
        if (p.bytes)
            signed_memory.append(p);
        else
            signed_memory.append_fill(p.address, p.size);
    }
    add_below(UINT64_MAX);
    memory = std::move(signed_memory);
}

// The pieces the image adds beside the build's own bytes, in address order.
std::vector<Added> added_pieces(const Signing& s, const Signed& made) {
    std::vector<Added> added;
    if (!s.room_reserved)
        added.push_back({".mcuboot.header", s.slot, made.room.data(), made.room.size()});
    added.push_back({".mcuboot.tlv", s.end, made.tlvs.data(), made.tlvs.size()});
    if (!made.trailer.empty()) {
        const uint64_t tlv_end = s.end + made.tlvs.size();
        if (made.trailer_at > tlv_end)
            added.push_back({".mcuboot.pad", tlv_end, nullptr, made.trailer_at - tlv_end});
        added.push_back(
            {".mcuboot.trailer", made.trailer_at, made.trailer.data(), made.trailer.size()});
    }
    return added;
}

// An encrypted payload in the checksummed ELF file: stored over the
// build's own bytes where a load segment holds them, and the rest (holes
// between segments, the padding to whole blocks) in sections of their own,
// for none of it is erased flash any more.
void encrypted_pieces(const Signing& s, const Signed& made, const layout::MemoryMap& memory,
                      Stage::ElfPieces& pieces) {
    const uint8_t* cipher = made.ciphertext->data();
    uint64_t at = s.payload;
    auto add = [&](uint64_t from, uint64_t to) {
        if (to > from)
            pieces.added.push_back({".mcuboot.payload", from, cipher + (from - s.payload),
                                    to - from});
    };
    for (const layout::Segment& g : memory.segments()) {
        if (!g.sections.empty() && g.sections.front().rfind(".mcuboot.", 0) == 0) continue;
        const uint64_t from = std::max(g.address, at), to = std::min(g.end(), s.end);
        if (to <= from) continue;
        add(at, from);
        pieces.stored.push_back(
            {".mcuboot.payload", from, cipher + (from - s.payload), to - from});
        at = to;
    }
    add(at, s.end);
    std::sort(pieces.added.begin(), pieces.added.end(),
              [](const Added& a, const Added& b) { return a.address < b.address; });
}

// "MCUboot image ...": FLASH's line for it.
std::string signed_line(const Signing& s, const Signed& made) {
    // A hash other than SHA-256 is named.
    const std::string hash = made.hash_kind == crypto::Hash::sha256
                                 ? std::string()
                                 : std::string(", ") + crypto::hash_row(made.hash_kind).words;
    std::string how =
        made.key_type ? std::string("signed with ") + crypto::key_type_name(*made.key_type) +
                            " (" + s.key->name + ")" + hash +
                            (s.settings.pure ? ", pure" : "")
              : "unsigned (the hash alone" + hash + ")";
    if (made.to_sign)
        how = "unsigned as yet" + hash + (s.settings.pure ? ", pure" : "") +
              ": to be signed with " + crypto::key_type_name(made.to_sign->key_type) + " (" +
              s.key->name + ") by the key's holder";
    else if (s.signature)
        how += ", the signature from " + s.signature->name + " verified";
    const std::string encrypted =
        made.transport ? ", encrypted with " + encryption_words(*made.transport, s.settings.aes,
                                                                 s.sealing->name)
                       : std::string();
    return text::format("MCUboot image %s at %s: header 0x%X (%s), %u bytes of payload, "
                        "%zu bytes of TLVs, %s%s%s",
                        version_text(made.header.version).c_str(),
                        text::address(s.slot).c_str(), made.header.hdr_size,
                        s.room_reserved ? "in the build's room" : "added before the build",
                        made.header.img_size, made.tlvs.size(), how.c_str(),
                        encrypted.c_str(),
                        s.settings.confirm ? ", padded and confirmed"
                        : s.settings.pad   ? ", padded"
                                           : "") +
           options_words(s.settings);
}

// --json's "mcuboot" object.
json::Value describe(const Signing& s, const Signed& made) {
    Description d;
    d.slot = s.slot;
    d.slot_size = s.settings.slot;
    d.header = made.header;
    d.room_added = !s.room_reserved;
    d.payload = s.payload;
    d.tlv_area = s.end;
    d.image_end = made.image_end;
    // Each entry at its head's address, as the areas lie from the TLVs' start.
    uint64_t at = s.end;
    for (bool is_protected : {true, false}) {
        const std::vector<Tlv>& entries = is_protected ? made.protected_tlvs : made.unprotected_tlvs;
        if (entries.empty() && is_protected) continue;
        at += info_size;
        for (const Tlv& t : entries) {
            d.tlvs.push_back({t.type, is_protected, at, &t.value});
            at += tlv_head_size + t.value.size();
        }
    }
    d.hash = made.hash;
    d.hash_kind = made.hash_kind;
    d.key_hash = made.key_hash;
    if (made.key_type) d.signature = signature_tlv(*made.key_type);
    d.signer = made.key_type;
    if (made.transport) d.encryption = {made.transport->name, s.settings.aes};
    if (!made.trailer.empty())
        d.trailer = Description::Trailer{made.image_end - trailer_magic(s.settings.align).size(),
                                         made.trailer.front()};
    return describe_image(d, nullptr);
}

}  // namespace

void Stage::start(const Request& request, Host& host) {
    if (!request.mcuboot) return;
    signing_ = start_signing(request);
    const std::optional<KeyFile>& key = signing_->key;
    // The first of two steps verifies nothing: the key is read for its
    // kind and bytes alone, and its library need not load.
    host.crypto().prepare(key && !signing_->settings.sign, key ? key->pem : std::string());
    if (const std::optional<SealingKey>& sealing = signing_->sealing)
        host.crypto().ciphers().prepare(
            std::string(sealing->content.begin(), sealing->content.end()));
}

std::vector<std::string> Stage::place(const Request& request, const ElfBuild& elf,
                                      const records::Plan& plan, layout::MemoryMap& memory) {
    if (!signing_) return {};
    Signing& s = *signing_;
    place_signing(s, request, elf, memory);
    // The header's fields are written over the room's first bytes and
    // hashed as written: a record stored there would change them after the
    // hash is taken, and no --force makes that image bootable.
    const uint64_t from = s.slot, to = from + header_fields;
    for (const records::Planned& p : plan.records) {
        const records::Record& r = p.record;
        if (r.slot < to && r.slot_end() > from)
            throw Refusal{text::format(
                "%s at %s lies in the MCUboot header's fields (%s to %s), which the header "
                "takes: place it after them, at %s or later",
                r.label.c_str(), text::address(r.slot).c_str(), text::address(from).c_str(),
                text::address(to - 1).c_str(), text::address(to).c_str())};
    }
    // The header's fields depend on no record: in place before any is
    // stored, so that a CRC whose range takes in the room reads them.
    write_header(s, memory, made_);
    return std::move(s.refused);
}

void Stage::sign(layout::MemoryMap& memory, Host& host) {
    if (signing_) mcuboot::sign(*signing_, memory, host.crypto(), made_);
}

std::vector<Stage::Range> Stage::extent() const {
    if (!signing_) return {};
    return {{signing_->slot, made_.image_end}};
}

void Stage::widen(Range& range) const {
    for (const Range& r : extent()) {
        range.first = std::min(range.first, r.first);
        range.second = std::max(range.second, r.second);
    }
}

std::vector<Added> Stage::made_bytes() const {
    if (!signing_) return {};
    std::vector<Added> out{
        {".mcuboot.header", signing_->slot, made_.room.data(), made_.room.size()},
        {".mcuboot.tlv", signing_->end, made_.tlvs.data(), made_.tlvs.size()}};
    if (!made_.trailer.empty())
        out.push_back({".mcuboot.trailer", made_.trailer_at, made_.trailer.data(),
                       made_.trailer.size()});
    return out;
}

std::vector<Stage::Range> Stage::covered() const {
    if (!signing_) return {};
    return {{signing_->slot, signing_->end}};
}

Stage::Range Stage::erased_kept() const {
    if (!signing_) return {0, 0};
    return {signing_->payload, made_.image_end};
}

Stage::ElfPieces Stage::elf_pieces(const layout::MemoryMap& memory) const {
    ElfPieces pieces;
    if (!signing_) return pieces;
    const Signing& s = *signing_;
    if (s.room_reserved)
        pieces.stored.push_back({".mcuboot.header", s.slot, made_.room.data(), made_.room.size()});
    pieces.added = added_pieces(s, made_);
    if (made_.ciphertext) {
        encrypted_pieces(s, made_, memory, pieces);
        return pieces;
    }
    // Erased flash the hash covers between the build's segments, or padding
    // its image up to a record: loaded as such, so that the file holds
    // every byte of the signed payload.
    for (const layout::Piece& p : memory.pieces())
        if (!p.bytes && p.address >= s.payload && p.end() <= s.end)
            pieces.added.push_back({".mcuboot.fill", p.address, nullptr, p.size});
    std::sort(pieces.added.begin(), pieces.added.end(),
              [](const Added& a, const Added& b) { return a.address < b.address; });
    return pieces;
}

layout::MemoryMap Stage::plain(const layout::MemoryMap& memory,
                               crypto::Provider* crypto) const {
    if (!signing_ || !made_.ciphertext || !crypto) return memory;
    const Signing& s = *signing_;
    Bytes payload(s.end - s.payload);
    memory.read(s.payload, payload.data(), payload.size());
    crypt_payload(crypto->ciphers(), made_.image_key, payload.data(), payload.size());
    layout::MemoryMap out = memory;
    layout::Buffer plaintext = layout::share(std::move(payload));
    out.overlay(s.payload, plaintext->data(), plaintext->size(), plaintext);
    return out;
}

layout::MemoryMap Stage::as_signed(const layout::MemoryMap& memory) const {
    if (!signing_ || !made_.plaintext) return memory;
    layout::MemoryMap out = memory;
    out.overlay(signing_->payload, made_.plaintext->data(), made_.plaintext->size(),
                made_.plaintext);
    return out;
}

std::vector<std::string> Stage::lines() const {
    if (!signing_) return {};
    return {signed_line(*signing_, made_)};
}

void Stage::describe(json::Value& d,
                     const std::vector<std::pair<std::string, std::string>>& digests) const {
    if (!signing_) return;
    d.set("mcuboot", mcuboot::describe(*signing_, made_));
    json::Value& files = d.set("sha256", json::Value::object());
    for (const auto& [name, hex] : digests) files.set(name, hex);
}

}  // namespace velk::mcuboot
