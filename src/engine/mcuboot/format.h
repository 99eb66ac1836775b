// MCUboot's image format, as its bootloader reads a slot (all little-endian):
//
//   header      32 bytes of fields at the slot's start, in a room of
//               hdr_size bytes
//   payload     img_size bytes: the application as linked
//   protected   TLVs the hash covers: an info header (0x6908, total size),
//               then type u8, 0 u8, length u16, value; counted by the
//               header's protect_tlv_size
//   unprotected an info header (0x6907, total size), then the hash, the key
//               hash or key, and the signature
//   trailer     at the slot's end: the swap status area, swap_size,
//               swap_info, copy_done and image_ok, and the trailer magic
//
// FLASH writes these bytes and CHECK reads them back with the same
// definitions: nothing here reads files or computes digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "../run/crypto.h"

namespace velk::mcuboot {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t image_magic = 0x96F3B83D;
constexpr size_t header_fields = 32;  // the header's fields; the room may be larger
constexpr uint16_t protected_info = 0x6908;
constexpr uint16_t unprotected_info = 0x6907;
constexpr size_t info_size = 4;       // an area's info header
constexpr size_t tlv_head_size = 4;   // an entry's type, 0, length

// The flag that makes load_addr mean something: the image is copied to RAM.
constexpr uint32_t flag_ram_load = 0x20;
// Where a RAM-loaded image's copy must end by: a 32-bit load_addr's reach.
constexpr uint64_t address_space = uint64_t{1} << 32;
// The image runs from the slot whose flash offset load_addr holds, and from
// no other.
constexpr uint32_t flag_rom_fixed = 0x100;
// The image is another core's or a library's: MCUboot never jumps into it.
constexpr uint32_t flag_non_bootable = 0x10;
// The payload is encrypted with an AES key of 128 or 256 bits.
constexpr uint32_t flag_encrypted_aes128 = 0x04;
constexpr uint32_t flag_encrypted_aes256 = 0x08;
// Every flag MCUboot knows, by its name, in its order.
struct FlagName {
    uint32_t flag;
    const char* name;
};
inline constexpr FlagName flag_names[] = {
    {0x1, "PIC"},
    {flag_encrypted_aes128, "ENCRYPTED_AES128"},
    {flag_encrypted_aes256, "ENCRYPTED_AES256"},
    {flag_non_bootable, "NON_BOOTABLE"},
    {flag_ram_load, "RAM_LOAD"},
    {flag_rom_fixed, "ROM_FIXED"},
    {0x200, "COMPRESSED_LZMA1"},
    {0x400, "COMPRESSED_LZMA2"},
    {0x800, "COMPRESSED_ARM_THUMB"},
};
constexpr uint32_t all_flags() {
    uint32_t all = 0;
    for (const FlagName& f : flag_names) all |= f.flag;
    return all;
}
constexpr uint32_t known_flags = all_flags();

// The TLV types MCUboot knows, one row each, named as imgtool's TLV_VALUES
// names them (the signatures and ECDSA224 as MCUboot's sources do): the
// only place a type's number or name is written.
// `length`: the value's length its type fixes, 0 where it varies (an ECDSA
// signature's DER, a key); `key`: the key kind whose signature it is.
enum class Area { protected_tlvs, unprotected_tlvs };

struct TlvKind {
    uint8_t type;
    const char* name;
    Area area;
    uint16_t length;
    std::optional<crypto::KeyType> key;
    const char* words;  // what CHECK's lines call it, nullptr: by its number alone
};

inline constexpr TlvKind tlv_kinds[] = {
    {0x01, "KEYHASH", Area::unprotected_tlvs, 0, std::nullopt, "key hash"},
    {0x02, "PUBKEY", Area::unprotected_tlvs, 0, std::nullopt, "public key"},
    {0x10, "SHA256", Area::unprotected_tlvs, 32, std::nullopt, "hash"},
    {0x11, "SHA384", Area::unprotected_tlvs, 48, std::nullopt, "hash"},
    {0x12, "SHA512", Area::unprotected_tlvs, 64, std::nullopt, "hash"},
    {0x20, "RSA2048_PSS", Area::unprotected_tlvs, 256, crypto::KeyType::rsa_2048, nullptr},
    {0x21, "ECDSA224", Area::unprotected_tlvs, 0, std::nullopt, nullptr},
    {0x22, "ECDSASIG", Area::unprotected_tlvs, 0, crypto::KeyType::ecdsa_p256, nullptr},
    {0x23, "RSA3072_PSS", Area::unprotected_tlvs, 384, crypto::KeyType::rsa_3072, nullptr},
    {0x24, "ED25519", Area::unprotected_tlvs, 64, crypto::KeyType::ed25519, nullptr},
    {0x25, "SIG_PURE", Area::unprotected_tlvs, 1, std::nullopt, nullptr},
    {0x30, "ENCRSA2048", Area::unprotected_tlvs, 0, std::nullopt, "encryption key"},
    {0x31, "ENCKW", Area::unprotected_tlvs, 0, std::nullopt, "encryption key"},
    {0x32, "ENCEC256", Area::unprotected_tlvs, 0, std::nullopt, "encryption key"},
    {0x33, "ENCX25519", Area::unprotected_tlvs, 0, std::nullopt, "encryption key"},
    {0x34, "ENCX25519_SHA512", Area::unprotected_tlvs, 0, std::nullopt, "encryption key"},
    {0x40, "DEPENDENCY", Area::protected_tlvs, 12, std::nullopt, nullptr},
    {0x50, "SEC_CNT", Area::protected_tlvs, 4, std::nullopt, nullptr},
    {0x60, "BOOT_RECORD", Area::protected_tlvs, 0, std::nullopt, "boot record"},
};

// The row named `name`; a name no row has does not compile where a
// constant is made of it.
constexpr const TlvKind& tlv_kind(const char* name) {
    for (const TlvKind& k : tlv_kinds) {
        size_t i = 0;
        while (k.name[i] && k.name[i] == name[i]) ++i;
        if (k.name[i] == name[i]) return k;
    }
    throw "no TLV of that name";
}

// The row of `type`, or nullptr for a type MCUboot does not know.
const TlvKind* tlv_kind(uint8_t type);

// The types FLASH writes and CHECK reads by name.
namespace tlv {
constexpr uint8_t key_hash = tlv_kind("KEYHASH").type;
constexpr uint8_t public_key = tlv_kind("PUBKEY").type;
constexpr uint8_t sha256 = tlv_kind("SHA256").type;
constexpr uint8_t sha384 = tlv_kind("SHA384").type;  // hashes of other builds of MCUboot's
constexpr uint8_t sha512 = tlv_kind("SHA512").type;
constexpr uint8_t dependency = tlv_kind("DEPENDENCY").type;
constexpr uint8_t security_counter = tlv_kind("SEC_CNT").type;
constexpr uint8_t boot_record = tlv_kind("BOOT_RECORD").type;
// From here on, types of the image's own, protected.
constexpr uint8_t first_custom = 0xA0;
}  // namespace tlv

// "SHA256", "ED25519", ...: a type as MCUboot's sources name it; nullptr
// for a type it does not name.
const char* tlv_name(uint8_t type);
// The value's length a type fixes: a wrong one is named as such.
std::optional<uint16_t> fixed_length(uint8_t type);
// "the hash TLV (0x10)": a type as CHECK's lines name it.
std::string tlv_words(uint8_t type);

// The signature TLV a key of `type` makes.
uint8_t signature_tlv(crypto::KeyType type);
// The key type that makes the signature TLV `type`; nullopt for a type that
// is no signature.
std::optional<crypto::KeyType> signature_key(uint8_t type);
// "ed25519", "ecdsa-p256", ...: a signature TLV by its key; nullptr for a
// type that is no signature.
const char* signature_name(uint8_t type);
// Ed25519 signs the 32-byte digest; ECDSA and RSA sign the hashed bytes
// themselves (hashing them again).
bool signs_digest(crypto::KeyType type);
// The public key as the image carries it (PUBKEY) and hashes it (KEYHASH):
// its DER, PKCS#1 for RSA.
Bytes image_public_key(const crypto::Key& key);

// major.minor.revision+build
struct Version {
    uint8_t major = 0, minor = 0;
    uint16_t revision = 0;
    uint32_t build = 0;

