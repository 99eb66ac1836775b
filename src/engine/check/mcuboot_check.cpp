// CHECK's reading of a signed MCUboot image. The image is found by its
// header's magic (with --elf where the build puts it), and then read
// tolerantly: a wrong field is named and the walk goes on with what the
// structures themselves show, so that one tampered byte is one fault.
#include "mcuboot_check.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <tuple>

#include "../base/byte_order.h"
#include "../formats/formats.h"
#include "../mcuboot/hashing.h"
#include "../mcuboot/key.h"
#include "../mcuboot/settings.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"
#include "check_run.h"

namespace velk::check::mcuboot {

namespace {

constexpr size_t header_bytes = format::header_fields;
// A padded slot is read whole, erased flash and all: more than any MCUboot
// device's slot, and a bound on what a file's far bytes can make CHECK hold.
constexpr uint64_t max_padded_slot = uint64_t{256} << 20;

// The section of FLASH's _CRC.elf named `name`.
std::optional<elf::SectionHeader> section(const ElfBuild& elf, const char* name) {
    for (const elf::SectionHeader& s : elf.file.sections)
        if (section_name(elf, s) == name) return s;
    return std::nullopt;
}

// Where the build's signed payload ends: after its loadable bytes, or after
// a record's image that reaches beyond them (a slot that --a or --s places
// there, an image rounded up), FLASH having padded the payload with erased
// flash up to it.
uint64_t signed_build_end(const CheckRun& run) {
    uint64_t end = run.build->loadable.clusters.back().end;
    for (const records::Planned& p : run.plan.records)
        end = std::max({end, p.record.slot_end(), p.image.end});
    return end;
}

// The image's bytes from its header to the end of the run the file holds
// unbroken, read once; every field is an offset into them.
class Reader {
public:
    Reader(CheckRun& run, Verdict& v, const layout::MemoryMap& held)
        : run_(run), v_(v), fill_(run.plan.fill), held_(held) {}

    // The image whose header is at `address`, judged whole; what the file
    // does not hold of it stops the judging there.
    void run(uint64_t address) {
        v_.located = true;
        v_.address = address;
        padded_slot();
        read_image();
        header();
        tlv_areas(payload_end());
        if (!stops()) {
            room();
            digest();
            trailer();
        }
        parts();
    }

private:
    uint16_t u16(uint64_t at) const {
        if (at < v_.address || at + 2 > v_.run_end) return 0;
        return bytes::le16(ptr(at));
    }
    uint8_t u8(uint64_t at) const {
        return at >= v_.address && at < v_.run_end ? bytes_[at - v_.address] : fill_;
    }
    const uint8_t* ptr(uint64_t address) const { return bytes_.data() + (address - v_.address); }
    uint64_t value_at(const format::Entry& entry) const {
        return v_.address_of(entry) + format::tlv_head_size;
    }

    void fault(std::string what, uint64_t address, std::string held, std::string wanted) {
        v_.faults.push_back({std::move(what), address, std::move(held), std::move(wanted)});
    }

    uint64_t build_start() const { return run_.build->loadable.clusters.front().start; }
    uint64_t build_end() const { return signed_build_end(run_); }

