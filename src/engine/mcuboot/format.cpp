#include "format.h"

#include <algorithm>
#include <cstring>

#include "../base/byte_order.h"
#include "../numbers/numbers.h"
#include "../report/text.h"

namespace velk::mcuboot {

namespace {

// A decimal number of at most `limit`, the whole of [from, to).
bool number(const std::string& text, size_t from, size_t to, uint64_t limit, uint64_t& out) {
    return from < to && numbers::read_decimal(std::string_view(text).substr(from, to - from),
                                              limit, out);
}

// The unprotected area's entries MCUboot knows; a walk that meets another
// type has left the area.
bool unprotected_type(uint8_t type) {
    const TlvKind* kind = tlv_kind(type);
    return kind && kind->area == Area::unprotected_tlvs;
}

std::string magic_text(unsigned value) {
    return text::format("0x%04X", value);
}

std::string size_text(uint64_t value) {
    return text::format("0x%llX", static_cast<unsigned long long>(value));
}

// The areas' bytes read as far as they go; past their end a u16 reads 0.
class Walk {
public:
    Walk(const uint8_t* bytes, size_t size, Areas& areas)
        : bytes_(bytes), size_(size), areas_(areas) {}

    uint16_t u16(uint64_t at) const { return at + 2 <= size_ ? bytes::le16(bytes_ + at) : 0; }

    void fault(uint64_t at, std::string what, std::string held, std::string wanted,
               bool in_header = false) {
        areas_.faults.push_back({in_header, at, std::move(what), std::move(held),
                                 std::move(wanted)});
    }

    // Entries from `at` while they look like this area's: the walk's end.
    // One that starts before `declared` (where the area's total says it
    // ends) and runs past the bytes given is where the file was cut.
    // When the entries tile the area to its total exactly (`tiled`), every
    // one of them is the area's, as a bootloader walks it: an unprotected
    // entry of another type is named, and a signature's length is the
    // signature walk's to judge.
    uint64_t entries(uint64_t at, bool is_protected, uint64_t declared, bool tiled) {
        while (at + tlv_head_size <= size_ && (!tiled || at < declared)) {
            const uint8_t type = bytes_[at], zero = bytes_[at + 1];
            if (!tiled && (is_protected ? u16(at) == unprotected_info
                                        : (!unprotected_type(type) || zero != 0)))
                break;
            if (tiled && !is_protected && zero == 0 && !unprotected_type(type))
                fault(at, text::format("TLV 0x%02X's type", type), "a protected TLV's",
                      "a hash, key, signature or encryption key (MCUboot refuses others "
                      "outside the protected TLVs)");
            const uint16_t length = u16(at + 2);
            if (at + tlv_head_size + length > size_) {
                if (at < declared) areas_.cut = at + tlv_head_size + length;
                break;
            }
            if (zero != 0)
                fault(at + 1, text::format("TLV 0x%02X's second byte", type),
                      text::format("0x%02X", zero), "0x00");
            std::optional<uint16_t> fixed = fixed_length(type);
            if (fixed && *fixed != length && !(tiled && signature_key(type)))
                fault(at + 2, text::format("TLV 0x%02X's length", type),
                      std::to_string(length), std::to_string(*fixed));
            const uint8_t* value = bytes_ + at + tlv_head_size;
            areas_.entries.push_back({type, is_protected, at, Bytes(value, value + length)});
            at += tlv_head_size + length;
        }
        return at;
    }

