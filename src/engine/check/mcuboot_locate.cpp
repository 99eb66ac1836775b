// Where CHECK looks for a signed image's header: the places of its magic,
// and where a raw binary of it starts.
#include <algorithm>

#include "../base/byte_order.h"
#include "check_run.h"
#include "mcuboot_check.h"

namespace velk::check::mcuboot {

// Where the header may be. The magic's places; with --elf, the build's
// image starts at the header (its reserved room) or right after it (the
// room added before it), which fixes one place. A bootloader merged in
// holds the magic as a literal of its own: every place is a candidate, and
// the one whose image is whole wins.
std::vector<uint64_t> candidates(const CheckRun& run, const Verdict& v,
                                 const layout::MemoryMap& held) {
    const uint8_t fill = run.plan.fill;
    std::vector<uint64_t> found;
    for (const layout::Piece& p : held.pieces()) {
        if (!p.bytes) continue;
        for (uint64_t a = (p.address + 3) & ~uint64_t{3}; a + 4 <= p.end(); a += 4) {
            if (bytes::le32(p.bytes + (a - p.address)) == format::image_magic)
                found.push_back(a);
        }
    }
    auto size_at = [&](uint64_t a) {
        uint8_t b[2];
        held.read(a + format::field::hdr_size, b, 2);
        return uint64_t{bytes::le16(b)};
    };
    auto fits = [&](uint64_t a) {
        uint64_t size = size_at(a);
        return size >= format::header_fields && (!v.settings.has_header || size == v.settings.header);
    };
    if (!run.build) {
        // Those whose hdr_size fits first; the rest may be damaged.
        std::stable_partition(found.begin(), found.end(), fits);
        if (found.empty() && !held.empty() && v.settings.has_header)
            found.push_back(held.pieces()[0].address);
        return found;
    }
    std::optional<uint64_t> chosen;
    const uint64_t start = run.build->loadable.clusters.front().start;
    for (uint64_t a : found)
        if (!chosen && (a == start || (fits(a) && a + size_at(a) == start))) chosen = a;
    // A damaged hdr_size does not move the header: the magic nearest
    // before the build, within the room a u16 can give, is its header,
    // and the build's start judges hdr_size.
    for (uint64_t a : found)
        if (!chosen && a < start && start - a >= format::header_fields && start - a <= UINT16_MAX &&
            (!v.settings.has_header || start - a == v.settings.header) &&
            std::none_of(found.begin(), found.end(),
                         [&](uint64_t b) { return b > a && b < start; }))
            chosen = a;
    if (!chosen) {
        // Where the header should be: the build's room, or before it.
        uint8_t room[format::header_fields];
        run.build_memory.read(start, room, format::header_fields);
        bool placeholder =
            std::all_of(room, room + format::header_fields, [&](uint8_t b) { return b == 0 || b == fill; });
        if (placeholder)
            chosen = start;
        else if (v.settings.has_header && start >= v.settings.header)
            chosen = start - v.settings.header;
    }
    if (!chosen) return {};
    return {*chosen};
}

uint64_t raw_start(const CheckRun& run, const uint8_t* bytes, size_t size, uint64_t images) {
    if (!run.build || size < format::header_fields || bytes::le32(bytes) != format::image_magic)
        return images;
    // The build's own first bytes are the room (a placeholder, or the header
    // itself): the file starts where the build does.
    uint8_t room[format::header_fields];
    run.build_memory.read(images, room, format::header_fields);
    const uint8_t fill = run.plan.fill;
    if (bytes::le32(room) == format::image_magic ||
        std::all_of(room, room + format::header_fields, [&](uint8_t b) { return b == 0 || b == fill; }))
        return images;
    const format::Settings s = format::read_settings(run.request, format::Use::verify);
    const uint64_t header = s.has_header ? s.header : bytes::le16(bytes + format::field::hdr_size);
    return header <= images ? images - header : images;
}

}  // namespace velk::check::mcuboot
