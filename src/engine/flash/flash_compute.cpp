// FLASH's compute stage: every record stored into the image in its order,
// the files --merge names merged with it, and the checksummed ELF file's
// pieces made.
#include <algorithm>

#include "../diagnostics/layout_warnings.h"
#include "../report/refusal.h"
#include "../report/wording.h"
#include "flash_run.h"

namespace velk::flash {

namespace {

// Records in images far apart would make the .bin mostly fill.
void refuse_a_bin_of_fill(const FlashRun& run) {
    auto [from, to] = run.bin_range();
    uint64_t held = 0;
    for (const layout::Piece& p : run.memory.pieces())
        if (p.address < to && p.end() > from)
            held += std::min(p.end(), to) - std::max(p.address, from);
    uint64_t gaps = (to - from) - held;
    if (gaps > diagnostics::padding_limit && !run.request.force)
        throw Refusal{wording::bin_of_fill(run.request.front, ".bin", gaps, from, to)};
}

}  // namespace

void compute(FlashRun& run, Host& host) {
    const Request& request = run.request;
    // The header's fields first: a record's range may take in the room
    // they go into, and none of them depends on a record.
    if (run.signing) mcuboot::write_header(*run.signing, run.memory, run.signed_image);
    records::store_all(run.plan, run.memory, run.stored);
    // The records are in the payload: the signature covers them.
    if (run.signing)
        mcuboot::sign(*run.signing, run.memory, host.crypto(), run.signed_image);
    const bool bin = run.asked(&formats::Format::needs_base);
    if (bin) refuse_a_bin_of_fill(run);
    if (!request.merge.empty())
        run.merged = merge_with({request.merge, request.entry, request.input}, run.memory,
                                run.elf.file.header.entry, run.plan, bin, request.force,
                                request.uf2 ? std::optional<uint32_t>(run.family)
                                            : std::nullopt);
    // The checksummed ELF file, when the input holds every record.
    std::vector<StoredRecord> stored;
    for (size_t i = 0; i < run.plan.records.size(); ++i) {
        const records::Record& r = run.plan.records[i].record;
        stored.push_back({r.slot, r.width, run.stored[i].data()});
    }
    std::vector<AddedContents> added;
    if (run.signing) {
        // The header over the build's own room is stored as a record is.
        if (run.signing->room_reserved)
            stored.push_back({run.signing->slot,
                              static_cast<unsigned>(run.signed_image.room.size()),
                              run.signed_image.room.data()});
        for (const mcuboot::Added& a : mcuboot::added_pieces(*run.signing, run.signed_image))
            added.push_back({a.name, a.address, a.bytes, a.size, run.plan.fill});
        // Erased flash the hash covers between the build's segments, or
        // padding its image up to a record: loaded as such, so that the
        // file holds every byte of the signed payload.
        const mcuboot::Signing& s = *run.signing;
        for (const layout::Piece& p : run.memory.pieces())
            if (!p.bytes && p.address >= s.payload && p.end() <= s.end)
                added.push_back({".mcuboot.fill", p.address, nullptr, p.size, run.plan.fill});
        std::sort(added.begin(), added.end(), [](const AddedContents& a, const AddedContents& b) {
            return a.address < b.address;
        });
    }
    run.crc_elf = crc_elf(run.elf, stored, added);
}

}  // namespace velk::flash
