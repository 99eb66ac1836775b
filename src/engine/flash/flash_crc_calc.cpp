// FLASH mode of the command line: `velk-crc FLASH <elf> --n|--a|--s...`
// writes the whole flash image of a build, checksummed: every loadable
// byte at its physical address in <root>_CRC.hex, the input with the
// records in place as <root>_CRC.elf, and on request <root>_CRC.bin and
// <root>_CRC.srec.

#include <algorithm>
#include <optional>

#include "../hexfile/intel_hex.h"
#include "../inputs/placement.h"
#include "../records/plan.h"
#include "../report/reporter.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/spelling.h"
#include "../request/modes.h"
#include "../formats/formats.h"
#include "../outfile/names.h"
#include "../outfile/outputs.h"
#include "../platform/platform.h"
#include "../uf2/uf2.h"
#include "crc_elf.h"
#include "merge.h"

namespace velk {

namespace {

using diagnostics::Line;

// A layout check and whether FLASH refuses it unless forced.
struct Finding {
    std::string text;
    bool refused;
};

// The checks, in the order they are told. A refused one stops the run
// before anything is written, unless --force.
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
std::string outside_note(const std::vector<layout::Region>& regions, bool several) {
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
        count, several ? "stretch" : "segment",
        count == 1 ? "" : several ? "es" : "s", static_cast<unsigned long long>(bytes),
        count == 1 ? "" : "es", addresses.c_str(),
        several ? "any record (range or slot)" : "the checksum");
}

class Flash final : private outfile::Writing {
public:
    Flash(const Request& request, Reporter& report, Host& host)
        : o_(request), report_(report), host_(host) {}

    void run() {
        refuse_entry_without_merge(o_);
        elf_ = read_build(read_input(o_.input));
        plan_ = records::plan_records(o_, &elf_, elf_.loadable);
        // A long checksum answers Ctrl-C between megabytes.
        plan_.between_chunks = [this] { host_.stop_if_asked(); };
        if (o_.uf2) family_ = formats::uf2_family(o_.front, *o_.uf2);
        memory_ = layout::memory_of(elf_.loadable, plan_.images(), elf_.bytes(), plan_.fill);
        if (memory_.end() > hexfile::address_limit)
            throw Refusal{"the flash image reaches past 4 GiB (" +
                          text::address(memory_.end()) +
                          "), which Intel HEX cannot address"};
        std::vector<Finding> findings;
        for (const records::Planned& p : plan_.records)
            if (p.from_selector)
                for (Finding& f : check_layout(
                         facts_of(p.placement, elf_.loadable, p.image, memory_),
                         p.image.end, plan_.records.size() == 1))
                    findings.push_back(std::move(f));
            else if (std::string why = records::overwrites_data(p.record, memory_);
                     !why.empty())
                findings.push_back({why, true});
        for (const Finding& f : findings)
            if (f.refused && !o_.force)
                throw Refusal{f.text + " (" + turned_on(o_.front, Option::force) +
                              " writes it anyway)"};
        plan_.refuse_unfit();
        records::store_all(plan_, memory_, stored_);
        if (asked(formats::raw_binary())) refuse_a_bin_of_fill();
        if (!o_.merge.empty())
            merged_ = merge_with({o_.merge, o_.entry, o_.input}, memory_,
                                 elf_.file.header.entry, plan_, asked(formats::raw_binary()),
                                 o_.force,
                                 o_.uf2 ? std::optional<uint32_t>(family_) : std::nullopt);
        write();
        tell(findings);
    }

private:
    bool asked(const formats::Format& format) const { return formats::asked(format, o_); }

    // The output stage's questions while it writes.
    void between_chunks() override { host_.stop_if_asked(); }
    void waiting_long(const std::string& lock_file) override {
        report_.note("waiting for " + lock_file +
                     ": another velk-crc run is writing these files");
    }
    void terminated_while_waiting(const std::string& lock_file) override {
        report_.error("terminated while waiting for " + lock_file + "; nothing was written");
    }

