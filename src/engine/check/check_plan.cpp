// CHECK's plan: the file and (--elf) the build read, the records planned in
// the build's layout or the file's, what the file should hold made, and
// refused what CHECK cannot judge.
#include <algorithm>

#include "../diagnostics/layout_warnings.h"
#include "../formats/formats.h"
#include "../inputs/input_file.h"
#include "../inputs/placement.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../cli/modes.h"
#include "../request/option_table.h"
#include "check_run.h"

namespace velk::check {

namespace {

// FLASH's _CRC.elf of a signed image also loads what it added around the
// build, each piece a section of its own named .mcuboot.*: a header before
// the build, the TLVs, the slot's padding and trailer. Its records were
// planned over the build's bytes alone, and so are they here.
layout::Loadable build_part(const ElfBuild& elf) {
    std::vector<std::pair<uint64_t, uint64_t>> added;
    for (const elf::SectionHeader& s : elf.file.sections)
        if (s.size && section_name(elf, s).rfind(".mcuboot.", 0) == 0)
            added.push_back({s.addr, s.addr + s.size});
    if (added.empty()) return elf.loadable;
    std::vector<layout::Span> spans;
    for (const layout::Span& span : elf.loadable.spans)
        if (std::none_of(added.begin(), added.end(), [&](const auto& a) {
                return span.address >= a.first && span.end() <= a.second;
            }))
            spans.push_back(span);
    auto loadable = layout::loadable_of_runs(std::move(spans));
    if (auto* own = std::get_if<layout::Loadable>(&loadable)) return std::move(*own);
    return elf.loadable;
}

// A debugger's `load` writes an ELF file's sections, a programmer that reads
// program headers its segments: where a section's bytes are not the ones
// its segment loads at that address, the two flash different images, and
// no verdict on one of them holds for the file. What differs first, told.
std::optional<std::string> sections_unlike_segments(const ElfBuild& elf) {
    const uint64_t size = elf.file_bytes().size();
    // A segment loads min(p_filesz, p_memsz) of its file bytes.
    const auto loaded = [](const elf::ProgramHeader& p) { return std::min(p.filesz, p.memsz); };
    for (const elf::SectionHeader& s : elf.file.sections) {
        if (!(s.flags & elf::shf_alloc) || s.type == elf::sht_nobits || !s.size) continue;
        // The section piece by piece, each in the segment that loads its
        // first address: a section longer than its segment's bytes has a
        // tail no program header loads.
        for (uint64_t done = 0; done < s.size;) {
            const uint64_t addr = s.addr + done;
            const auto loads = [&](const elf::ProgramHeader& p) {
                return p.type == elf::pt_load && addr >= p.vaddr && addr - p.vaddr < loaded(p);
            };
            const auto p = std::find_if(elf.file.segments.begin(), elf.file.segments.end(), loads);
            if (p == elf.file.segments.end())
                return text::format(
                    "section %s (%llu bytes for %s) lies in no program header's bytes%s: a "
                    "debugger's load (sections) would flash it, a programmer (program "
                    "headers) would not",
                    section_name(elf, s).c_str(), static_cast<unsigned long long>(s.size),
                    text::address(s.addr).c_str(),
                    done ? (" from " + text::address(addr)).c_str() : "");
            const uint64_t in = addr - p->vaddr;
            const uint64_t n = std::min(s.size - done, loaded(*p) - in);
            const uint64_t offset = s.offset + done;
            if (offset < s.offset || offset > size || n > size - offset ||
                p->offset + in > size || n > size - (p->offset + in))
                break;
            const uint8_t* section = elf.bytes() + offset;
            const uint8_t* segment = elf.bytes() + p->offset + in;
            const auto differ = std::mismatch(section, section + n, segment);
            if (offset != p->offset + in && differ.first != section + n) {
                const uint64_t at = static_cast<uint64_t>(differ.first - section);
                return text::format(
                    "section %s holds 0x%02X for %s, where its program header loads 0x%02X: "
                    "a debugger's load (sections) and a programmer (program headers) would "
                    "flash different images",
                    section_name(elf, s).c_str(), *differ.first,
                    text::address(p->paddr + in + at).c_str(), *differ.second);
            }
            done += n;
        }
    }
    return std::nullopt;
}

class Planner {
public:
    Planner(CheckRun& run, Warnings& warnings, Host& host)
        : run_(run), request_(run.request), warnings_(warnings), host_(host) {}