    bool operator==(const Version& o) const {
        return major == o.major && minor == o.minor && revision == o.revision &&
               build == o.build;
    }
};

// "1.2.3" or "1.2.3+4" (each part in decimal, within its field's width);
// nullopt for anything else.
std::optional<Version> parse_version(const std::string& text);
std::string version_text(const Version& v);
// The 8 bytes of a version field.
std::array<uint8_t, 8> pack_version(const Version& v);
// The security counter `auto` gives: the version without its build,
// major << 24 | minor << 16 | revision.
uint32_t counter_of(const Version& v);

struct Header {
    uint32_t magic = image_magic;
    uint32_t load_addr = 0;
    uint16_t hdr_size = 0;
    uint16_t protect_tlv_size = 0;  // the protected area with its info header; 0: none
    uint32_t img_size = 0;
    uint32_t flags = 0;
    Version version;
    uint32_t pad = 0;
};

// How CHECK judges a header field: against a value of its own (magic,
// load_addr, pad), or against where the image's parts lie (hdr_size,
// img_size by the payload's end, protect_tlv_size by the TLVs' walk);
// flags hold what the build asked for, of the flags MCUboot knows, and
// version holds what the build asked for. load_addr is 0 unless the flags
// ask for a load to RAM or a fixed slot (whose address CHECK compares
// where the image lies).
enum class FieldRule { magic, load_address, zero, by_layout, by_tlvs, flags, any };

// The header's fields, one row each, in imgtool's names and order: encode,
// decode, the fixed fields' checks and the JSON all walk this table.
// `get` and `set` carry a field's value as a number of `width` bytes (the
// version as its 8 bytes, little-endian).
struct HeaderField {
    const char* name;
    const char* words;  // what CHECK's lines call it
    size_t offset;
    unsigned width;
    FieldRule rule;
    uint64_t (*get)(const Header&);
    void (*set)(Header&, uint64_t);
};

inline constexpr HeaderField header_table[] = {
    {"magic", "the header's magic", 0, 4, FieldRule::magic,
     [](const Header& h) -> uint64_t { return h.magic; },
     [](Header& h, uint64_t v) { h.magic = static_cast<uint32_t>(v); }},
    {"load_addr", "load_addr", 4, 4, FieldRule::load_address,
     [](const Header& h) -> uint64_t { return h.load_addr; },
     [](Header& h, uint64_t v) { h.load_addr = static_cast<uint32_t>(v); }},
    {"hdr_size", "hdr_size", 8, 2, FieldRule::by_layout,
     [](const Header& h) -> uint64_t { return h.hdr_size; },
     [](Header& h, uint64_t v) { h.hdr_size = static_cast<uint16_t>(v); }},
    {"protect_tlv_size", "protect_tlv_size", 10, 2, FieldRule::by_tlvs,
     [](const Header& h) -> uint64_t { return h.protect_tlv_size; },
     [](Header& h, uint64_t v) { h.protect_tlv_size = static_cast<uint16_t>(v); }},
    {"img_size", "img_size", 12, 4, FieldRule::by_layout,
     [](const Header& h) -> uint64_t { return h.img_size; },
     [](Header& h, uint64_t v) { h.img_size = static_cast<uint32_t>(v); }},
    {"flags", "flags", 16, 4, FieldRule::flags,
     [](const Header& h) -> uint64_t { return h.flags; },
     [](Header& h, uint64_t v) { h.flags = static_cast<uint32_t>(v); }},
    {"version", "version", 20, 8, FieldRule::any,
     [](const Header& h) -> uint64_t {
         const Version& v = h.version;
         return uint64_t{v.major} | uint64_t{v.minor} << 8 | uint64_t{v.revision} << 16 |
                uint64_t{v.build} << 32;
     },
     [](Header& h, uint64_t v) {
         h.version = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                      static_cast<uint16_t>(v >> 16), static_cast<uint32_t>(v >> 32)};
     }},
    {"pad", "the header's pad", 28, 4, FieldRule::zero,
     [](const Header& h) -> uint64_t { return h.pad; },
     [](Header& h, uint64_t v) { h.pad = static_cast<uint32_t>(v); }},
};