    // Records in images far apart would make the .bin mostly fill.
    void refuse_a_bin_of_fill() const {
        auto [from, to] = plan_.bin_range();
        uint64_t held = 0;
        for (const layout::Piece& p : memory_.pieces())
            if (p.address < to && p.end() > from)
                held += std::min(p.end(), to) - std::max(p.address, from);
        uint64_t gaps = (to - from) - held;
        if (gaps > diagnostics::padding_limit && !o_.force)
            throw Refusal{wording::bin_of_fill(o_.front, ".bin", gaps, from, to)};
    }

    // The checksummed ELF file, when the input holds every record.
    void make_crc_elf() {
        std::vector<StoredRecord> records;
        for (size_t i = 0; i < plan_.records.size(); ++i) {
            const records::Record& r = plan_.records[i].record;
            records.push_back({r.slot, r.width, stored_[i].data()});
        }
        crc_elf_ = crc_elf(elf_, records);
    }

    // A file of a format: the application's own, or merged with others.
    struct File {
        const formats::Format* format;
        bool merged;
        std::string name;
        bool written;  // asked for, and can be made; otherwise an earlier one goes
    };

    // A file of every row that writes, for the application and (with
    // --merge) merged: the asked ones written, the others removed (an
    // earlier run's would not match), then all put in place together.
    void write() {
        outfile::Outputs outputs(outfile::Claim::locked, *this);
        const std::string root = outfile::path_root(o_.input);
        make_crc_elf();
        auto [from, to] = plan_.bin_range();
        const formats::Contents own{&memory_, from, to, elf_.file.header.entry, family_,
                                    crc_elf_.in_file.found ? &crc_elf_.pieces : nullptr};
        formats::Contents joined = own;
        if (merged_)
            joined = {&merged_->memory, merged_->from, merged_->to, merged_->entry, family_,
                      nullptr};
        for (const formats::Format* f = formats::begin(); f != formats::end(); ++f)
            for (bool merged : {false, true}) {
                if (!f->write || (merged && !f->merged)) continue;
                const formats::Contents& contents = merged ? joined : own;
                files_.push_back({f, merged,
                                  root + (merged ? "_CRC_merged" : "_CRC") + f->ext,
                                  formats::asked(*f, o_) && (!merged || merged_) &&
                                      f->can_write(contents)});
            }
        try {
            // The application's HEX, the file every run writes, and the merged
            // files on a second thread while this one writes the others. The
            // HEX is made, and put in place, first.
            outputs.defer(true);
            primary().format->write(outputs, primary().name, own);
            for (const File& file : files_)
                if (file.written && file.merged)
                    file.format->write(outputs, file.name, joined);
            outputs.write_deferred();
            for (const File& file : files_) {
                if (&file == &primary() || (file.written && file.merged)) continue;
                if (file.written)
                    file.format->write(outputs, file.name, own);
                else
                    outputs.remove(file.name);
            }
            outputs.commit();
            report_.commit();
        } catch (const outfile::OsFailure& failure) {
            refuse_os_failure(failure);
        }
        removed_ = outputs.removed();
        // The HEX first, the file every run writes.
        report_.wrote(written_file(primary()));
        for (const File& file : files_)
            if (file.written && &file != &primary()) report_.wrote(written_file(file));
    }

    const File& primary() const {
        for (const File& file : files_)
            if (file.format == &formats::intel_hex() && !file.merged) return file;
        return files_.front();
    }

    Reporter::Written written_file(const File& file) const {
        std::optional<uint64_t> base;
        if (file.format == &formats::raw_binary())
            base = file.merged ? merged_->from : plan_.bin_range().first;
        return {file.name, file.format->name, base};
    }

    const File& own_file(const formats::Format& format) const {
        for (const File& file : files_)
            if (file.format == &format && !file.merged) return file;
        return files_.front();
    }