    void run() {
        InputFile input = read_input(request_.input);
        if (request_.base) placed_as_raw(input);
        if (!request_.merge.empty() && !request_.elf)
            throw Refusal{std::string(name(Option::merge)) +
                          " checks the merged files' bytes beside the build's: give the "
                          "build with " + name(Option::elf)};
        refuse_entry_without_merge(request_);
        if (request_.elf) read_build();
        plan_device(run_, input, host_);
        // With the build, the records are placed in its layout; a raw
        // binary of it starts where its images start.
        std::optional<uint64_t> base = base_address();
        if (run_.build) {
            run_.plan = in_build([&] {
                return records::plan_records(request_, &*run_.build, run_.build->loadable);
            });
            run_.plan.between_chunks = [&host = host_] { host.stop_if_asked(); };
            run_.plan.sha256 = [&host = host_] { return host.crypto().sha256(); };
            run_.build_memory = layout::memory_of(run_.build->loadable, run_.plan.images(),
                                              run_.build->file_buffer, run_.plan.fill);
            refuse_slots_that_cannot_hold();
            expected_map();
            // FLASH's .bin starts at the build's images, its merged .bin at
            // the lowest merged byte; a signed image's at its slot, which
            // the header's room may put before the build.
            if (!base && input.format && input.format->needs_base) {
                base = run_.merged ? run_.merged->from : run_.images_range().first;
                if (request_.mcuboot && !run_.merged)
                    base = mcuboot::raw_start(run_, input.bytes.data(), input.bytes.size(), *base);
            }
        }
        run_.file = read_image(std::move(input), base, request_.asker, true);
        if (run_.file.digest_check)
            run_.file.digest_check([&host = host_] { return host.crypto().sha256(); });
        if (run_.file.format->build)
            run_.views_differ = sections_unlike_segments(run_.file.elf);
        for (const std::string& warning : run_.file.warnings) warnings_.warning(warning);
        for (const std::string& note : run_.file.notes) warnings_.note(note);
        if (request_.base && !run_.file.format->needs_base)
            throw Refusal{std::string(name(Option::base)) + " places a raw binary; the file is " +
                          run_.file.format->a_file +
                          ", which holds its addresses"};
        refuse_other_family();
        if (!run_.build) {
            bool elf = run_.file.format->build;
            if (!elf) refuse_what_needs_symbols();
            if (elf) own_ = build_part(run_.file.elf);
            run_.plan = records::plan_records(request_, elf ? &run_.file.elf : nullptr,
                                          elf ? own_ : run_.file.loadable);
            run_.plan.between_chunks = [&host = host_] { host.stop_if_asked(); };
            run_.plan.sha256 = [&host = host_] { return host.crypto().sha256(); };
            refuse_slots_that_cannot_hold();
        }
        // A checksum over gigabytes of 0xFF is a wrong selector, not firmware:
        // it would take minutes to say so.
        for (const records::Planned& p : run_.plan.records) {
            const records::Record& r = p.record;
            // An unprocessed build's placeholder is the CRC of nothing for
            // some algorithms: it must not pass.
            if (r.reads_bytes() && r.range.empty() && !request_.force)
                throw Refusal{"the checksum range is empty: the record at " +
                              text::address(r.slot) +
                              " is the image's first byte, so it covers nothing" +
                              anyway()};
            uint64_t holes = layout::holes_within(
                run_.build ? run_.build->loadable : planned(), r.start(), r.end());
            if (r.reads_bytes() && holes > diagnostics::padding_limit &&
                !request_.force)
                throw Refusal{text::format(
                    "the checksum at %s would cover %llu MiB of 0xFF from %s: no "
                    "firmware's does; check the selector%s",
                    text::address(r.slot).c_str(),
                    static_cast<unsigned long long>(holes >> 20),
                    text::address(r.start()).c_str(), anyway().c_str())};
        }
        run_.plan.refuse_unfit();
        mcuboot::plan(run_, host_);
        run_.memory = layout::memory_of(run_.file.loadable, run_.plan.images(), run_.file.base, run_.plan.fill);
        body_from_size();
    }

private:
    // How the asker names an option, and what the refusals of checks that
    // --force lifts end with.
    const char* name(Option option) const { return request_.asker.name(option); }
    std::string anyway() const {
        return " (" + request_.asker.turned_on(Option::force) + " checks it anyway)";
    }