    // Whether entries from `from` end exactly at `to`, within the bytes.
    bool tiles(uint64_t from, uint64_t to) const {
        if (to > size_) return false;
        uint64_t at = from;
        while (at + tlv_head_size <= to) at += tlv_head_size + u16(at + 2);
        return at == to;
    }

private:
    const uint8_t* bytes_;
    size_t size_;
    Areas& areas_;
};

}  // namespace

const TlvKind* tlv_kind(uint8_t type) {
    for (const TlvKind& k : tlv_kinds)
        if (k.type == type) return &k;
    return nullptr;
}

const char* tlv_name(uint8_t type) {
    const TlvKind* kind = tlv_kind(type);
    return kind ? kind->name : nullptr;
}

std::optional<uint16_t> fixed_length(uint8_t type) {
    const TlvKind* kind = tlv_kind(type);
    if (!kind || !kind->length) return std::nullopt;
    return kind->length;
}

std::string tlv_words(uint8_t type) {
    const TlvKind* kind = tlv_kind(type);
    return kind && kind->words ? text::format("the %s TLV (0x%02X)", kind->words, type)
                               : text::format("TLV 0x%02X", type);
}

uint8_t signature_tlv(crypto::KeyType type) {
    // Both curves sign into the one ECDSA signature TLV.
    if (type == crypto::KeyType::ecdsa_p384) type = crypto::KeyType::ecdsa_p256;
    for (const TlvKind& k : tlv_kinds)
        if (k.key == type) return k.type;
    return 0;
}

std::optional<crypto::KeyType> signature_key(uint8_t type) {
    const TlvKind* kind = tlv_kind(type);
    return kind ? kind->key : std::nullopt;
}

const char* signature_name(uint8_t type) {
    std::optional<crypto::KeyType> key = signature_key(type);
    return key ? crypto::key_type_name(*key) : nullptr;
}

bool signs_digest(crypto::KeyType type) {
    return type == crypto::KeyType::ed25519;
}

Bytes image_public_key(const crypto::Key& key) {
    return key.public_der(key.type() == crypto::KeyType::rsa_2048 ||
                          key.type() == crypto::KeyType::rsa_3072);
}

std::optional<Version> parse_version(const std::string& text) {
    size_t plus = text.find('+');
    std::string main = text.substr(0, plus);
    size_t dot1 = main.find('.');
    size_t dot2 = dot1 == std::string::npos ? dot1 : main.find('.', dot1 + 1);
    if (dot2 == std::string::npos) return std::nullopt;
    uint64_t major, minor, revision, build = 0;
    if (!number(main, 0, dot1, 0xFF, major) || !number(main, dot1 + 1, dot2, 0xFF, minor) ||
        !number(main, dot2 + 1, main.size(), 0xFFFF, revision))
        return std::nullopt;
    if (plus != std::string::npos && !number(text, plus + 1, text.size(), 0xFFFFFFFF, build))
        return std::nullopt;
    return Version{static_cast<uint8_t>(major), static_cast<uint8_t>(minor),
                   static_cast<uint16_t>(revision), static_cast<uint32_t>(build)};
}

std::string version_text(const Version& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
           std::to_string(v.revision) + "+" + std::to_string(v.build);
}

// A version's bytes are the header's version field's.
std::array<uint8_t, 8> pack_version(const Version& v) {
    Header h;
    h.version = v;
    const HeaderField& f = header_field("version");
    std::array<uint8_t, 8> out{};
    bytes::store(out.data(), f.width, bytes::Order::little, f.get(h));
    return out;
}

uint32_t counter_of(const Version& v) {
    return static_cast<uint32_t>(v.major) << 24 | static_cast<uint32_t>(v.minor) << 16 |
           v.revision;
}

std::array<uint8_t, header_fields> encode_header(const Header& h) {
    std::array<uint8_t, header_fields> out{};
    for (const HeaderField& f : header_table)
        bytes::store(out.data() + f.offset, f.width, bytes::Order::little, f.get(h));
    return out;
}

Header decode_header(const uint8_t* p) {
    Header h;
    for (const HeaderField& f : header_table)
        f.set(h, bytes::load(p + f.offset, f.width, bytes::Order::little));
    return h;
}

std::vector<Fault> field_faults(const Header& h) {
    std::vector<Fault> out;
    for (const HeaderField& f : header_table) {
        const uint64_t value = f.get(h);
        switch (f.rule) {
        case FieldRule::magic:
            if (value != image_magic)
                out.push_back({true, f.offset, f.words,
                               text::format("0x%0*llX", static_cast<int>(2 * f.width),
                                            static_cast<unsigned long long>(value)),
                               text::format("0x%08X", image_magic)});
            break;
        case FieldRule::load_address:
            if (value != 0 && !(h.flags & (flag_ram_load | flag_rom_fixed)))
                out.push_back({true, f.offset, f.words, text::number(value),
                               "0x0 (the flags ask for no load to RAM)"});
            break;
        case FieldRule::flags:
            if (value & ~uint64_t{known_flags})
                out.push_back({true, f.offset, f.words, text::number(value),
                               text::format("flags MCUboot knows (0x%X): 0x%llX is none",
                                            known_flags,
                                            static_cast<unsigned long long>(
                                                value & ~uint64_t{known_flags}))});
            else if ((value & flag_ram_load) && (value & flag_rom_fixed))
                out.push_back({true, f.offset, f.words, text::number(value),
                               "RAM load (0x20) or ROM-fixed (0x100), not both: load_addr "
                               "holds one address"});
            break;
        case FieldRule::zero:
            if (value != 0) out.push_back({true, f.offset, f.words, text::number(value), "0x0"});
            break;
        case FieldRule::by_layout:
        case FieldRule::by_tlvs:
        case FieldRule::any:
            break;
        }
    }
    return out;
}

Bytes dependency_value(uint8_t image, const Version& version) {
    const std::array<uint8_t, 8> packed = pack_version(version);
    Bytes out(4 + packed.size(), 0);
    out[0] = image;
    std::copy(packed.begin(), packed.end(), out.begin() + 4);
    return out;
}

Bytes u32_value(uint32_t value) {
    Bytes out(4);
    bytes::put_le32(out.data(), value);
    return out;
}

Bytes encode_area(uint16_t info, const std::vector<Tlv>& entries) {
    if (entries.empty() && info == protected_info) return {};
    Bytes out(info_size);
    for (const Tlv& t : entries) {
        uint8_t head[tlv_head_size] = {t.type, 0, 0, 0};
        bytes::put_le16(head + 2, static_cast<uint16_t>(t.value.size()));
        out.insert(out.end(), head, head + tlv_head_size);
        out.insert(out.end(), t.value.begin(), t.value.end());
    }
    bytes::put_le16(out.data(), info);
    bytes::put_le16(out.data() + 2, static_cast<uint16_t>(out.size()));
    return out;
}

const Entry* Areas::find(uint8_t type, bool is_protected) const {
    for (const Entry& e : entries)
        if (e.type == type && e.is_protected == is_protected) return &e;
    return nullptr;
}

Areas parse_areas(const uint8_t* bytes, size_t size, uint16_t protect_tlv_size) {
    Areas areas;
    Walk walk(bytes, size, areas);
    // The protected area: there by its magic, or by the header's size when
    // the magic is damaged.
    const uint16_t first = walk.u16(0);
    uint64_t end = 0;
    if (first == protected_info || (protect_tlv_size != 0 && first != unprotected_info)) {
        if (first != protected_info)
            walk.fault(0, "the protected TLV area's info magic", magic_text(first),
                       magic_text(protected_info));
        const bool tiled = first == protected_info && walk.tiles(info_size, walk.u16(2));
        end = walk.entries(info_size, true,
                           tiled ? walk.u16(2) : std::max<uint64_t>(walk.u16(2), protect_tlv_size),
                           tiled);
        if (walk.u16(2) != end)
            walk.fault(2, "the protected TLV area's total", size_text(walk.u16(2)),
                       size_text(end));
    }
    if (protect_tlv_size != end)
        walk.fault(field::protect_tlv_size, "protect_tlv_size", size_text(protect_tlv_size),
                   size_text(end), true);
    areas.protected_size = end;
    if (end + info_size > size && !areas.cut) areas.cut = end + info_size;

    // The unprotected area right after it; its total is judged by its
    // entries rather than bounding them, as it may be the wrong field.
    const uint16_t info = walk.u16(end);
    if (info != unprotected_info)
        walk.fault(end, "the TLV area's info magic", magic_text(info),
                   magic_text(unprotected_info));
    const uint16_t total = walk.u16(end + 2);
    const uint64_t last =
        walk.entries(end + info_size, false, end + total,
                     info == unprotected_info && walk.tiles(end + info_size, end + total));
    // The file ends inside the area where its total says it goes on and
    // too few bytes are left for another entry.
    if (!areas.cut && info == unprotected_info && end + total > size && last + tlv_head_size > size &&
        total > last - end)
        areas.cut = end + total;
    if (total != last - end)
        walk.fault(end + 2, "the TLV area's total", size_text(total), size_text(last - end));
    areas.unprotected_size = last - end;
    return areas;
}

bool whole_area(const uint8_t* bytes, size_t size) {
    if (size < info_size) return false;
    const uint16_t magic = bytes::le16(bytes);
    if (magic != protected_info && magic != unprotected_info) return false;
    const uint64_t end = bytes::le16(bytes + 2);
    uint64_t at = info_size;
    while (at + tlv_head_size <= end && at + tlv_head_size <= size)
        at += tlv_head_size + bytes::le16(bytes + at + 2);
    return at == end && end <= size && end > info_size;
}

bool valid_align(unsigned align) {
    return align == 1 || align == 2 || align == 4 || align == 8 || align == 16 || align == 32;
}

std::array<uint8_t, 16> trailer_magic(unsigned align) {
    if (align <= 8)
        return {0x77, 0xC2, 0x95, 0xF3, 0x60, 0xD2, 0xEF, 0x7F,
                0x35, 0x52, 0x50, 0x0F, 0x2C, 0xB6, 0x79, 0x80};
    return {static_cast<uint8_t>(align), static_cast<uint8_t>(align >> 8),
            0x2D, 0xE1, 0x5D, 0x29, 0x41, 0x0B, 0x8D, 0x77,
            0x67, 0x9C, 0x11, 0x0F, 0x1F, 0x8A};
}

std::optional<unsigned> trailer_align(const uint8_t* magic) {
    for (unsigned align : {8u, 16u, 32u}) {
        const std::array<uint8_t, 16> made = trailer_magic(align);
        if (std::equal(made.begin(), made.end(), magic)) return align;
    }
    return std::nullopt;
}

}  // namespace velk::mcuboot