    // "cannot write fw_CRC.hex: Permission denied"
    [[noreturn]] static void refuse_os_failure(const outfile::OsFailure& failure) {
        std::string why = platform::error_text(failure.error);
        if (!failure.kept.empty()) why += "; the earlier file is kept as " + failure.kept;
        throw Refusal{"cannot write " + failure.path + ": " + why};
    }

    // What no record covers: neither a range nor a slot.
    std::vector<layout::Region> uncovered() const {
        std::vector<std::pair<uint64_t, uint64_t>> covered;
        for (const records::Planned& p : plan_.records) {
            const records::Record& r = p.record;
            if (r.reads_bytes())
                for (const records::Interval& part : r.range.ranges())
                    covered.emplace_back(part.from, part.to);
            covered.emplace_back(r.slot, r.slot_end());
        }
        return layout::outside(elf_.loadable, covered);
    }

    // The report lines, then the warnings and notes.
    void tell(const std::vector<Finding>& findings) {
        report_.line(created(primary().format->word, primary().name));
        for (size_t i : plan_.by_slot())
            report_.line(plan_.records[i].record.producer->stored_line(
                plan_, plan_.records[i], stored_[i]));
        for (const File& file : files_)
            if (file.written && &file != &primary())
                report_.line(created(
                    ((file.merged ? "merged " : "") + std::string(file.format->word)).c_str(),
                    file.name));

        for (const Finding& f : findings) report_.warning(f.text);
        const uint64_t entry = elf_.file.header.entry;
        if (!hexfile::start_address(entry)) report_.warning(wording::entry_left_out(entry));
        if (merged_ && !hexfile::start_address(merged_->entry))
            report_.warning(wording::entry_left_out(merged_->entry) + " (the merged files')");
        if (merged_)
            for (const std::string& warning : merged_->warnings) report_.warning(warning);
        // A UF2 block is a whole 256-byte page: below an image that starts
        // inside a page, it writes fill where a bootloader may be.
        const uint64_t first = memory_.pieces().front().address;
        if (o_.uf2 && first % uf2::page_size != 0)
            report_.warning(text::format(
                "the UF2's first block covers %s to %s, below the image's start: a "
                "bootloader there would be overwritten with 0x%02X (flash the merged UF2 "
                "instead)",
                text::address(first - first % uf2::page_size).c_str(),
                text::address(first - 1).c_str(), plan_.fill));
        if (o_.uf2 && merged_) warn_of_merged_bytes_in_pages();
        std::vector<layout::Region> outside = uncovered();
        if (!outside.empty())
            report_.note(outside_note(outside, plan_.records.size() > 1));
        const std::string& elf_name = own_file(formats::elf()).name;
        if (crc_elf_.in_file.found) {
            const std::string& name = elf_name;
            if (!crc_elf_.gaps.empty())
                report_.note(sections_note(name, crc_elf_.gaps));
            std::string holes = holes_note(name, memory_);
            if (!holes.empty()) report_.note(holes);
        } else {
            bool gone = false;
            for (const std::string& removed : removed_) gone = gone || removed == elf_name;
            report_.note(
                text::format("no %s written%s: ", elf_name.c_str(),
                             gone ? " (the earlier one is removed: it would not "
                                    "match the HEX)"
                                  : "") +
                crc_elf_.in_file.why_not);
        }
        for (const std::string& removed : removed_)
            if (removed != elf_name)
                report_.note(removed +
                             " of an earlier run is removed: it would not match the HEX");
        if (asked(formats::raw_binary())) bin_note();
        if (merged_)
            report_.note(wording::merged_start(o_.front, merged_->entry, merged_->entry_from,
                                               merged_->entry_file, merged_->entry_chosen));

        json::Value& d = report_.data();
        const size_t l = plan_.lowest();
        const records::Planned& low = plan_.records[l];
        describe_image(d, low.image.start, low.image.end, low.record.slot, feed_name());
        std::optional<uint64_t> checksum = low.record.producer->number(plan_, stored_[l]);
        d.set("checksum",
              low.record.reads_bytes() && checksum ? json::Value(*checksum) : json::Value());
        d.set("algorithm", plan_.algorithm.name);
        d.set("fill", static_cast<uint64_t>(plan_.fill));
        if (o_.uf2) d.set("uf2_family", static_cast<uint64_t>(family_));
        if (merged_) {
            json::Value& merged = d.set("merged", json::Value::object());
            merged.set("start_address", merged_->entry);
            merged.set("start_from",
                       merged_->entry_from == wording::EntryFrom::file
                           ? json::Value(merged_->entry_file)
                       : merged_->entry_from == wording::EntryFrom::address
                           ? json::Value("--entry")
                           : json::Value());
        }
        d.set("records", records_json());
        d.set("outside", regions_json(outside));
    }

