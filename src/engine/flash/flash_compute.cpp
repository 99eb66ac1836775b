// FLASH's compute stage: every record stored into the image in its order,
// the image signed over them with --mcuboot, the files --merge names merged
// with it, and the checksummed ELF file's pieces made.
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
        throw Refusal{wording::bin_of_fill(run.request.asker, ".bin", gaps, from, to)};
}

}  // namespace

void compute(FlashRun& run, Host& host) {
    const Request& request = run.request;
    records::store_all(run.plan, run.memory, run.stored);
    // The records are in the payload: the signature covers them.
    run.signing.sign(run.memory, host);
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
    // The header over the build's own room is stored as a record is.
    const mcuboot::Stage::ElfPieces signed_pieces = run.signing.elf_pieces(run.memory);
    for (const mcuboot::Added& a : signed_pieces.stored)
        stored.push_back({a.address, static_cast<unsigned>(a.size), a.bytes});
    std::vector<AddedContents> added;
    for (const mcuboot::Added& a : signed_pieces.added)
        added.push_back({a.name, a.address, a.bytes, a.size, run.plan.fill});
    run.crc_elf = crc_elf(run.elf, stored, added);
}

}  // namespace velk::flash
