// FLASH's plan: the build read, its records planned in its layout, the
// image made, and the layout checks, of which a refused one ends the run
// unless --force.
#include <algorithm>

#include "../diagnostics/layout_warnings.h"
#include "../formats/esp32.h"
#include "../formats/nrf_settings.h"
#include "../formats/nxp_mbi.h"
#include "../hexfile/intel_hex.h"
#include "../inputs/image_file.h"
#include "../inputs/input_file.h"
#include "../inputs/placement.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../cli/modes.h"
#include "../request/option_table.h"
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

}  // namespace

void plan(FlashRun& run, Host& host) {
    const Request& request = run.request;
    refuse_entry_without_merge(request);
    formats::refuse_asked(request);
    // The digests' and keys' libraries load while the build is read.
    run.signing.start(request, host);
    run.elf = read_build(read_input(request.input));
    run.plan = records::plan_records(request, &run.elf, run.elf.loadable);
    // A long checksum answers Ctrl-C between megabytes.
    run.plan.between_chunks = [&host] { host.stop_if_asked(); };
    run.plan.sha256 = [&host] { return host.crypto().sha256(); };
    if (request.uf2) run.family = read_or_refuse(*request.uf2);
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
    for (std::string& why : run.signing.place(request, run.elf, run.plan, run.memory))
        run.findings.push_back({std::move(why), true});
    const auto [image_from, image_to] = run.bin_range();
    formats::refuse_nxp_mbi(request, run.plan, image_from, image_to, run.elf.file.header.entry);
    formats::refuse_esp32_records(request, run.plan, run.elf);
    run.nrf_softdevice =
        formats::refuse_nrf_settings(request, run.memory, run.plan.sha256);
    if (std::string why = formats::nxp_mbi_overwrites(request, run.memory, image_from);
        !why.empty())
        run.findings.push_back({std::move(why), true});
    for (const Finding& f : run.findings)
        if (f.refused && !request.force)
            throw Refusal{f.text + " (" + request.asker.turned_on(Option::force) +
                          " writes it anyway)"};
    run.plan.refuse_unfit();
}

std::pair<uint64_t, uint64_t> FlashRun::bin_range() const {
    auto range = plan.bin_range();
    signing.widen(range);
    return range;
}

formats::Contents FlashRun::contents(bool merged) const {
    if (merged && this->merged)
        return {&this->merged->memory, this->merged->from, this->merged->to,
                this->merged->entry, family, nullptr, &request};
    auto [from, to] = bin_range();
    return {&memory,
            from,
            to,
            elf.file.header.entry,
            family,
            crc_elf.in_file.found ? &crc_elf.pieces : nullptr,
            &request,
            hex_image ? &hex_image->memory : nullptr,
            hex_image ? hex_image->moved_by : 0,
            &plan.sha256,
            nrf_softdevice.get()};
}

const File& FlashRun::primary() const {
    for (const File& file : files)
        if (file.format->every_run && !file.merged) return file;
    return files.front();
}

bool FlashRun::asked(bool formats::Format::*trait) const {
    for (const formats::Format* f = formats::begin(); f != formats::end(); ++f)
        if (f->*trait && asked(*f)) return true;
    return false;
}

const File& FlashRun::own_file(bool formats::Format::*trait) const {
    for (const File& file : files)
        if (file.format->*trait && !file.merged) return file;
    return files.front();
}

}  // namespace velk::flash