    // The application's UF2 pads each page it writes with fill: where a
    // merged file has bytes in such a page (after the image's end, say),
    // flashing the application's UF2 alone overwrites them.
    void warn_of_merged_bytes_in_pages() {
        const uint64_t page = uf2::page_size;
        const uint64_t first = memory_.pieces().front().address;
        for (const layout::Piece& p : memory_.pieces()) {
            const uint64_t from = p.address - p.address % page;
            const uint64_t to = (p.end() + page - 1) / page * page;
            for (size_t k = 0; k < merged_->sources.size(); ++k)
                for (const layout::Span& s : merged_->sources[k].loadable.spans) {
                    // Below the image's first page start: warned of above.
                    uint64_t a = std::max({s.address, from, first}), b = std::min(s.end(), to);
                    if (a >= b) continue;
                    report_.warning(text::format(
                        "the UF2's block at %s pads its page with 0x%02X over what %s "
                        "writes from %s: flashing %s alone would overwrite it (flash the "
                        "merged UF2 instead)",
                        text::address(a - a % page).c_str(), plan_.fill,
                        merged_->names[k].c_str(), text::address(a).c_str(),
                        uf2_name().c_str()));
                    return;
                }
        }
    }

    std::string uf2_name() const {
        return own_file(formats::uf2()).name;
    }

    json::Value records_json() const {
        json::Value list = json::Value::array();
        for (size_t i : plan_.by_slot())
            describe_record(list.push(json::Value::object()), plan_, plan_.records[i],
                            stored_[i]);
        return list;
    }

    // The .bin holds the images alone.
    void bin_note() {
        auto [from, to] = plan_.bin_range();
        const std::string& bin = own_file(formats::raw_binary()).name;
        uint64_t bytes = 0;
        for (const layout::Piece& p : memory_.pieces())
            if (p.end() <= from || p.address >= to) bytes += p.size;
        if (bytes)
            report_.note(text::format(
                "%s holds %s to %s; %llu loadable bytes outside the image are only in "
                "the "
                "HEX%s",
                bin.c_str(), text::address(from).c_str(),
                text::address(to).c_str(), static_cast<unsigned long long>(bytes),
                asked(formats::srecord()) ? " and the S-records" : ""));
    }

    const char* feed_name() const {
        return plan_.feed == records::Feed::words ? "words" : "bytes";
    }

    const Request& o_;
    Reporter& report_;
    Host& host_;
    ElfBuild elf_;
    records::Plan plan_;
    layout::MemoryMap memory_;
    std::vector<records::Bytes> stored_;  // each record's bytes: memory_ borrows them
    CrcElf crc_elf_;
    std::vector<File> files_;  // the table's files, the application's HEX first
    uint32_t family_ = 0;      // --uf2
    std::optional<Merged> merged_;
    std::vector<std::string> removed_;
};

}  // namespace

int flash_crc_calc(const Request& request, Reporter& report, Host& host) {
    Flash(request, report, host).run();
    report.finish("written");
    return 0;
}

}  // namespace velk