    // What `step` refuses is about the build: its line names --elf's file.
    template <class Step>
    auto in_build(Step step) -> decltype(step()) {
        try {
            return step();
        } catch (Refusal& refusal) {
            refusal.text = *request_.elf + ": " + refusal.text;
            throw;
        }
    }

    void read_build() {
        run_.build.emplace();
        *run_.build = in_build([&] {
            InputFile build = read_input(*request_.elf);
            // The files CHECK verifies are not the build. As for FLASH, its
            // content says what it is, whatever its name.
            const formats::Format* format =
                formats::by_content(build.bytes.data(), build.bytes.size());
            if (format && !format->build)
                throw Refusal{std::string(format->a_file) + ", not the build's ELF file: " +
                              name(Option::elf) +
                              " takes the linker's output the file was made from"};
            return velk::read_build(std::move(build));
        });
    }

    // --base: where a raw binary starts.
    std::optional<uint64_t> base_address() const {
        if (!request_.base) return std::nullopt;
        return read_or_refuse(*request_.base);
    }

    // Without the build only an offset can say where a checksum is in a
    // file that has no symbols.
    void refuse_what_needs_symbols() const {
        const std::string format = run_.file.format->a_file;
        for (const Selector& s : request_.selectors) {
            if (s.letter == 'n')
                throw Refusal{format +
                              " has no symbols: pass the build's ELF file with " +
                              name(Option::elf) + " to find " + s.value +
                              ", or the checksum offset with " + name(Option::offset)};
            if (s.letter == 's')
                throw Refusal{std::string(name(Option::block)) + " cannot be redone from " +
                              format +
                              ", whose data ends in the padding: pass the build's ELF file "
                              "with " + name(Option::elf) +
                              ", or the offset the build printed with " +
                              name(Option::offset)};
        }
    }

    // No file can be right when the build's own slot is wrong: FLASH refuses
    // it, and a file that holds its bytes would fail the firmware's check.
    // An ELF file checked alone tells the slot's size and section as well.
    void refuse_slots_that_cannot_hold() {
        if (request_.force) return;
        const ElfBuild* elf = run_.build                ? &*run_.build
                              : run_.file.format->build ? &run_.file.elf
                                                        : nullptr;
        if (!elf) return;
        const std::string from = run_.build ? *request_.elf + ": " : "";
        const std::string anyway = this->anyway();
        for (const records::Planned& p : run_.plan.records) {
            const records::Record& r = p.record;
            if (!p.from_selector) {
                std::string why = run_.build ? records::overwrites_data(r, run_.build_memory) : "";
                if (!why.empty()) throw Refusal{from + why + anyway};
                continue;
            }
            const diagnostics::Symbol& slot = p.placement.slot;
            if (p.placement.has_slot && slot.size != 0 && slot.size != r.width &&
                !slot.function)
                throw Refusal{text::format("%s%s is %llu bytes; %s stores %u",
                                           from.c_str(), slot.name.c_str(),
                                           static_cast<unsigned long long>(slot.size),
                                           r.producer->algorithm_name().c_str(),
                                           r.width) +
                              anyway};
            layout::MemoryMap none;
            diagnostics::Facts facts =
                facts_of(p.placement, run_.build ? elf->loadable : planned(), p.image,
                         run_.build ? run_.build_memory : none);
            diagnostics::Line why;
            if (run_.build) {
                why = diagnostics::slot_cannot_hold(facts);
            } else {
                bool fatal = false;
                why = diagnostics::slot_shape(facts, fatal);
                if (!fatal) why = diagnostics::slot_copied_to_ram(facts);
            }
            if (why) throw Refusal{from + *why + anyway};
        }
    }