    // From the header to the end of the run of bytes the file holds without
    // a break (with --elf, at least to the build's end).
    void read_image() {
        uint64_t end = v_.address;
        for (const layout::Piece& p : held_.pieces()) {
            if (p.end() <= v_.address) continue;
            if (p.address > end) break;
            end = p.end();
        }
        held_run_end_ = end;
        if (run_.build) end = std::max(end, build_end());
        // A padded slot's file may leave its erased flash out: the
        // trailer's magic is then a stretch of its own at the slot's end.
        for (const layout::Piece& p : held_.pieces()) {
            if (p.address < end || !p.bytes || p.size < 16) continue;
            // Bytes further away are no slot's: the image is read whole
            // into memory.
            if (p.end() - v_.address > max_padded_slot) break;
            // A wide magic whose write size is damaged still marks it.
            const uint8_t* m = p.bytes + p.size - 16;
            const auto wide = format::trailer_magic(16);
            if (format::trailer_align(m) || std::equal(m + 2, m + 16, wide.begin() + 2))
                end = p.end();
            break;
        }
        // A padded slot's end, as far as the file holds bytes: a trailer it
        // lacks is a fault, not a read past its bytes.
        if (slot_end_ && trailer_required_) {
            const uint64_t reach = std::min(*slot_end_, held_.end());
            if (reach > v_.address && reach - v_.address > max_padded_slot)
                throw Refusal{text::format(
                    "a padded slot of 0x%llX bytes from the header at %s, and the file "
                    "holds bytes at %s: CHECK reads a padded slot of at most 256 MiB",
                    static_cast<unsigned long long>(*slot_end_ - v_.address),
                    text::address(v_.address).c_str(), text::address(reach - 1).c_str())};
            end = std::max(end, reach);
        }
        v_.run_end = std::max(end, v_.address + header_bytes);
        bytes_.resize(v_.run_end - v_.address);
        run_.memory.read(v_.address, bytes_.data(), bytes_.size());
    }

    void header() {
        const uint64_t a = v_.address;
        const format::Header& h = v_.header = format::decode_header(bytes_.data());
        for (const format::Fault& f : format::field_faults(h))
            fault(f.what, a + f.offset, f.held, f.wanted);
        if ((h.flags & format::flag_rom_fixed) && !(h.flags & format::flag_ram_load) &&
            !format::fixed_at(h.load_addr, a))
            fault("load_addr", a + format::field::load_addr, text::number(h.load_addr),
                  format::fixed_wanted(a));
    }

    // Where the TLV areas start, and hdr_size and img_size judged by it:
    // with --elf the build's end; else where an info header is found.
    uint64_t payload_end() {
        const uint64_t a = v_.address;
        const uint16_t hdr_size = v_.header.hdr_size;
        const uint32_t img_size = v_.header.img_size;
        const uint64_t said = a + hdr_size + uint64_t{img_size};
        std::optional<uint64_t> room;  // the header's room as the layout fixes it
        if (v_.settings.has_header) room = v_.settings.header;
        uint64_t end = said;
        if (run_.build) {
            end = build_end();
            // An encrypted payload is padded to whole blocks from the slot.
            if (format::aes_bits(v_.header.flags) && (end - a) % 16) end += 16 - (end - a) % 16;
            if (a != build_start()) room = build_start() - a;
        } else if (!areas_at(said)) {
            for (uint64_t t = a + header_bytes; t + 4 <= v_.run_end; ++t)
                if (info_at(t)) {
                    end = t;
                    break;
                }
        }
        v_.payload_end = end;
        v_.payload_start = std::min(a + hdr_size, end);
        if (said == end && (!room || *room == hdr_size)) return end;
        // One of the two is wrong: the layout's room decides, else the
        // likelier header size (a power of two, a multiple of 32).
        auto likely = [](uint64_t size) {
            return (size >= 32 && (size & (size - 1)) == 0 ? 2 : 0) + (size % 32 == 0 ? 1 : 0);
        };
        const uint64_t span = end - a;
        bool header_wrong = room ? *room != hdr_size
                                 : img_size < span && likely(span - img_size) > likely(hdr_size);
        const uint64_t hdr_size_at = a + format::field::hdr_size;
        const uint64_t img_size_at = a + format::field::img_size;
        if (header_wrong) {
            uint64_t wanted = room ? *room : span - img_size;
            v_.payload_start = std::min(a + wanted, end);
            fault("hdr_size", hdr_size_at, text::number(hdr_size), text::number(wanted));
            if (said != end && a + wanted + img_size != end)
                fault("img_size", img_size_at, text::number(img_size), text::number(end - a - wanted));
        } else {
            fault("img_size", img_size_at, text::number(img_size),
                  span >= hdr_size ? text::number(span - hdr_size) : "less than hdr_size");
        }
        return end;
    }