// The row named `name`.
constexpr const HeaderField& header_field(const char* name) {
    for (const HeaderField& f : header_table) {
        size_t i = 0;
        while (f.name[i] && f.name[i] == name[i]) ++i;
        if (f.name[i] == name[i]) return f;
    }
    throw "no header field of that name";
}

// Where each field lies in the header.
namespace field {
constexpr size_t magic = header_field("magic").offset,
                 load_addr = header_field("load_addr").offset,
                 hdr_size = header_field("hdr_size").offset,
                 protect_tlv_size = header_field("protect_tlv_size").offset,
                 img_size = header_field("img_size").offset,
                 flags = header_field("flags").offset, version = header_field("version").offset,
                 pad = header_field("pad").offset;
}  // namespace field

std::array<uint8_t, header_fields> encode_header(const Header& h);
// From header_fields bytes.
Header decode_header(const uint8_t* bytes);

struct Tlv {
    uint8_t type;
    Bytes value;
};

// A dependency's value: image id, 3 pad bytes, the least version it needs.
Bytes dependency_value(uint8_t image, const Version& version);
Bytes u32_value(uint32_t value);

// An area's bytes: its info header and entries. A protected area without
// entries is no area at all (empty).
Bytes encode_area(uint16_t info, const std::vector<Tlv>& entries);