    // With --elf: what the file should hold, the build's bytes with every
    // record stored, merged with --merge's files as FLASH merges them.
    void expected_map() {
        run_.expected = run_.build_memory;
        stamps_into(run_, run_.expected);
        records::store_all(run_.plan, run_.expected, run_.built);
        if (request_.merge.empty()) return;
        run_.merged = merge_with({request_.merge, request_.entry, *request_.elf}, run_.expected,
                             run_.build->file.header.entry, run_.plan, {}, request_.force,
                             std::nullopt);
    }

    // A UF2 file holds whole 256-byte pages: checked alone, its image ends
    // at a page's end, past the body FLASH measured, and the file cannot
    // say where the build ended. The header's size can: where it ends the
    // body inside the image on a word, with only erased flash after it,
    // the body ends there (FLASH's blocks stay whole pages, as the RP2040's
    // ROM wants them).
    void body_from_size() {
        if (run_.build || !run_.file.format->page || !run_.plan.header) return;
        records::Header& header = *run_.plan.header;
        std::optional<uint64_t> size;
        for (const records::Planned& p : run_.plan.records) {
            const records::Record& r = p.record;
            if (p.from_selector || r.reads_bytes() || r.slot < header.address ||
                r.slot >= header.address + header.size)
                continue;
            records::Bytes held(r.width);
            run_.memory.read(r.slot, held.data(), r.width);
            size = r.producer->number(run_.plan, held);
        }
        if (!size || *size == 0 || *size >= header.body_end - header.body_start) return;
        const uint64_t end = header.body_start + *size;
        if (end % 4 != 0) return;
        bool erased = true;
        const uint8_t fill = run_.plan.fill;
        run_.memory.walk(end, header.body_end, [&](const uint8_t* bytes, uint64_t n) {
            for (uint64_t i = 0; bytes && i < n; ++i) erased = erased && bytes[i] == fill;
        });
        if (!erased) return;
        for (records::Planned& p : run_.plan.records) {
            records::Record& r = p.record;
            if (p.from_selector || r.range.empty() || r.range.end() != header.body_end)
                continue;
            r.range.remove(end, header.body_end);
            p.image.end = end;
        }
        header.body_end = end;
    }

    // --uf2 names the chip family a UF2 file's blocks must be for: a
    // bootloader ignores blocks of another family.
    void refuse_other_family() {
        if (!request_.uf2) return;
        if (!run_.file.format->family)
            throw Refusal{std::string(name(Option::uf2)) +
                          " checks a UF2 file's chip family; the file is " +
                          run_.file.format->a_file};
        run_.family = read_or_refuse(*request_.uf2);
    }

    // The loadable bytes the records were planned over without the build.
    const layout::Loadable& planned() const {
        return run_.file.format->build ? own_ : run_.file.loadable;
    }

    CheckRun& run_;
    const Request& request_;
    layout::Loadable own_;
    Warnings& warnings_;
    Host& host_;
};

}  // namespace

std::pair<uint64_t, uint64_t> CheckRun::images_range() const {
    if (!plan.records.empty() || !build) return plan.bin_range();
    return {build->loadable.clusters.front().start, build->loadable.clusters.back().end};
}

void plan(CheckRun& run, Warnings& warnings, Host& host) {
    Planner(run, warnings, host).run();
}

}  // namespace velk::check