    // The room added before the build holds erased flash: the build's
    // bytes start after it.
    void room() {
        if (!run_.build || v_.address >= build_start()) return;
        uint64_t count = 0, first = 0;
        for (uint64_t a = v_.address + header_bytes; a < build_start(); ++a)
            if (u8(a) != fill_ && count++ == 0) first = a;
        if (count)
            fault(text::format("the header's room (%llu byte%s not erased)",
                               static_cast<unsigned long long>(count), count == 1 ? "" : "s"),
                  first, text::format("0x%02X", u8(first)), text::format("0x%02X (erased)", fill_));
    }

    // The TLV areas at `t` by any one sign, so that a damaged info header
    // is named rather than the sizes: an info magic, the unprotected one
    // after protect_tlv_size, or a hash entry first.
    bool areas_at(uint64_t t) const {
        const uint16_t protect = v_.header.protect_tlv_size;
        return u16(t) == format::protected_info || u16(t) == format::unprotected_info ||
               (protect && u16(t + protect) == format::unprotected_info) ||
               (format::hash_of_tlv(u8(t + 4)) && u8(t + 5) == 0 &&
                u16(t + 6) == format::hash_of_tlv(u8(t + 4))->size);
    }

    // An info header at `t` whose entries end where its total says.
    bool info_at(uint64_t t) const {
        return t < v_.run_end && format::whole_area(ptr(t), v_.run_end - t);
    }

    // Both areas from `t`, walked leniently by the format's own reader;
    // its faults placed in the file.
    void tlv_areas(uint64_t t) {
        const bool inside = t < v_.run_end;
        v_.areas = format::parse_areas(inside ? ptr(t) : bytes_.data(),
                                       inside ? v_.run_end - t : 0,
                                       v_.header.protect_tlv_size);
        for (format::Fault& f : v_.areas.faults)
            fault(std::move(f.what), (f.in_header ? v_.address : t) + f.offset,
                  std::move(f.held), std::move(f.wanted));
        v_.protected_end = t + v_.areas.protected_size;
        v_.tlv_end = v_.protected_end + v_.areas.unprotected_size;
        // A RAM-loaded image is copied whole, header to TLVs, to load_addr:
        // the bootloader refuses one whose copy would reach 4 GiB.
        const format::Header& h = v_.header;
        if ((h.flags & format::flag_ram_load) &&
            h.load_addr + (v_.tlv_end - v_.address) >= format::address_space)
            fault("load_addr", v_.address + format::field::load_addr,
                  text::address(h.load_addr),
                  "a RAM address the image's " + std::to_string(v_.tlv_end - v_.address) +
                      " bytes fit after, below 4 GiB");
    }

    // Where the file's bytes stop before the image's end: the payload
    // reaches past them, or a TLV does. Nothing after the stop can be
    // judged, so the stop is the one fault.
    bool stops() {
        uint64_t goes_to = 0;
        if (v_.payload_end + format::info_size > v_.run_end)
            goes_to = v_.payload_end + format::info_size;
        else if (v_.areas.cut)
            goes_to = v_.payload_end + v_.areas.cut;
        if (!goes_to) return false;
        // With --elf the run reaches the build's end whatever the file
        // holds: where its own bytes end is what to say.
        v_.stops_at = std::min(v_.run_end, held_run_end_);
        v_.goes_to = goes_to;
        for (const layout::Piece& p : held_.pieces())
            if (p.address >= *v_.stops_at && p.bytes) v_.hole = true;
        v_.faults.clear();
        v_.areas.entries.clear();
        v_.protected_end = v_.tlv_end = std::min(v_.tlv_end, v_.run_end);
        return true;
    }

    void digest() {
        const uint64_t hashed = v_.protected_end - v_.address;
        v_.hash_kind = format::hash_in(v_.areas);
        v_.pure = format::pure_in(v_.areas);
        Bytes plain;
        if (!decrypt_payload(v_, bytes_, plain)) return;
        const uint8_t* image = plain.empty() ? bytes_.data() : plain.data();
        std::unique_ptr<crypto::Digest> sha = v_.provider->digest(v_.hash_kind);
        sha->update(image, hashed);
        v_.hash = sha->finish();
        walk_tlvs(v_, image, hashed);
        boot_records();
    }

