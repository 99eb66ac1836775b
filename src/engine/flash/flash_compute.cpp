// FLASH's compute stage: every record stored into the image in its order,
// the image signed over them with --mcuboot, the files --merge names merged
// with it, and the checksummed ELF file's pieces made.
#include <algorithm>

#include "../diagnostics/layout_warnings.h"
#include "../formats/nrf_settings.h"
#include "../request/option_table.h"
#include "../report/refusal.h"
#include "../report/wording.h"
#include "flash_run.h"

namespace velk::flash {

namespace {

// The files asked for that hold no addresses, ".bin and .dfu", and the
// options that ask for them, "--bin and --dfu"; `merged`: those --merge
// writes a merged file of too (no merged .mbi.bin).
std::pair<std::string, std::string> unplaced_files(const FlashRun& run, bool merged = false) {
    std::string which, options;
    for (const formats::Format* f = formats::begin(); f != formats::end(); ++f) {
        if (!f->needs_base || !run.asked(*f) || (merged && !f->merged)) continue;
        which += (which.empty() ? "" : " and ") + std::string(f->ext);
        for (const OptionRow* r = options_begin(); r != options_end(); ++r)
            if (r->output && std::string(r->output) == f->word)
                options += (options.empty() ? "" : " and ") +
                           (r->value == Value::output
                                ? run.request.asker.turned_on(r->option)
                                : std::string(run.request.asker.name(r->option)));
    }
    return {which, options};
}

// Records in images far apart would make the .bin (and the .dfu around
// its bytes) mostly fill.
void refuse_a_bin_of_fill(const FlashRun& run) {
    auto [from, to] = run.bin_range();
    // A run with no record (an ESP32 app image alone) has no checksummed
    // image: its .bin would be empty, which a flashing step would take.
    if (from >= to) {
        const auto [which, options] = unplaced_files(run);
        throw Refusal{"the " + which + " would be empty: this run stores no record, " +
                      "so there is no checksummed image to hold; give a record, or " +
                      "leave out " + options};
    }
    uint64_t held = 0;
    for (const layout::Piece& p : run.memory.pieces())
        if (p.address < to && p.end() > from)
            held += std::min(p.end(), to) - std::max(p.address, from);
    uint64_t gaps = (to - from) - held;
    if (gaps > diagnostics::padding_limit && !run.request.force) {
        const auto [which, options] = unplaced_files(run);
        throw Refusal{wording::bin_of_fill(run.request.asker, which, gaps, from, to, options)};
    }
}

}  // namespace

void compute(FlashRun& run, Host& host) {
    const Request& request = run.request;
    if (run.incremental)
        run.incremental->store_all(run.memory, run.stored);
    else
        records::store_all(run.plan, run.memory, run.stored);
    // The records are in the payload: the signature covers them.
    run.signing.sign(run.memory, host);
    if (run.signing)
        run.hex_image = mcuboot::hex_image(run.signing.signing().settings,
                                           run.signing.signing().slot, run.memory,
                                           request.asker.name(Option::mcuboot));
    const bool bin = run.asked(&formats::Format::needs_base);
    if (bin) refuse_a_bin_of_fill(run);
    if (!request.merge.empty())
        run.merged = merge_with({request.merge, request.entry, request.input, run.merge_read}, run.memory,
                                run.elf.file.header.entry, run.plan,
                                bin ? unplaced_files(run, true)
                                    : std::pair<std::string, std::string>{},
                                request.force,
                                request.uf2 ? std::optional<uint32_t>(run.family)
                                            : std::nullopt);
    if (run.merged)
        formats::merge_nrf_settings(
            request, run.hex_image ? run.hex_image->memory : run.memory, run.plan.sha256,
            run.nrf_softdevice.get(), *run.merged);
    // The checksummed ELF file, when the input holds every record.
    std::vector<StoredRecord> stored;
    for (size_t i = 0; i < run.plan.records.size(); ++i) {
        const records::Record& r = run.plan.records[i].record;
        stored.push_back({r.slot, r.width, run.stored[i].data()});
    }
    for (const auto& [address, bytes] : run.stamped)
        stored.push_back({address, static_cast<unsigned>(bytes.size()), bytes.data()});
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
