#include "format.h"

#include <cstdio>

namespace velk::mcuboot {

namespace {

uint16_t u16_at(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t u32_at(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A decimal number of at most `limit`, the whole of [from, to).
bool number(const std::string& text, size_t from, size_t to, uint64_t limit, uint64_t& out) {
    if (from >= to || to - from > 10) return false;
    out = 0;
    for (size_t i = from; i < to; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return out <= limit;
}

std::string hex16(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

}  // namespace

const char* tlv_name(uint8_t type) {
    switch (type) {
    case tlv::key_hash: return "KEYHASH";
    case tlv::public_key: return "PUBKEY";
    case tlv::sha256: return "SHA256";
    case tlv::rsa2048_pss: return "RSA2048_PSS";
    case tlv::ecdsa_p256: return "ECDSASIG";
    case tlv::rsa3072_pss: return "RSA3072_PSS";
    case tlv::ed25519: return "ED25519";
    case tlv::dependency: return "DEPENDENCY";
    case tlv::security_counter: return "SEC_CNT";
    }
    return nullptr;
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

std::array<uint8_t, 8> pack_version(const Version& v) {
    std::array<uint8_t, 8> out{};
    out[0] = v.major;
    out[1] = v.minor;
    put_u16(&out[2], v.revision);
    put_u32(&out[4], v.build);
    return out;
}

Version unpack_version(const uint8_t* p) {
    return {p[0], p[1], u16_at(p + 2), u32_at(p + 4)};
}

uint32_t counter_of(const Version& v) {
    return static_cast<uint32_t>(v.major) << 24 | static_cast<uint32_t>(v.minor) << 16 |
           v.revision;
}

std::array<uint8_t, header_fields> encode_header(const Header& h) {
    std::array<uint8_t, header_fields> out{};
    put_u32(&out[0], h.magic);
    put_u32(&out[4], h.load_addr);
    put_u16(&out[8], h.hdr_size);
    put_u16(&out[10], h.protect_tlv_size);
    put_u32(&out[12], h.img_size);
    put_u32(&out[16], h.flags);
    std::array<uint8_t, 8> version = pack_version(h.version);
    std::copy(version.begin(), version.end(), out.begin() + 20);
    return out;  // the last 4 bytes: padding, 0
}

Header decode_header(const uint8_t* p) {
    Header h;
    h.magic = u32_at(p);
    h.load_addr = u32_at(p + 4);
    h.hdr_size = u16_at(p + 8);
    h.protect_tlv_size = u16_at(p + 10);
    h.img_size = u32_at(p + 12);
    h.flags = u32_at(p + 16);
    h.version = unpack_version(p + 20);
    return h;
}

Bytes dependency_value(uint8_t image, const Version& version) {
    Bytes out{image, 0, 0, 0};
    std::array<uint8_t, 8> packed = pack_version(version);
    out.insert(out.end(), packed.begin(), packed.end());
    return out;
}

Bytes u32_value(uint32_t value) {
    Bytes out(4);
    put_u32(out.data(), value);
    return out;
}

Bytes encode_area(uint16_t info, const std::vector<Tlv>& entries) {
    if (entries.empty() && info == protected_info) return {};
    Bytes out(info_size);
    for (const Tlv& t : entries) {
        uint8_t head[tlv_head_size] = {t.type, 0, 0, 0};
        put_u16(head + 2, static_cast<uint16_t>(t.value.size()));
        out.insert(out.end(), head, head + tlv_head_size);
        out.insert(out.end(), t.value.begin(), t.value.end());
    }
    put_u16(out.data(), info);
    put_u16(out.data() + 2, static_cast<uint16_t>(out.size()));
    return out;
}

const Entry* Areas::find(uint8_t type) const {
    for (const Entry& e : entries)
        if (e.type == type) return &e;
    return nullptr;
}

std::variant<Areas, AreaFault> parse_areas(const uint8_t* bytes, size_t size,
                                           uint16_t protect_tlv_size) {
    Areas areas;
    // One area from `at`: its info header, then entries that fill its total.
    auto area = [&](uint64_t at, uint16_t info, bool is_protected, uint64_t& total,
                    std::optional<uint16_t> expected) -> std::optional<AreaFault> {
        const std::string name = is_protected ? "the protected TLV area" : "the TLV area";
        if (at + info_size > size)
            return AreaFault{at, "the bytes end before " + name + "'s info header"};
        if (u16_at(bytes + at) != info)
            return AreaFault{at, name + "'s info header holds " + hex16(u16_at(bytes + at)) +
                                     ", not " + hex16(info)};
        total = u16_at(bytes + at + 2);
        if (expected && total != *expected)
            return AreaFault{at + 2, name + " is " + std::to_string(total) +
                                         " bytes, the header's protect_tlv_size " +
                                         std::to_string(*expected)};
        if (total < info_size)
            return AreaFault{at + 2, name + " is " + std::to_string(total) +
                                         " bytes, shorter than its info header"};
        if (at + total > size)
            return AreaFault{at + 2, name + " is " + std::to_string(total) +
                                         " bytes, past the end of the bytes read"};
        uint64_t entry = at + info_size;
        while (entry < at + total) {
            if (entry + tlv_head_size > at + total)
                return AreaFault{entry, "an entry of " + name + " is cut off by its end"};
            uint16_t length = u16_at(bytes + entry + 2);
            if (entry + tlv_head_size + length > at + total)
                return AreaFault{entry, "the entry of type " + hex16(bytes[entry]) + " (" +
                                            std::to_string(length) + " bytes) runs past " +
                                            name + "'s end"};
            areas.entries.push_back({bytes[entry], is_protected, entry, length});
            entry += tlv_head_size + length;
        }
        return std::nullopt;
    };
    if (protect_tlv_size) {
        if (auto fault = area(0, protected_info, true, areas.protected_size, protect_tlv_size))
            return *fault;
    }
    if (auto fault = area(areas.protected_size, unprotected_info, false,
                          areas.unprotected_size, std::nullopt))
        return *fault;
    return areas;
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

}  // namespace velk::mcuboot