    // A measured-boot record names the image's version and, with a key
    // given, its signer, and ends where the bootloader writes the hash.
    void boot_records() {
        for (const format::Entry& e : v_.areas.entries)
            if (e.type == format::tlv::boot_record && e.is_protected)
                for (const format::RecordFault& f :
                     format::boot_record_check(e.value, v_.header.version, v_.hash_kind,
                                               v_.key_hash))
                    fault(format::tlv_words(e.type) + (f.part.empty() ? "" : "'s " + f.part),
                          value_at(e), f.held, f.wanted);
    }

    // The slot's end when the image was padded to it: slot= with pad or
    // confirm, or FLASH's _CRC.elf, whose sections say where its trailer
    // was written.
    void padded_slot() {
        const format::Settings& s = v_.settings;
        if (s.slot) slot_end_ = v_.address + *s.slot;
        trailer_required_ = s.pad || s.confirm;
        if (!run_.file.format->build) return;
        const ElfBuild& elf = run_.file.elf;
        const std::optional<elf::SectionHeader> trailer = section(elf, ".mcuboot.trailer");
        if (!trailer) return;
        const std::optional<elf::SectionHeader> tlv = section(elf, ".mcuboot.tlv");
        const std::optional<elf::SectionHeader> pad = section(elf, ".mcuboot.pad");
        const uint64_t before = pad ? pad->addr + pad->size : tlv ? tlv->addr + tlv->size : 0;
        if (!before) return;
        trailer_required_ = true;
        if (!slot_end_) slot_end_ = before + trailer->size;
    }

    // A padded slot ends in the trailer's magic; before it the flags
    // (image_ok confirmed or erased) and erased flash back to the TLVs.
    // An image not padded ends at its TLVs: what the file holds after them
    // MCUboot never reads.
    void trailer() {
        if (slot_end_ && v_.tlv_end > *slot_end_)
            fault("the image's end", v_.tlv_end, text::address(v_.tlv_end) + " (its TLVs')",
                  "at most " + text::address(*slot_end_) + ", the slot's end (slot=)");
        room_for_trailer();
        uint64_t end = v_.run_end;
        if (trailer_required_ && slot_end_) {
            end = *slot_end_;
            uint8_t magic[16];
            if (end < v_.tlv_end + 16) {
                if (v_.tlv_end <= end)
                    fault("the slot's end (slot=)", end,
                          text::format("%llu bytes after the TLVs",
                                       static_cast<unsigned long long>(end - v_.tlv_end)),
                          "room for the trailer's magic (16 bytes)");
                return;
            }
            if (held_.read(end - 16, magic, 16) < 16) {
                const auto wanted = format::trailer_magic(1);
                fault("the trailer's magic", end - 16, "nothing: the file has no byte there",
                      text::hex(wanted.data(), wanted.size()) +
                          ", which a padded image ends in at the slot's end");
                return;
            }
        } else if (end < v_.tlv_end + 16 || !magic_like(ptr(end - 16))) {
            // No trailer: erased flash, or bytes MCUboot ignores.
            if (!std::all_of(ptr(v_.tlv_end), ptr(end), [&](uint8_t b) { return b == fill_; }))
                v_.after_tlvs = end - v_.tlv_end;
            return;
        } else if (slot_end_ && end != *slot_end_) {
            fault("the trailer's end", end, text::address(end),
                  text::address(*slot_end_) + ", the slot's end (slot=)");
        }
        const uint8_t* magic = ptr(end - 16);
        const std::optional<unsigned> align = format::trailer_align(magic);
        if (!align) {
            const auto wanted = format::trailer_magic(1);
            fault("the trailer's magic", end - 16, text::hex(magic, 16),
                  text::hex(wanted.data(), wanted.size()));
        }
        const uint64_t image_ok = end - format::Trailer{align.value_or(8)}.image_ok_from_end();
        Trailer t{end - 16, image_ok, fill_};
        t.image_ok = image_ok >= v_.tlv_end ? u8(image_ok) : fill_;
        if (v_.settings.confirm && t.image_ok != format::image_ok_set)
            fault("image_ok", image_ok, text::format("0x%02X", t.image_ok), "0x01 (confirm)");
        else if (t.image_ok != fill_ && t.image_ok != format::image_ok_set)
            fault("image_ok", image_ok, text::format("0x%02X", t.image_ok),
                  text::format("0x01 (confirmed) or 0x%02X", fill_));
        uint64_t count = 0, first = 0;
        for (uint64_t a = v_.tlv_end; a < end - 16; ++a)
            if (a != image_ok && u8(a) != fill_ && count++ == 0) first = a;
        if (count)
            fault(text::format("the slot's erased flash after the TLVs (%llu byte%s)",
                               static_cast<unsigned long long>(count), count == 1 ? "" : "s"),
                  first, text::format("0x%02X", u8(first)),
                  text::format("0x%02X (erased)", fill_));
        v_.trailer = t;
    }

