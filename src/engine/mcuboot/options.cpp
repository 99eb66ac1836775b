#include "options.h"

#include "../report/refusal.h"
#include "../report/text.h"
#include "boot_record.h"
#include "hashing.h"
#include "settings.h"

namespace velk::mcuboot {

namespace {

// A flash device's base is a multiple of this, where it is not 0.
constexpr uint64_t device_boundary = uint64_t{1} << 20;
// The bytes of an unsigned image's boot record's signer.
constexpr size_t unsigned_signer = 32;

// An address of 32 bits, 0 being none: imgtool sets no flag for 0.
uint32_t read_address(Reading& r, const char* what, const char* example) {
    uint64_t address = 0;
    if (!r.number(0xFFFFFFFF, address) || address == 0)
        r.refuse(r.given.name + "=" + r.value() + " is no " + what +
                 ": 0x1 to 0xFFFFFFFF (0 sets no flag), as in " + example);
    return static_cast<uint32_t>(address);
}

}  // namespace

void read_rom_fixed(Reading& r) {
    r.settings.image.rom_fixed = read_address(r, "slot address", "rom-fixed=0x08020000");
}

void read_load_addr(Reading& r) {
    r.settings.image.load_addr = read_address(r, "RAM address", "load-addr=0x20000000");
}

void read_max_sectors(Reading& r) {
    uint64_t sectors = 0;
    if (!r.number(0xFFFF, sectors) || sectors == 0)
        r.refuse("max-sectors=" + r.value() +
                 " is no sector count: 1 to 65535, as in max-sectors=256");
    r.settings.image.max_sectors = static_cast<unsigned>(sectors);
}

void read_overwrite_only(Reading& r) {
    r.settings.image.overwrite_only = true;
}

void read_hex_addr(Reading& r) {
    uint64_t address = 0;
    if (!r.number(0xFFFFFFFF, address))
        r.refuse("hex-addr=" + r.value() +
                 " is no HEX address: 0x0 to 0xFFFFFFFF, as in hex-addr=0x0");
    r.settings.image.hex_addr = address;
}

void read_boot_record(Reading& r) {
    const size_t count = characters(r.value());
    if (count > sw_type_most)
        r.refuse(text::format("boot-record=%s is %zu characters: the software's role is at "
                              "most %zu, as in boot-record=SPE",
                              r.value().c_str(), count, sw_type_most));
    r.settings.image.boot_record = r.value();
}

void read_non_bootable(Reading& r) {
    r.settings.image.non_bootable = true;
}

std::string options_conflict(const Settings& s) {
    const ImageOptions& o = s.image;
    if (o.rom_fixed && o.load_addr)
        return "rom-fixed and load-addr together: an image runs from its slot or from RAM, "
               "and load_addr holds one address";
    if ((o.max_sectors || o.overwrite_only) && !s.slot)
        return "max-sectors and overwrite-only size the slot's trailer: give slot=<size> too";
    if (o.max_sectors && o.overwrite_only)
        return "max-sectors sizes the swap status, which an overwrite-only trailer has "
               "none of: give one of them";
    if (o.overwrite_only && s.confirm)
        return "confirm sets image_ok, which an overwrite-only trailer does not hold: give "
               "pad";
    return "";
}

uint32_t option_flags(const ImageOptions& o) {
    return (o.rom_fixed ? flag_rom_fixed : 0) | (o.load_addr ? flag_ram_load : 0) |
           (o.non_bootable ? flag_non_bootable : 0);
}

uint32_t option_load_addr(const ImageOptions& o) {
    return o.rom_fixed ? *o.rom_fixed : o.load_addr.value_or(0);
}

Trailer trailer_of(const Settings& s) {
    Trailer t{s.align};
    t.max_sectors = s.image.max_sectors.value_or(Trailer::default_sectors);
    t.overwrite_only = s.image.overwrite_only;
    t.encrypted = s.encrypt.has_value();
    return t;
}

std::optional<LeastTrailer> least_trailer(const Settings& s, unsigned magic_align,
                                          bool encrypted) {
    const ImageOptions& o = s.image;
    if (!o.max_sectors && !o.overwrite_only) return std::nullopt;
    Settings least = s;
    least.align = magic_align > 8 ? magic_align : 1;
    Trailer t = trailer_of(least);
    // CHECK's settings name no encrypt=: the header's flags say it.
    t.encrypted = encrypted;
    return LeastTrailer{t.size(),
                        o.overwrite_only ? std::string("overwrite-only")
                                         : "max-sectors=" + std::to_string(*o.max_sectors)};
}

bool fixed_at(uint32_t load_addr, uint64_t slot) {
    if (load_addr == slot) return true;
    // The offset from a device's base: below the base, which lies on a
    // boundary.
    if (load_addr > slot) return false;
    const uint64_t base = slot - load_addr;
    return base % device_boundary == 0 && load_addr < base;
}

std::string fixed_wanted(uint64_t slot) {
    return "the slot's offset in its flash device (" + text::address(slot) +
           " less the device's base)";
}

std::vector<std::string> options_refused(const Settings& s, uint64_t slot) {
    const std::optional<uint32_t>& fixed = s.image.rom_fixed;
    if (!fixed || fixed_at(*fixed, slot)) return {};
    return {text::format("rom-fixed=%s is not the slot's offset in its flash device (%s "
                         "less the device's base): MCUboot boots the image from no slot",
                         text::number(*fixed).c_str(), text::address(slot).c_str())};
}

namespace {

// The version as the record gives it: without its build.
std::string record_version(const Version& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
           std::to_string(v.revision);
}

// The record for the settings' role and version in an image hashed with
// `hash`, signed by `signer` (the key's hash with it; zeros unsigned).
Bytes record_of(const Settings& s, crypto::Hash hash, const Bytes& signer) {
    const crypto::HashRow& row = crypto::hash_row(hash);
    return boot_record(*s.image.boot_record, record_version(s.version), signer,
                       tlv_name(row.tlv), row.size);
}

}  // namespace

void add_boot_record(const Settings& s, std::vector<Tlv>& protected_tlvs) {
    if (!s.image.boot_record) return;
    // An unsigned image's signer is 32 zeros whatever its hash, as imgtool
    // writes it; a key's hash is the image's hash's size.
    const crypto::Hash hash = likely_hash(s.hash, s.pure);
    const size_t signer = s.key ? crypto::hash_row(hash).size : unsigned_signer;
    protected_tlvs.push_back({tlv::boot_record, record_of(s, hash, Bytes(signer, 0))});
}

void signed_boot_record(const Settings& s, const crypto::Key* opened,
                        crypto::Provider& crypto, const std::string& option,
                        std::vector<Tlv>& protected_tlvs) {
    if (!s.image.boot_record || !opened) return;
    const crypto::Hash hash = image_hash(opened->type(), s.hash, s.pure, option + ": ");
    const Bytes signer = key_hash(crypto, hash, *opened);
    // The signer's hash takes the zeros' place: the record's length, and
    // with it protect_tlv_size, stay as laid out, unless the key asks for
    // a hash of another size than the one the header was laid out for.
    for (Tlv& t : protected_tlvs) {
        if (t.type != tlv::boot_record) continue;
        Bytes record = record_of(s, hash, signer);
        if (record.size() != t.value.size())
            throw Refusal{option + ": boot-record= takes the image's hash, and " +
                          crypto::key_type_name(opened->type()) + "'s is " +
                          crypto::hash_row(hash).words + ": give sha=" +
                          crypto::hash_row(hash).setting + " with it"};
        t.value = std::move(record);
    }
}

std::vector<RecordFault> boot_record_check(const Bytes& value, const Version& version,
                                           crypto::Hash hash, const Bytes& key_hash) {
    return boot_record_faults(value, record_version(version), key_hash,
                              crypto::hash_row(hash).size);
}

std::optional<HexImage> hex_image(const Settings& s, uint64_t slot,
                                  const layout::MemoryMap& memory, const std::string& option) {
    if (!s.image.hex_addr || memory.empty()) return std::nullopt;
    const uint64_t to = *s.image.hex_addr;
    const uint64_t first = memory.pieces().front().address, end = memory.end();
    // What the HEX holds below the slot (the build's bytes before it) stays
    // at or above 0, its end within 32 bits.
    if (slot - first > to || end - slot > (uint64_t{1} << 32) - to)
        throw Refusal{text::format(
            "%s: hex-addr=%s would move the HEX's bytes at %s to %s past 0x0 or 0xFFFFFFFF, "
            "the addresses a HEX file holds",
            option.c_str(), text::number(to).c_str(), text::address(first).c_str(),
            text::address(end - 1).c_str())};
    HexImage out{layout::MemoryMap(memory.fill()), to - slot};
    std::vector<layout::Segment> segments = memory.segments();
    for (layout::Segment& g : segments) g.address += out.moved_by;
    out.memory.set_segments(std::move(segments));
    for (const layout::Piece& p : memory.pieces()) {
        layout::Piece moved = p;
        moved.address += out.moved_by;
        out.memory.append(moved);
    }
    return out;
}

std::string flags_words(const Header& h) {
    if (!h.flags) return "";
    std::string out = text::number(h.flags) + ":";
    const char* sep = " ";
    for (const FlagName& n : flag_names) {
        if (!(h.flags & n.flag)) continue;
        out += sep + std::string(n.name);
        if (n.flag == flag_ram_load || n.flag == flag_rom_fixed)
            out += " at " + text::address(h.load_addr);
        sep = ", ";
    }
    if (h.flags & ~known_flags) out += text::format("%sunknown 0x%X", sep, h.flags & ~known_flags);
    return out;
}

std::string options_words(const Settings& s) {
    const ImageOptions& o = s.image;
    std::vector<std::string> words;
    if (o.rom_fixed) words.push_back("rom-fixed=" + text::address(*o.rom_fixed));
    if (o.load_addr) words.push_back("load-addr=" + text::address(*o.load_addr));
    if (o.non_bootable) words.push_back("non-bootable");
    if (o.boot_record) words.push_back("boot-record=" + *o.boot_record);
    if (s.slot && (o.max_sectors || o.overwrite_only)) {
        const std::string kind = o.overwrite_only
                                     ? std::string("overwrite-only")
                                     : "max-sectors=" + std::to_string(*o.max_sectors);
        words.push_back(text::format("a trailer of %llu bytes (%s)",
                                     static_cast<unsigned long long>(trailer_of(s).size()),
                                     kind.c_str()));
    }
    if (o.hex_addr) words.push_back("HEX at " + text::address(*o.hex_addr));
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "; " : ", ") + w;
    return out;
}

}  // namespace velk::mcuboot
