#include "flash_verify.h"

#include <algorithm>
#include <cstring>

#include "../check/mcuboot_check.h"
#include "../check/mcuboot_report.h"
#include "../mcuboot/format.h"
#include "../mcuboot/hashing.h"
#include "../mcuboot/settings.h"
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "../report/text.h"

namespace velk::flash {

namespace {

namespace format = ::velk::mcuboot;
using Bytes = std::vector<uint8_t>;

// CHECK's line for a field of the signed image.
std::string mcuboot_line(const std::string& what, uint64_t address, const std::string& held,
                         const std::string& wanted) {
    return check::mcuboot::mismatch_line({what, address, held, wanted});
}

// The first byte of [from, to) that is not erased flash; `to` when none.
uint64_t first_written(const layout::MemoryMap& memory, uint64_t from, uint64_t to) {
    uint64_t at = from, found = to;
    memory.walk(from, to, [&](const uint8_t* bytes, uint64_t size) {
        if (bytes && found == to)
            for (uint64_t i = 0; i < size; ++i)
                if (bytes[i] != memory.fill()) {
                    found = at + i;
                    break;
                }
        at += size;
    });
    return found;
}

// Whether `a` and `b` hold the same bytes in [from, to), erased flash as
// each one's fill. Pieces that share the same bytes are the same without
// a look: a merged image shares the application's.
bool same_bytes(const layout::MemoryMap& a, const layout::MemoryMap& b, uint64_t from,
                uint64_t to) {
    bool same = true;
    uint64_t at = from;
    a.walk(from, to, [&](const uint8_t* in_a, uint64_t n) {
        uint64_t offset = 0;
        b.walk(at, at + n, [&](const uint8_t* in_b, uint64_t m) {
            const uint8_t* here = in_a ? in_a + offset : nullptr;
            offset += m;
            if (!same || (here == in_b && (here || a.fill() == b.fill()))) return;
            if (here && in_b) {
                same = std::memcmp(here, in_b, static_cast<size_t>(m)) == 0;
                return;
            }
            const uint8_t* bytes = here ? here : in_b;
            const uint8_t fill = here ? b.fill() : a.fill();
            same = std::all_of(bytes, bytes + m, [&](uint8_t x) { return x == fill; });
        });
        at += n;
    });
    return same;
}

}  // namespace

std::string records_fault(const records::Plan& plan, const layout::MemoryMap& memory) {
    for (size_t i : plan.by_slot()) {
        const records::Planned& p = plan.records[i];
        const records::Record& r = p.record;
        records::Found found;
        found.held.resize(r.width);
        memory.read(r.slot, found.held.data(), r.width);
        found.own = r.producer->produce(plan, r, memory);
        if (!found.right()) return r.producer->wrong_line(plan, p, found);
    }
    return {};
}

std::string mcuboot_fault(const mcuboot::Stage& stage, const layout::MemoryMap& image,
                          crypto::Provider& crypto) {
    // An encrypted payload is checked as the bootloader reads it, decrypted.
    const layout::MemoryMap memory = stage.plain(image, &crypto);
    const mcuboot::Signing& s = stage.signing();
    const mcuboot::Signed& made = stage.made();
    const uint64_t a = s.slot;
    uint8_t fields[format::header_fields];
    memory.read(a, fields, sizeof fields);
    const format::Header h = format::decode_header(fields);
    const std::vector<format::Fault> fixed = format::field_faults(h);
    if (!fixed.empty())
        return mcuboot_line(fixed.front().what, a + fixed.front().offset, fixed.front().held,
                            fixed.front().wanted);
    if (a + h.hdr_size != s.payload)
        return mcuboot_line("hdr_size", a + format::field::hdr_size, text::number(h.hdr_size),
                            text::number(s.payload - a));
    if (s.payload + h.img_size != s.end)
        return mcuboot_line("img_size", a + format::field::img_size, text::number(h.img_size),
                            text::number(s.end - s.payload));
    // A room added before the build is erased flash after the fields.
    if (!s.room_reserved) {
        const uint64_t at = first_written(memory, a + format::header_fields, s.payload);
        if (at != s.payload) {
            uint8_t byte = 0;
            memory.read(at, &byte, 1);
            return mcuboot_line("the header's room", at, text::format("0x%02X", byte),
                                text::format("0x%02X (erased)", memory.fill()));
        }
    }

    // Both TLV areas, each no more than a u16 total.
    const uint64_t t = s.end;
    const uint64_t most = 2 * (uint64_t{UINT16_MAX} + 1);
    Bytes areas_bytes(static_cast<size_t>(std::min(most, made.image_end - t)));
    memory.read(t, areas_bytes.data(), areas_bytes.size());
    const format::Areas areas =
        format::parse_areas(areas_bytes.data(), areas_bytes.size(), h.protect_tlv_size);
    if (!areas.faults.empty()) {
        const format::Fault& f = areas.faults.front();
        return mcuboot_line(f.what, (f.in_header ? a : t) + f.offset, f.held, f.wanted);
    }
    const uint64_t protected_end = t + areas.protected_size;
    const uint64_t tlv_end = protected_end + areas.unprotected_size;

    // The hash, the key and the signature as CHECK judges them: its walk
    // of the TLV areas, as MCUboot's bootloader holding the run's key.
    check::mcuboot::Verdict v;
    v.provider = &crypto;
    v.payload_end = t;
    v.protected_end = protected_end;
    v.tlv_end = tlv_end;
    v.areas = areas;
    v.hash_kind = format::hash_in(areas);
    v.pure = format::pure_in(areas);
    std::unique_ptr<crypto::Digest> digest = crypto.digest(v.hash_kind);
    memory.feed(a, protected_end,
                [&](const uint8_t* bytes, size_t size) { digest->update(bytes, size); });
    v.hash = digest->finish();
    // What ECDSA, RSA and pure Ed25519 sign: the covered bytes themselves.
    Bytes hashed;
    if (made.key_type && s.key) {
        v.key_name = s.key->name;
        v.key = format::open_key(crypto, *s.key, true);
        if (!format::signs_the_digest(v.key->type(), v.pure)) {
            hashed.reserve(static_cast<size_t>(protected_end - a));
            memory.feed(a, protected_end, [&](const uint8_t* bytes, size_t size) {
                hashed.insert(hashed.end(), bytes, bytes + size);
            });
        }
    }
    check::mcuboot::walk_tlvs(v, hashed.data(), hashed.size());
    if (!v.faults.empty()) {
        return check::mcuboot::mismatch_line(v.faults.front());
    }

    // A padded slot: erased flash after the TLVs, image_ok, the magic at
    // the slot's end.
    if (s.settings.pad && s.settings.slot) {
        const uint64_t end = a + *s.settings.slot;
        uint8_t magic[16];
        memory.read(end - 16, magic, sizeof magic);
        const std::optional<unsigned> align = format::trailer_align(magic);
        if (!align) {
            const auto wanted = format::trailer_magic(s.settings.align);
            return mcuboot_line("the trailer's magic", end - 16, text::hex(magic, 16),
                                text::hex(wanted.data(), wanted.size()));
        }
        const uint64_t image_ok = end - format::Trailer{*align}.image_ok_from_end();
        uint8_t ok = 0;
        memory.read(image_ok, &ok, 1);
        const uint8_t wanted = s.settings.confirm ? format::image_ok_set : memory.fill();
        if (ok != wanted)
            return mcuboot_line("image_ok", image_ok, text::format("0x%02X", ok),
                                text::format("0x%02X", wanted));
        for (const auto& [from, to] : {std::make_pair(tlv_end, image_ok),
                                       std::make_pair(image_ok + 1, end - 16)}) {
            const uint64_t at = from < to ? first_written(memory, from, to) : to;
            if (at == to) continue;
            uint8_t byte = 0;
            memory.read(at, &byte, 1);
            return mcuboot_line("the slot's erased flash after the TLVs", at,
                                text::format("0x%02X", byte),
                                text::format("0x%02X (erased)", memory.fill()));
        }
    }
    return {};
}

void plant_test_fault(FlashRun& run) {
    std::optional<std::string> where = platform::environment("VELK_CRC_TEST_FAULT");
    if (!where) return;
    const std::string merged_word = "merged:";
    const bool merged = where->compare(0, merged_word.size(), merged_word) == 0;
    if (merged) where->erase(0, merged_word.size());
    layout::MemoryMap& memory = merged && run.merged ? run.merged->memory : run.memory;
    uint64_t address = 0;
    if (!read_hex_address(*where, address)) return;
    uint8_t byte = 0;
    memory.read(address, &byte, 1);
    run.planted.assign(1, static_cast<uint8_t>(byte ^ 0x01));
    memory.overlay(address, run.planted.data(), 1);
}

SelfCheck::SelfCheck(const FlashRun& run, Host& host, outfile::Tap* next)
    : run_(run), next_(next), crypto_(run.signing ? &host.crypto() : nullptr) {
    for (const records::Planned& p : run.plan.records)
        spans_.push_back({p.record.slot, p.record.width});
    for (const mcuboot::Added& a : run.signing.made_bytes())
        spans_.push_back({a.address, a.size});
    for (const auto& [address, bytes] : run.stamped) spans_.push_back({address, bytes.size()});
    // The signed image's hash is a pass of its own over the image: it runs
    // beside the writing, the records' pass in the run's wait.
    if (run.signing)
        signed_check_ = std::thread([this] {
            try {
                signed_fault_ = mcuboot_fault(run_.signing, run_.memory, *crypto_);
            } catch (...) {
                signed_thrown_ = std::current_exception();
            }
        });
}

SelfCheck::~SelfCheck() {
    if (signed_check_.joinable()) signed_check_.join();
}

void SelfCheck::check_images() {
    if (images_checked_) return;
    images_checked_ = true;
    const records::Plan& plan = run_.plan;
    // The records as stored, into an encrypted payload before it was
    // encrypted; the signed image's check decrypts what was written.
    if (std::string line = records_fault(plan, run_.signing.as_signed(run_.memory));
        !line.empty())
        fail(run_.primary().name, line);
    if (signed_check_.joinable()) signed_check_.join();
    if (signed_thrown_) std::rethrow_exception(signed_thrown_);
    if (!signed_fault_.empty()) fail(run_.primary().name, signed_fault_);
    if (!run_.merged) return;
    // The merged image holds the application's bytes wherever a record or
    // the signed image reads (merging refuses a byte there): where they
    // are the same, CHECK's verdict is the same. Only where they are not
    // is it worked out again, for its words.
    const layout::MemoryMap& merged = run_.merged->memory;
    bool same = true;
    for (const records::Planned& p : plan.records)
        same = same && same_bytes(run_.memory, merged, std::min(p.record.start(), p.record.slot),
                                  std::max(p.record.end(), p.record.slot_end()));
    for (const auto& [from, to] : run_.signing.extent())
        same = same && same_bytes(run_.memory, merged, from, to);
    if (same) return;
    std::string line = records_fault(plan, run_.signing.plain(merged, crypto_));
    if (line.empty() && crypto_) line = mcuboot_fault(run_.signing, merged, *crypto_);
    if (line.empty()) return;
    for (const File& file : run_.files)
        if (file.merged && file.format->every_run) fail(file.name, line);
}

std::unique_ptr<FileCheck> SelfCheck::make_check(const File& file) const {
    if (!file.format->check) return nullptr;
    formats::Expected expected{spans_, {}};
    // The checksummed ELF file holds each stored record where the input
    // held its placeholder.
    if (file.format->build)
        for (const Span& span : spans_) {
            RecordInFile in = record_in_file(run_.elf, span.address,
                                             static_cast<unsigned>(span.size));
            if (!in.found) continue;
            Bytes bytes(static_cast<size_t>(span.size));
            run_.memory.read(span.address, bytes.data(), bytes.size());
            expected.at_offsets.push_back({in.offset, span.address, std::move(bytes)});
        }
    return file.format->check(run_.contents(file.merged), expected);
}

FileCheck* SelfCheck::check_of(const std::string& target) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = files_.find(target);
    if (found != files_.end()) return found->second.get();
    std::unique_ptr<FileCheck> check;
    for (const File& file : run_.files)
        if (file.name == target) check = make_check(file);
    return (files_[target] = std::move(check)).get();
}

void SelfCheck::written(const std::string& target, const char* data, size_t size) {
    if (FileCheck* check = check_of(target))
        check->take(reinterpret_cast<const uint8_t*>(data), size);
    if (next_) next_->written(target, data, size);
}

void SelfCheck::fail(const std::string& file, const std::string& line) const {
    throw InternalError{file + " would fail its own check: " + line + " (nothing was written)"};
}

void SelfCheck::waiting() {
    check_images();
    if (next_) next_->waiting();
}

void SelfCheck::all_written() {
    check_images();
    for (auto& [target, check] : files_)
        if (check)
            if (std::string why = check->finish(); !why.empty()) fail(target, why);
    if (next_) next_->all_written();
}

}  // namespace velk::flash