    // With max-sectors= or overwrite-only, the slot holds room after the
    // TLVs for the trailer they size, at the write size its magic tells.
    void room_for_trailer() {
        if (!slot_end_ || v_.tlv_end > *slot_end_) return;
        uint8_t magic[16];
        std::optional<unsigned> align;
        if (*slot_end_ >= v_.tlv_end + 16 && held_.read(*slot_end_ - 16, magic, 16) == 16)
            align = format::trailer_align(magic);
        const auto least = format::least_trailer(v_.settings, align.value_or(8),
                                                 format::aes_bits(v_.header.flags) != 0);
        if (least && *slot_end_ - v_.tlv_end < least->size)
            fault("the slot's room for its trailer", v_.tlv_end,
                  text::format("%llu bytes after the TLVs",
                               static_cast<unsigned long long>(*slot_end_ - v_.tlv_end)),
                  text::format("%llu bytes or more (%s)",
                               static_cast<unsigned long long>(least->size),
                               least->words.c_str()));
    }

    // The trailer's magic, or one a few bytes of which are damaged: most
    // of its 14 bytes of its own as they are.
    static bool magic_like(const uint8_t* m) {
        for (unsigned align : {8u, 16u}) {
            const auto made = format::trailer_magic(align);
            if (std::inner_product(m + 2, m + 16, made.begin() + 2, 0, std::plus<>(),
                                   std::equal_to<>()) >= 8)
                return true;
        }
        return false;
    }

    void parts() {
        const uint64_t a = v_.address;
        const std::string build = run_.build ? run_.build_name() : "";
        const uint64_t payload = v_.payload_start;
        auto part = [&](uint64_t s, uint64_t e, std::string what) {
            if (e > s) v_.parts.push_back({s, e, std::move(what)});
        };
        if (run_.merged)
            for (size_t k = 0; k < run_.merged->sources.size(); ++k)
                for (const layout::Span& s : run_.merged->sources[k].loadable.spans)
                    part(s.address, s.end(), run_.merged->names[k] + " (merged)");
        part(a, a + header_bytes, "MCUboot header");
        const bool hashed = !v_.payload_unchecked();
        if (!run_.build)
            part(a + header_bytes, payload,
                 hashed ? "the header's room, hashed" : "the header's room, not checked");
        else if (a == build_start())
            part(a + header_bytes, payload, "the header's room, " + build + "'s bytes");
        else
            part(a + header_bytes, payload, "the header's room, erased flash");
        part(payload, v_.payload_end,
             run_.build ? "application, " + build + " with its records"
             : hashed   ? "application, hashed"
                        : "application, encrypted, not checked");
        part(v_.payload_end, v_.protected_end, "protected TLVs");
        part(v_.protected_end, v_.tlv_end, "TLVs");
        const uint64_t trailer = v_.trailer ? v_.trailer->image_ok_at : v_.run_end;
        part(v_.tlv_end, std::max(v_.tlv_end, trailer),
             v_.after_tlvs ? "after the image's TLVs: MCUboot reads no further, not checked"
                           : "erased flash");
        if (v_.trailer) part(trailer, v_.trailer->magic_at + 16, "trailer (image_ok, magic)");
        std::sort(v_.parts.begin(), v_.parts.end(),
                  [](const Part& x, const Part& y) { return x.start < y.start; });
        // The file's bytes beyond them: said, never silently passed.
        std::vector<Part> rest;
        for (const layout::Piece& p : held_.pieces()) {
            uint64_t s = p.address;
            for (const Part& q : v_.parts) {
                if (q.end <= s || q.start >= p.end()) continue;
                if (q.start > s) rest.push_back({s, q.start, ""});
                s = std::max(s, q.end);
            }
            if (s < p.end()) rest.push_back({s, p.end(), ""});
        }
        for (Part& r : rest) {
            bool blank = true;
            for (uint64_t x = r.start; x < r.end && blank; ++x) {
                uint8_t b;
                held_.read(x, &b, 1);
                blank = b == fill_;
            }
            const bool compared = run_.merged || expected_within(r);
            r.what = blank         ? "erased flash"
                     : !run_.build ? "not checked"
                     : compared    ? "not the build's: see the content line"
                                   : "outside the build's image: see the note";
            v_.parts.push_back(r);
        }
        std::sort(v_.parts.begin(), v_.parts.end(),
                  [](const Part& x, const Part& y) { return x.start < y.start; });
    }

