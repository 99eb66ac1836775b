// FLASH's report: the files written and each record's line, then the
// warnings and notes, and --json's object.
#include <algorithm>

#include "../hexfile/intel_hex.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/option_table.h"
#include "../uf2/uf2.h"
#include "flash_run.h"

namespace velk::flash {

namespace {

std::string created(const char* kind, const std::string& name) {
    return text::format("create new crc %s file \"%s\".", kind, name.c_str());
}

json::Value regions_json(const std::vector<layout::Region>& regions) {
    json::Value list = json::Value::array();
    for (const layout::Region& r : regions) {
        json::Value& region = list.push(json::Value::object());
        region.set("address", r.address);
        region.set("size", r.size);
    }
    return list;
}

// One note naming what the files hold beyond the checksum; past the first
// ten addresses it counts them (--json lists every one).
std::string outside_note(const std::vector<layout::Region>& regions, bool several,
                         bool parts = false) {
    constexpr size_t named = 10;
    uint64_t bytes = 0;
    std::string addresses;
    for (size_t i = 0; i < regions.size(); ++i) {
        if (i < named) addresses += (i ? ", " : "") + text::address(regions[i].address);
        bytes += regions[i].size;
    }
    if (regions.size() > named)
        addresses += text::format(" and %zu more", regions.size() - named);
    size_t count = regions.size();
    return text::format(
        "%zu loadable %s%s (%llu bytes) at physical address%s %s written to the HEX "
        "but not covered by %s",
        count, several || parts ? "stretch" : "segment",
        count == 1            ? ""
        : several || parts    ? "es"
                              : "s",
        static_cast<unsigned long long>(bytes),
        count == 1 ? "" : "es", addresses.c_str(),
        several ? "any record (range or slot)" : "the checksum");
}

class Report {
public:
    Report(const FlashRun& run, Reporter& report) : run_(run), report_(report) {}

    void tell() {
        files();
        lines();
        warnings();
        notes();
        object();
    }

    // The first of two signing steps: the file to sign in place of the
    // image's files, the files of an earlier run removed.
    void tell_to_sign(const std::string& file) {
        report_.wrote({file, "bytes to sign", std::nullopt});
        image_lines();
        const mcuboot::external::ToSign& made = *run_.signing.made().to_sign;
        report_.line(mcuboot::external::to_sign_line(made, file));
        for (const Finding& f : run_.findings) report_.warning(f.text);
        outside_ = uncovered();
        if (!outside_.empty())
            report_.note(outside_note(outside_, run_.plan.records.size() > 1));
        std::string removed;
        for (const std::string& name : run_.removed) removed += (removed.empty() ? "" : ", ") + name;
        if (!removed.empty())
            report_.note("the files of an earlier run are removed (" + removed +
                         "): this build's image is written once its signature is given");
        object();
        report_.data().set("to_sign", mcuboot::external::describe(made, file));
    }

private:
    // The HEX first, the file every run writes.
    void files() {
        report_.wrote(written(run_.primary()));
        for (const File& file : run_.files)
            if (file.written && &file != &run_.primary()) report_.wrote(written(file));
    }

    Reporter::Written written(const File& file) const {
        std::optional<uint64_t> base;
        if (file.format->needs_base)
            base = file.merged ? run_.merged->from : run_.bin_range().first;
        return {file.name, file.format->name, base};
    }

    void lines() {
        const File& primary = run_.primary();
        report_.line(created(primary.format->word, primary.name));
        image_lines();
        for (const File& file : run_.files)
            if (file.written && &file != &primary)
                report_.line(created(
                    ((file.merged ? "merged " : "") + std::string(file.format->word)).c_str(),
                    file.name));
    }

    // Each record's line, then the signed image's.
    void image_lines() {
        for (size_t i : run_.plan.by_slot()) {
            const records::Planned& p = run_.plan.records[i];
            report_.line(p.record.producer->stored_line(run_.plan, p, run_.stored[i]));
        }
        for (const std::string& line : run_.signing.lines()) report_.line(line);
    }

