// FLASH's plan: the build read, its records planned in its layout, the
// image made, and the layout checks, of which a refused one ends the run
// unless --force.
#include <algorithm>

#include "../diagnostics/layout_warnings.h"
#include "../hexfile/intel_hex.h"
#include "../inputs/image_file.h"
#include "../inputs/input_file.h"
#include "../inputs/placement.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/modes.h"
#include "../request/spelling.h"
#include "flash_run.h"

namespace velk::flash {

namespace {

using diagnostics::Line;

// The checks, in the order they are told.
// `alone`: the run's only record, whose image's bytes after it nothing else
// covers.
std::vector<Finding> check_layout(const diagnostics::Facts& f, uint64_t image_end,
                                  bool alone) {
    std::vector<Finding> out;
    auto add = [&](const Line& line, bool refused) {
        if (line) out.push_back({*line, refused});
    };
    add(diagnostics::slot_not_loaded(f), true);
    bool fatal = false;
    Line shape = diagnostics::slot_shape(f, fatal);
    add(shape, fatal);
    add(diagnostics::duplicate_names(f), false);
    add(diagnostics::slot_copied_to_ram(f), true);
    add(diagnostics::empty_range(f), true);
    add(diagnostics::overwrites_data(f), true);
    if (alone) add(diagnostics::after_record(f, image_end), false);
    add(diagnostics::absolute_address(f), true);
    add(diagnostics::large_fill(f, image_end), true);
    return out;
}

// The MCUboot header's fields are written over the room's first bytes and
// hashed as written: a record stored there would change them after the
// hash is taken, and no --force makes that image bootable.
void refuse_records_in_header(const FlashRun& run) {
    const uint64_t from = run.signing->slot, to = from + mcuboot::header_fields;
    for (const records::Planned& p : run.plan.records) {
        const records::Record& r = p.record;
        if (r.slot < to && r.slot_end() > from)
            throw Refusal{text::format(
                "%s at %s lies in the MCUboot header's fields (%s to %s), which the header "
                "takes: place it after them, at %s or later",
                r.label.c_str(), text::address(r.slot).c_str(), text::address(from).c_str(),
                text::address(to - 1).c_str(), text::address(to).c_str())};
    }
}

}  // namespace

void plan(FlashRun& run, Host& host) {
    const Request& request = run.request;
    refuse_entry_without_merge(request);
    if (request.mcuboot) {
        run.signing = mcuboot::start_signing(request);
        // The digests' and keys' libraries load while the build is read;
        // the key's kind says which of them.
        const std::optional<std::string>& pem = run.signing->pem;
        host.crypto().prepare(pem.has_value(), pem ? *pem : std::string());
    }
    run.elf = read_build(read_input(request.input));
    run.plan = records::plan_records(request, &run.elf, run.elf.loadable);
    // A long checksum answers Ctrl-C between megabytes.
    run.plan.between_chunks = [&host] { host.stop_if_asked(); };
    run.plan.sha256 = [&host] { return host.crypto().sha256(); };
    if (request.uf2) run.family = formats::uf2_family(request.front, *request.uf2);
    run.memory = layout::memory_of(run.elf.loadable, run.plan.images(),
                                   run.elf.file_buffer, run.plan.fill);
    run.memory.set_segments(segments_of(run.elf));
    if (run.memory.end() > hexfile::address_limit)
        throw Refusal{"the flash image reaches past 4 GiB (" +
                      text::address(run.memory.end()) + "), which Intel HEX cannot address"};
    for (const records::Planned& p : run.plan.records)
        if (p.from_selector)
            for (Finding& f :
                 check_layout(facts_of(p.placement, run.elf.loadable, p.image, run.memory),
                              p.image.end, run.plan.records.size() == 1))
                run.findings.push_back(std::move(f));
        else if (std::string why = records::overwrites_data(p.record, run.memory);
                 !why.empty())
            run.findings.push_back({why, true});
    if (run.signing) {
        mcuboot::place_signing(*run.signing, request, run.elf, run.memory);
        refuse_records_in_header(run);
        for (std::string& why : run.signing->refused) run.findings.push_back({why, true});
    }
    for (const Finding& f : run.findings)
        if (f.refused && !request.force)
            throw Refusal{f.text + " (" + turned_on(request.front, Option::force) +
                          " writes it anyway)"};
    run.plan.refuse_unfit();
}

std::pair<uint64_t, uint64_t> FlashRun::bin_range() const {
    auto range = plan.bin_range();
    if (signing) {
        range.first = std::min(range.first, signing->slot);
        range.second = std::max(range.second, signed_image.image_end);
    }
    return range;
}

const File& FlashRun::primary() const {
    for (const File& file : files)
        if (file.format == &formats::intel_hex() && !file.merged) return file;
    return files.front();
}

const File& FlashRun::own_file(const formats::Format& format) const {
    for (const File& file : files)
        if (file.format == &format && !file.merged) return file;
    return files.front();
}

}  // namespace velk::flash