    // Whether the build's expected bytes reach into `r`: bytes there are
    // compared, and a difference is the content line's; bytes beyond the
    // build are a note's, unless --merge accounts for every byte.
    bool expected_within(const Part& r) const {
        for (const layout::Piece& p : run_.expected.pieces())
            if (p.address < r.end && p.end() > r.start) return true;
        return false;
    }

    CheckRun& run_;
    Verdict& v_;
    const uint8_t fill_;
    const layout::MemoryMap& held_;  // the file's own bytes, no fill between
    Bytes bytes_;
    std::optional<uint64_t> slot_end_;
    bool trailer_required_ = false;
    uint64_t held_run_end_ = 0;  // the end of the file's own bytes from the header on
};

// How well an image read at a candidate holds together: whole, its hash
// right, fewest faults.
std::tuple<bool, bool, long> score(const Verdict& v) {
    return {!v.stops_at, v.hash_ok, -static_cast<long>(v.faults.size())};
}

// Whether the header at `a` has its TLV area's info header where its
// hdr_size, img_size and protect_tlv_size say: an image, not a literal of
// the magic in a bootloader's code.
bool image_at(const layout::MemoryMap& held, uint64_t a) {
    uint8_t h[header_bytes];
    held.read(a, h, sizeof h);
    const format::Header header = format::decode_header(h);
    // An image's header whose sizes were damaged still has its zeros: no
    // load address (imgtool's default) and the reserved last word. A
    // bootloader's literal of the magic is followed by other literals.
    if (header.load_addr == 0 && header.pad == 0) return true;
    if (header.hdr_size < header_bytes) return false;
    const uint64_t info = a + header.hdr_size + uint64_t{header.img_size};
    uint8_t m[2];
    held.read(info, m, 2);
    return bytes::le16(m) ==
           (header.protect_tlv_size ? format::protected_info : format::unprotected_info);
}

// An image's first fault, as its line would tell it.
Fault first_fault(const Verdict& v) {
    if (v.stops_at)
        return {"the file's bytes", *v.stops_at, "none from there",
                "the image's bytes to " + text::address(v.goes_to)};
    return v.faults.front();
}

// The verdict as planned, before any image was read into it.
void clear(Verdict& v) {
    Verdict fresh;
    fresh.settings = v.settings;
    fresh.key = std::move(v.key);
    fresh.key_name = v.key_name;
    fresh.provider = v.provider;
    fresh.sealing = std::move(v.sealing);
    v = std::move(fresh);
}

// With --elf: what the image adds to the build (the header, the room
// before the build, the TLVs, the slot's end) is judged here; the expected
// map takes the file's own bytes there.
void into_expected(CheckRun& run, Verdict& v) {
    if (!run.build || !v.located) return;
    const uint64_t start = run.build->loadable.clusters.front().start;
    const uint64_t end = signed_build_end(run);
    layout::MemoryMap& expected = run.merged ? run.merged->memory : run.expected;
    layout::MemoryMap held = layout::spans_of(run.file.loadable, run.file.base);
    v.decrypted_over(held);
    // The file's own stretches there, its holes none: erased flash it
    // leaves out is no difference.
    auto take = [&](uint64_t from, uint64_t to) {
        for (const layout::Piece& p : held.pieces()) {
            uint64_t a = std::max(p.address, from), b = std::min(p.end(), to);
            if (b > a && p.bytes)
                expected.overlay(a, p.bytes + (a - p.address), b - a, p.keeper);
        }
    };
    take(v.address, v.address < start ? start : v.address + header_bytes);
    // To the trailer's magic, or the TLVs' end: bytes the file holds past
    // that the image does not account for, and the content check, or the
    // note on bytes beyond the build, tells them.
    take(end, v.trailer ? v.trailer->magic_at + 16 : v.tlv_end);
}

}  // namespace

void plan(CheckRun& run, Host& host) {
    if (!run.request.mcuboot) return;
    run.mcuboot.emplace();
    Verdict& v = *run.mcuboot;
    v.settings = format::read_settings(run.request, format::Use::verify);
    try {
        v.provider = &host.crypto();
        read_decrypt_key(v);
        if (!v.settings.key) return;
        const velk::mcuboot::KeyFile file = velk::mcuboot::read_key(*v.settings.key, "");
        v.key_name = file.name;
        v.key = velk::mcuboot::open_key(*v.provider, file, true);
    } catch (const crypto::Failure& failure) {
        throw Refusal{failure.why};
    }
}

void compute(CheckRun& run) {
    if (!run.mcuboot) return;
    Verdict& v = *run.mcuboot;
    const layout::MemoryMap held = layout::spans_of(run.file.loadable, run.file.base, run.plan.fill);
    const std::vector<uint64_t> places = candidates(run, v, held);
    try {
        // Few images hold more than a bootloader's literal or two; a file
        // full of the magic is judged by its first candidates.
        const size_t tried = std::min<size_t>(places.size(), 16);
        size_t best = 0;
        // Each place's first fault, for the places that hold an image.
        std::vector<std::optional<Fault>> wrong(tried);
        if (tried > 1) {
            std::tuple<bool, bool, long> top{};
            for (size_t i = 0; i < tried; ++i) {
                clear(v);
                Reader(run, v, held).run(places[i]);
                if (image_at(held, places[i]) && !v.ok()) wrong[i] = first_fault(v);
                if (i == 0 || score(v) > top) {
                    top = score(v);
                    best = i;
                }
            }
            clear(v);
        }
        if (!places.empty()) Reader(run, v, held).run(places[best]);
        // A second image that fails is a fault of the file, whichever
        // image holds together: the bootloader may be the one to read it.
        for (size_t i = 0; i < tried; ++i)
            if (i != best && wrong[i]) {
                Fault f = *wrong[i];
                f.what = "the image at " + text::address(places[i]) + ": " + f.what;
                v.faults.push_back(std::move(f));
            } else if (i != best) {
                (image_at(held, places[i]) ? v.other_images : v.passed_over).push_back(places[i]);
            }
    } catch (const crypto::Failure& failure) {
        throw Refusal{failure.why};
    }
    // decrypt= given, but its key does not open the image's: say why the
    // payload cannot be compared, not that the key is missing.
    if (run.build && v.payload_unchecked() && !v.unopened.empty())
        throw Refusal{"the MCUboot image at " + text::address(v.address) +
                      " is encrypted, and its payload cannot be compared with the build: " +
                      v.unopened};
    if (run.build && v.payload_unchecked())
        throw Refusal{"the MCUboot image at " + text::address(v.address) +
                      " is encrypted: comparing its payload with the build needs " +
                      run.request.asker.setting(Option::mcuboot, "decrypt") +
                      " (the private key, or the KEK)"};
    v.decrypted_over(run.memory);
    into_expected(run, *run.mcuboot);
}

}  // namespace velk::check::mcuboot