    void warnings() {
        for (const Finding& f : run_.findings) report_.warning(f.text);
        const uint64_t entry = run_.elf.file.header.entry;
        if (!hexfile::start_address(entry)) report_.warning(wording::entry_left_out(entry));
        const std::optional<Merged>& merged = run_.merged;
        if (merged && !hexfile::start_address(merged->entry))
            report_.warning(wording::entry_left_out(merged->entry) + " (the merged files')");
        if (merged)
            for (const std::string& warning : merged->warnings) report_.warning(warning);
        // A UF2 block is a whole 256-byte page: below an image that starts
        // inside a page, it writes fill where a bootloader may be.
        const uint64_t first = run_.memory.pieces().front().address;
        if (run_.request.uf2 && first % uf2::page_size != 0)
            report_.warning(text::format(
                "the UF2's first block covers %s to %s, below the image's start: a "
                "bootloader there would be overwritten with 0x%02X (flash the merged UF2 "
                "instead)",
                text::address(first - first % uf2::page_size).c_str(),
                text::address(first - 1).c_str(), run_.plan.fill));
        if (run_.request.uf2 && merged) warn_of_merged_bytes_in_pages();
    }

    // The application's UF2 pads each page it writes with fill: where a
    // merged file has bytes in such a page (after the image's end, say),
    // flashing the application's UF2 alone overwrites them.
    void warn_of_merged_bytes_in_pages() {
        const uint64_t page = uf2::page_size;
        const Merged& merged = *run_.merged;
        const uint64_t first = run_.memory.pieces().front().address;
        for (const layout::Piece& p : run_.memory.pieces()) {
            const uint64_t from = p.address - p.address % page;
            const uint64_t to = (p.end() + page - 1) / page * page;
            for (size_t k = 0; k < merged.sources.size(); ++k)
                for (const layout::Span& s : merged.sources[k].loadable.spans) {
                    // Below the image's first page start: warned of above.
                    uint64_t a = std::max({s.address, from, first}), b = std::min(s.end(), to);
                    if (a >= b) continue;
                    report_.warning(text::format(
                        "the UF2's block at %s pads its page with 0x%02X over what %s "
                        "writes from %s: flashing %s alone would overwrite it (flash the "
                        "merged UF2 instead)",
                        text::address(a - a % page).c_str(), run_.plan.fill,
                        merged.names[k].c_str(), text::address(a).c_str(),
                        run_.own_file(&formats::Format::family).name.c_str()));
                    return;
                }
        }
    }

    // What no record covers: neither a range nor a slot, nor the signed
    // image's hash (the header's room and the payload).
    std::vector<layout::Region> uncovered() const {
        std::vector<std::pair<uint64_t, uint64_t>> covered;
        for (const auto& hashed : run_.signing.covered()) covered.push_back(hashed);
        for (const records::Planned& p : run_.plan.records) {
            const records::Record& r = p.record;
            if (r.reads_bytes())
                for (const records::Interval& part : r.range.ranges())
                    covered.emplace_back(part.from, part.to);
            covered.emplace_back(r.slot, r.slot_end());
        }
        return layout::outside(run_.elf.loadable, covered);
    }

    // Whether what no record covers is whole loadable segments, not parts
    // of one that a range leaves out (--exclude).
    bool whole() const {
        for (const layout::Region& r : outside_) {
            bool found = false;
            for (const layout::Span& s : run_.elf.loadable.spans)
                found = found || (s.address == r.address && s.size == r.size);
            if (!found) return false;
        }
        return true;
    }