// An entry as read: `offset` is the entry's own, from the start of the
// bytes parsed; its value follows the 4-byte head.
struct Entry {
    uint8_t type;
    bool is_protected;
    uint64_t offset;
    Bytes value;

    uint64_t value_offset() const { return offset + tlv_head_size; }
};

// A field that holds what it should not, in the words of CHECK's lines:
// what it is ("the TLV area's total"), what it holds, what it should hold.
// `offset` is from the header's start for a header field, else from the
// areas' start.
struct Fault {
    bool in_header;
    uint64_t offset;
    std::string what, held, wanted;
};

// The faults of the fields the header alone decides (magic, load_addr,
// pad), in the header's order.
std::vector<Fault> field_faults(const Header& h);

struct Areas {
    uint64_t protected_size = 0;    // with its info header; 0: none
    uint64_t unprotected_size = 0;  // with its info header
    std::vector<Entry> entries;     // both areas', in file order
    std::vector<Fault> faults;      // none: the areas are as FLASH writes them
    // Where an entry or info header would end that the bytes given stop
    // short of: the file ends inside the TLVs. 0: none.
    uint64_t cut = 0;

    uint64_t size() const { return protected_size + unprotected_size; }
    // The first entry of `type` in the one area or the other, or nullptr.
    const Entry* find(uint8_t type, bool is_protected = false) const;
};

// Walks both areas from the bytes right after the payload (`size` of them
// available); `protect_tlv_size` is the header's. The walk is lenient, as a
// bootloader's reader would be misled by one byte while a person wants
// that byte named: a wrong info magic, total, entry length or
// protect_tlv_size is a fault, and the walk goes on with what the entries
// themselves show, as far as they look like their area's.
Areas parse_areas(const uint8_t* bytes, size_t size, uint16_t protect_tlv_size);

// An info header at `bytes` whose entries end where its total says, within
// `size`: a sign that the TLV areas start there.
bool whole_area(const uint8_t* bytes, size_t size);

// The trailer at a slot's end for a flash write size of `align` bytes, as
// imgtool lays it out: for swap updates
//   [status][enc keys][swap_size][swap_info][copy_done][image_ok][magic]
// with a status of 3 writes for each of `max_sectors` sectors, the two
// keys of an encrypted image in 16 bytes each rounded up to a unit, each
// flag in a unit of max(8, align) bytes, the magic's in max(16, align)
// bytes ending with the 16 bytes of trailer_magic(); for overwrite-only
// updates two units and the magic alone.
struct Trailer {
    unsigned align;
    unsigned max_sectors = default_sectors;
    bool overwrite_only = false;
    bool encrypted = false;  // room for the image's two AES keys
    static constexpr unsigned default_sectors = 128;
    static constexpr unsigned status_entries = 3;  // a sector's swap states
    static constexpr unsigned key_size = 16;

    uint64_t unit() const { return align > 8 ? align : 8; }
    uint64_t magic_area() const { return align > 16 ? align : 16; }
    uint64_t status_size() const { return uint64_t{max_sectors} * status_entries * align; }
    uint64_t keys_size() const {
        return encrypted ? 2 * ((key_size + unit() - 1) / unit() * unit()) : 0;
    }
    uint64_t size() const {
        if (overwrite_only) return 2 * unit() + magic_area();
        return status_size() + keys_size() + 4 * unit() + magic_area();
    }
    // From the slot's end back to image_ok's byte.
    uint64_t image_ok_from_end() const { return magic_area() + unit(); }
};

bool valid_align(unsigned align);
// The 16 bytes that end a slot's trailer. For a write size above 8 bytes,
// MCUboot's magic starts with that size (u16) and has 14 bytes of its own.
std::array<uint8_t, 16> trailer_magic(unsigned align);
// The write size the 16 bytes at a slot's end are the trailer magic of: 8
// for the magic of all writes of 8 bytes or less (their trailers are laid
// out alike), 16 or 32; nullopt for bytes that are no trailer magic.
std::optional<unsigned> trailer_align(const uint8_t* magic);
constexpr uint8_t image_ok_set = 0x01;

}  // namespace velk::mcuboot
