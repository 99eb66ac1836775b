// CHECK's compute stage: what each record holds and what the file's (and
// the build's) bytes give, and with --elf the first byte where the file is
// not the build's flash image, the bytes it holds beyond it and the start
// address it carries. Facts only: the report stage words them.
#include <algorithm>

#include "../base/byte_order.h"
#include "../formats/formats.h"
#include "check_run.h"

namespace velk::check {

namespace {

// FLASH writes a signed image's header fields over the build's own room
// before it stores the records, so that a record whose range takes in the
// room reads them as flash holds them. What the build's records should be
// is made again with the file's fields there: the image's hash vouches for
// them.
void records_over_header(CheckRun& run) {
    if (!run.build || !run.mcuboot || !run.mcuboot->located) return;
    const uint64_t at = run.mcuboot->address;
    // Only a header in the room at the build's start is the build's; one
    // added before it no record of the build reads.
    if (at != run.build->loadable.clusters.front().start) return;
    std::vector<uint8_t> fields(velk::mcuboot::header_fields);
    run.memory.read(at, fields.data(), fields.size());
    layout::MemoryMap with_header = run.expected;
    with_header.overlay(at, fields.data(), fields.size());
    std::vector<records::Bytes> built;
    records::store_all(run.plan, with_header, built);
    for (size_t i = 0; i < built.size(); ++i) {
        const records::Record& r = run.plan.records[i].record;
        run.expected.overlay(r.slot, built[i].data(), r.width);
        if (run.merged) run.merged->memory.overlay(r.slot, built[i].data(), r.width);
    }
    run.built.swap(built);
}

void records_found(CheckRun& run) {
    for (size_t i = 0; i < run.plan.records.size(); ++i) {
        const records::Record& r = run.plan.records[i].record;
        records::Found found;
        found.held.resize(r.width);
        run.memory.read(r.slot, found.held.data(), r.width);
        found.own = r.producer->produce(run.plan, r, run.memory);
        if (run.build) {
            found.built = run.built[i];
            found.build = run.build_name();
        }
        run.found.push_back(std::move(found));
    }
}

// The part of `map` a raw binary of it holds, counting the loadable bytes
// it leaves out.
layout::MemoryMap within_bin(CheckRun& run, const layout::MemoryMap& map) {
    auto [from, to] = run.merged ? std::make_pair(run.merged->from, run.merged->to)
                                 : run.images_range();
    // A signed image's .bin holds it whole: the header, its room, the TLVs
    // and the slot's end as well as the build's images.
    if (run.mcuboot && run.mcuboot->located) {
        from = std::min(from, run.mcuboot->address);
        to = std::max(to, run.mcuboot->run_end);
    }
    if (!run.merged) to = std::max(to, run.padded_to);
    run.bin_from = from;
    run.bin_to = to;
    layout::MemoryMap out(map.fill());
    for (const layout::Piece& p : map.pieces()) {
        uint64_t a = std::max(p.address, from), b = std::min(p.end(), to);
        if (p.bytes) run.outside_bin += p.size - (b > a ? b - a : 0);
        if (b <= a) continue;
        if (p.bytes)
            out.append(p, a, b);
        else
            out.append_fill(a, b - a);
    }
    return out;
}

// Whether every byte where the file differs from the build lies in an
// object the build reserved as a slot, a placeholder (a checksum FLASH
// stored that no word named): then `run.placeholders` names them. A byte
// the file lacks, or one outside such an object, is a real difference.
void placeholders_alone(CheckRun& run, layout::MemoryMap expected,
                        const layout::MemoryMap& held, layout::Difference d) {
    // A few objects at most.
    constexpr size_t most = 16;
    std::vector<std::vector<uint8_t>> taken;
    taken.reserve(most);
    std::vector<records::Placeholder> found;
    for (size_t k = 0; k < most; ++k) {
        if (d.found < 0) return;
        std::optional<records::Placeholder> object =
            records::placeholder_at(*run.build, run.build_memory, d.address);
        if (!object) return;
        taken.emplace_back(object->size);
        if (held.read(object->address, taken.back().data(), object->size) != object->size)
            return;
        expected.overlay(object->address, taken.back().data(), object->size);
        found.push_back(*object);
        if (!layout::first_difference(expected, held, 0, d, 0)) {
            run.placeholders = std::move(found);
            return;
        }
    }
}

// Where the file first differs from what it should be. Every loadable byte
// of the build (and of the merged files) must be in it unchanged, the
// records aside, and nothing but erased flash elsewhere in the images.
void first_difference(CheckRun& run) {
    // The file's own bytes: a hole is a byte it does not hold.
    layout::MemoryMap held = layout::spans_of(run.file.loadable, run.file.base, run.plan.fill);
    if (run.mcuboot) run.mcuboot->decrypted_over(held);
    // The records are judged apart: the expected map takes the file's own
    // bytes there, so that only other bytes can differ, and none is skipped.
    layout::MemoryMap expected = run.merged ? run.merged->memory : run.expected;
    for (size_t i = 0; i < run.plan.records.size(); ++i) {
        const records::Record& r = run.plan.records[i].record;
        expected.overlay(r.slot, run.found[i].held.data(), r.width);
    }
    judged_apart(run, expected);
    // A raw binary holds one stretch: FLASH's .bin, the build's images (with
    // --merge everything merged). What the build has outside it is not the
    // file's; a file cut short lacks what is inside it.
    if (run.file.format->needs_base) expected = within_bin(run, expected);
    layout::Difference d{};
    bool found = layout::first_difference(expected, held, 0, d, 0);
    // What was merged accounts for every other byte: one that neither the
    // build nor a merged file has, erased flash aside, is not what FLASH
    // wrote (a patched or left-over byte between them).
    uint64_t first = 0;
    if (run.merged && layout::bytes_beyond(held, run.merged->memory, first, run.plan.fill) &&
        (!found || first < d.address)) {
        uint8_t byte = 0;
        held.read(first, &byte, 1);
        d = {first, run.plan.fill, byte, true};
        found = true;
    }
    if (!found) return;
    run.difference = d;
    placeholders_alone(run, expected, held, d);
}

// A signed image checked without --mcuboot: its header is where the build
// reserves the room, or its own size before the build's start.
void unjudged_header(CheckRun& run) {
    if (run.mcuboot) return;
    const layout::MemoryMap held = layout::spans_of(run.file.loadable, run.file.base);
    const uint64_t start = run.build->loadable.clusters.front().start;
    auto header_at = [&](uint64_t a) {
        uint8_t h[12];
        if (held.read(a, h, sizeof h) < sizeof h ||
            bytes::le32(h) != velk::mcuboot::image_magic)
            return false;
        return a == start || a + bytes::le16(h + velk::mcuboot::field::hdr_size) == start;
    };
    // A raw binary placed at the build's start that opens with the magic:
    // a signed image's .bin, which starts at its slot.
    uint8_t first[4];
    if (run.file.format->needs_base && !held.empty() &&
        held.read(held.pieces().front().address, first, 4) == 4 &&
        bytes::le32(first) == velk::mcuboot::image_magic) {
        run.unjudged_header = held.pieces().front().address;
        run.unjudged_opens_bin = true;
        return;
    }
    if (header_at(start)) {
        run.unjudged_header = start;
        return;
    }
    // The header's room before the build is at most what a u16 holds.
    for (const layout::Piece& p : held.pieces()) {
        if (p.end() <= start - std::min<uint64_t>(start, 0xFFFF) || p.address >= start) continue;
        for (uint64_t a = std::max(p.address, start - std::min<uint64_t>(start, 0xFFFF));
             a + 4 <= p.end() && a < start; a += 4 - (a & 3))
            if (header_at(a)) {
                run.unjudged_header = a;
                return;
            }
    }
}

}  // namespace

void compute(CheckRun& run) {
    mcuboot::compute(run);
    records_over_header(run);
    records_found(run);
    compute_device(run);
    if (run.request.nrf_settings) {
        const layout::MemoryMap file =
            layout::spans_of(run.file.loadable, run.file.base, run.plan.fill);
        run.nrf_settings = formats::check_nrf_settings(run.request, file, run.plan.sha256);
        // The settings pages are judged apart, as merged with the build.
        std::vector<uint8_t> page;
        for (const auto& [from, to] : run.nrf_settings->pages)
            if (run.merged) {
                page.resize(to - from);
                file.read(from, page.data(), page.size());
                run.merged->memory.overlay(from, page.data(), page.size());
            }
    }
    if (!run.build) return;
    if (run.file.format->filled_in) {
        const auto [from, to] = run.images_range();
        run.padded_to = run.file.format->filled_in(from, to, run.memory, run.expected);
    }
    first_difference(run);
    unjudged_header(run);
    // What the file holds beyond the build, erased flash aside: a bootloader
    // merged in, a region of another build. (With --merge such a byte is a
    // difference.)
    if (!run.merged)
        run.beyond = layout::bytes_beyond(layout::spans_of(run.file.loadable, run.file.base),
                                          run.expected, run.beyond_from, run.plan.fill);
    if (run.file.format->start_of) {
        run.start_checked = true;
        const uint64_t entry = run.merged ? run.merged->entry : run.build->file.header.entry;
        run.start_wanted = run.file.format->start_of(entry);
        if (run.file.has_entry) run.start_held = run.file.entry;
    }
}

}  // namespace velk::check