    void notes() {
        outside_ = uncovered();
        // A run with no record and no signature (an ESP32 image alone) has
        // no checksum for anything to be outside of.
        const bool covers = !run_.plan.records.empty() || !run_.signing.covered().empty();
        if (!outside_.empty() && covers)
            report_.note(outside_note(outside_, run_.plan.records.size() > 1, !whole()));
        const std::string& elf_name = run_.own_file(&formats::Format::build).name;
        const CrcElf& crc_elf = run_.crc_elf;
        if (crc_elf.in_file.found) {
            if (!crc_elf.gaps.empty()) report_.note(sections_note(elf_name, crc_elf.gaps));
            // A signed image's erased flash, in its payload and the slot's
            // padding, is a section of its own.
            std::string holes = holes_note(elf_name, run_.memory, run_.signing.erased_kept());
            if (!holes.empty()) report_.note(holes);
        } else {
            bool gone = false;
            for (const std::string& removed : run_.removed) gone = gone || removed == elf_name;
            report_.note(
                text::format("no %s written%s: ", elf_name.c_str(),
                             gone ? " (the earlier one is removed: it would not "
                                    "match the HEX)"
                                  : "") +
                crc_elf.in_file.why_not);
        }
        for (const std::string& removed : run_.removed)
            if (removed != elf_name)
                report_.note(removed +
                             " of an earlier run is removed: it would not match the HEX");
        for (const File& file : run_.files)
            if (file.written && !file.merged && file.format->needs_base) bin_note(file.name);
        if (run_.merged)
            report_.note(wording::merged_start(
                run_.request.asker, run_.merged->entry, run_.merged->entry_from,
                run_.merged->entry_file, run_.merged->entry_chosen));
    }

    // The .bin holds the images alone.
    void bin_note(const std::string& bin) {
        auto [from, to] = run_.bin_range();
        // So do the other text files the run wrote.
        std::string also;
        for (const File& file : run_.files)
            if (file.written && !file.merged && file.format->text && !file.format->every_run)
                also += std::string(" and the ") + file.format->name;
        uint64_t bytes = 0;
        for (const layout::Piece& p : run_.memory.pieces())
            if (p.end() <= from || p.address >= to) bytes += p.size;
        if (bytes)
            report_.note(text::format(
                "%s holds %s to %s; %llu loadable bytes outside the image are only in "
                "the HEX%s",
                bin.c_str(), text::address(from).c_str(), text::address(to).c_str(),
                static_cast<unsigned long long>(bytes), also.c_str()));
    }

    void object() {
        const records::Plan& plan = run_.plan;
        json::Value& d = report_.data();
        // A signed image alone has no record to describe.
        if (!plan.records.empty()) lowest_record(d);
        d.set("fill", static_cast<uint64_t>(plan.fill));
        if (run_.request.uf2) d.set("uf2_family", static_cast<uint64_t>(run_.family));
        if (const std::optional<Merged>& merged = run_.merged) {
            json::Value& m = d.set("merged", json::Value::object());
            m.set("start_address", merged->entry);
            m.set("start_from", merged->entry_from == wording::EntryFrom::file
                                    ? json::Value(merged->entry_file)
                                : merged->entry_from == wording::EntryFrom::address
                                    ? json::Value(spelled(Option::entry))
                                    : json::Value());
        }
        json::Value list = json::Value::array();
        for (size_t i : plan.by_slot())
            describe_record(list.push(json::Value::object()), plan, plan.records[i],
                            run_.stored[i]);
        d.set("records", std::move(list));
        d.set("outside", regions_json(outside_));
        run_.signing.describe(d, run_.digests);
    }

    void lowest_record(json::Value& d) const {
        const records::Plan& plan = run_.plan;
        const size_t l = plan.lowest();
        const records::Planned& low = plan.records[l];
        describe_image(d, low.image.start, low.image.end, low.record.slot,
                       low.record.producer->fed_words() ? "words" : "bytes");
        std::optional<uint64_t> checksum = low.record.producer->number(plan, run_.stored[l]);
        d.set("checksum",
              low.record.reads_bytes() && checksum ? json::Value(*checksum) : json::Value());
        d.set("algorithm", records::reported_algorithm(plan, low));
    }

    const FlashRun& run_;
    Reporter& report_;
    std::vector<layout::Region> outside_;  // what no record covers
};

}  // namespace

void report(const FlashRun& run, Reporter& reporter) {
    Report(run, reporter).tell();
}

void report_to_sign(const FlashRun& run, const std::string& file, Reporter& reporter) {
    Report(run, reporter).tell_to_sign(file);
}

}  // namespace velk::flash
