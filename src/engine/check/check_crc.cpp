// CHECK mode of the command line: `velk-crc CHECK <file> --n|--a|--s...
// [--elf <build.elf> [--merge <file>]...]` verifies the records a file
// holds, and with --elf that it is that build's flash image (merged with
// those files), checksummed. Every line is about the file's own bytes: a
// record is right when they give the value it holds, and with --elf when
// that value is also the build's. It writes nothing. Exit 0 when the file
// is right, 1 when it is not, 2 when it cannot tell.
#include <algorithm>
#include <optional>

#include "../flash/merge.h"
#include "../hexfile/intel_hex.h"
#include "../inputs/image_file.h"
#include "../inputs/placement.h"
#include "../records/plan.h"
#include "../report/reporter.h"
#include "../report/text.h"
#include "../formats/formats.h"
#include "../report/wording.h"
#include "../request/spelling.h"
#include "../request/modes.h"
#include "../uf2/uf2.h"

namespace velk {

namespace {

using records::Feed;

class Check {
public:
    Check(const Request& request, Reporter& report, Host& host)
        : request_(request), report_(report), host_(host) {}

    // True when the file is right.
    bool run() {
        InputFile input = read_input(request_.input);
        if (request_.base) placed_as_raw(input);
        if (!request_.merge.empty() && !request_.elf)
            throw Refusal{std::string(name(Option::merge)) +
                          " checks the merged files' bytes beside the build's: give the "
                          "build with " + name(Option::elf)};
        refuse_entry_without_merge(request_);
        if (request_.elf) read_build();
        // With the build, the records are placed in its layout; a raw
        // binary of it starts where its images start.
        std::optional<uint64_t> base = base_address();
        if (build_) {
            plan_ = in_build([&] {
                return records::plan_records(request_, &*build_, build_->loadable);
            });
            plan_.between_chunks = [this] { host_.stop_if_asked(); };
            build_memory_ = layout::memory_of(build_->loadable, plan_.images(),
                                              build_->bytes(), plan_.fill);
            refuse_slots_that_cannot_hold();
            expected_map();
            // FLASH's .bin starts at the build's images, its merged .bin at
            // the lowest merged byte.
            if (!base && input.format == &formats::raw_binary())
                base = merged_ ? merged_->from : plan_.bin_range().first;
        }
        file_ = read_image(std::move(input), base, request_.front);
        for (const std::string& warning : file_.warnings) report_.warning(warning);
        if (request_.base && file_.format != &formats::raw_binary())
            throw Refusal{std::string(name(Option::base)) + " places a raw binary; the file is " +
                          file_.format->a_file +
                          ", which holds its addresses"};
        refuse_other_family();
        if (!build_) {
            bool elf = file_.format == &formats::elf();
            if (!elf) refuse_what_needs_symbols();
            plan_ = records::plan_records(request_, elf ? &file_.elf : nullptr,
                                          file_.loadable);
            plan_.between_chunks = [this] { host_.stop_if_asked(); };
            refuse_slots_that_cannot_hold();
        }
        // A checksum over gigabytes of 0xFF is a wrong selector, not firmware:
        // it would take minutes to say so.
        for (const records::Planned& p : plan_.records) {
            const records::Record& r = p.record;
            // An unprocessed build's placeholder is the CRC of nothing for
            // some algorithms: it must not pass.
            if (r.reads_bytes() && r.range.empty() && !request_.force)
                throw Refusal{"the checksum range is empty: the record at " +
                              text::address(r.slot) +
                              " is the image's first byte, so it covers nothing" +
                              anyway()};
            uint64_t holes = layout::holes_within(
                build_ ? build_->loadable : file_.loadable, r.start(), r.end());
            if (r.reads_bytes() && holes > diagnostics::padding_limit &&
                !request_.force)
                throw Refusal{text::format(
                    "the checksum at %s would cover %llu MiB of 0xFF from %s: no "
                    "firmware's does; check the selector%s",
                    text::address(r.slot).c_str(),
                    static_cast<unsigned long long>(holes >> 20),
                    text::address(r.start()).c_str(), anyway().c_str())};
        }
        plan_.refuse_unfit();
        memory_ = layout::memory_of(file_.loadable, plan_.images(), file_.base, plan_.fill);
        return verdict();
    }

private:
    // How the asker names an option, and what the refusals of checks that
    // --force lifts end with.
    const char* name(Option option) const { return option_name(request_.front, option); }
    // An option with what it takes: "--merge <file>", or "merge=".
    std::string spelled(Option option, const char* what) const {
        return request_.front == Front::api ? std::string(name(option)) + "="
                                            : std::string(name(option)) + " " + what;
    }
    std::string anyway() const {
        return " (" + turned_on(request_.front, Option::force) + " checks it anyway)";
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
        build_.emplace();
        *build_ = in_build([&] {
            InputFile build = read_input(*request_.elf);
            // The files CHECK verifies are not the build. As for FLASH, its
            // content says what it is, whatever its name.
            const formats::Format* format =
                formats::by_content(build.bytes.data(), build.bytes.size());
            if (format && format != &formats::elf())
                throw Refusal{std::string(format->a_file) + ", not the build's ELF file: " +
                              name(Option::elf) +
                              " takes the linker's output the file was made from"};
            return velk::read_build(std::move(build));
        });
    }

    // --base: where a raw binary starts.
    std::optional<uint64_t> base_address() const {
        if (!request_.base) return std::nullopt;
        uint64_t base = 0;
        if (!read_hex_address(*request_.base, base))
            throw Refusal{std::string(name(Option::base)) +
                          " takes the raw binary's first address in hex, as in " +
                          given(request_.front, Option::base, "0x08000000") + ": \"" +
                          *request_.base + "\" is not one"};
        return base;
    }

    // Without the build only an offset can say where a checksum is in a
    // file that has no symbols.
    void refuse_what_needs_symbols() const {
        const std::string format = file_.format->a_file;
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
        const ElfBuild* elf = build_ ? &*build_ : file_.format == &formats::elf()
                                                      ? &file_.elf
                                                      : nullptr;
        if (!elf) return;
        const std::string from = build_ ? *request_.elf + ": " : "";
        const std::string anyway = this->anyway();
        for (const records::Planned& p : plan_.records) {
            const records::Record& r = p.record;
            if (!p.from_selector) {
                std::string why = build_ ? records::overwrites_data(r, build_memory_) : "";
                if (!why.empty()) throw Refusal{from + why + anyway};
                continue;
            }
            const diagnostics::Symbol& slot = p.placement.slot;
            if (p.placement.has_slot && slot.size != 0 && slot.size != r.width &&
                !slot.function)
                throw Refusal{text::format("%s%s is %llu bytes; %s stores %u", from.c_str(),
                                           slot.name.c_str(),
                                           static_cast<unsigned long long>(slot.size),
                                           plan_.algorithm.name.c_str(), r.width) +
                              anyway};
            layout::MemoryMap none;
            diagnostics::Facts facts =
                facts_of(p.placement, elf->loadable, p.image, build_ ? build_memory_ : none);
            diagnostics::Line why;
            if (build_) {
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
        expected_ = build_memory_;
        records::store_all(plan_, expected_, built_);
        if (request_.merge.empty()) return;
        merged_ = merge_with({request_.merge, request_.entry, *request_.elf}, expected_,
                             build_->file.header.entry, plan_, false, request_.force,
                             std::nullopt);
    }

    // Who a byte of the expected map comes from: a merged file or the build.
    std::string owner_of(uint64_t address) const {
        if (merged_)
            for (size_t k = 0; k < merged_->sources.size(); ++k)
                for (const layout::Span& s : merged_->sources[k].loadable.spans)
                    if (address >= s.address && address < s.end()) return merged_->names[k];
        return *request_.elf;
    }

    // Whether the merged image (the build's images and the merged files)
    // takes in `address`.
    bool merged_within(uint64_t address) const {
        for (const layout::Piece& p : merged_->memory.pieces())
            if (address >= p.address && address < p.end()) return true;
        return false;
    }

    // With --elf: where the file first differs from what it should be. Every
    // loadable byte of the build (and of the merged files) must be in it
    // unchanged, the records aside, and nothing but erased flash elsewhere in
    // the images.
    bool differs(layout::Difference& d) {
        // The file's own bytes: a hole is a byte it does not hold.
        layout::MemoryMap held = layout::spans_of(file_.loadable, file_.base, plan_.fill);
        // The records are judged apart: the expected map takes the file's
        // own bytes there, so that only other bytes can differ, and none is
        // skipped.
        layout::MemoryMap expected = merged_ ? merged_->memory : expected_;
        for (size_t i = 0; i < plan_.records.size(); ++i) {
            const records::Record& r = plan_.records[i].record;
            expected.overlay(r.slot, found_[i].held.data(), r.width);
        }
        // A raw binary holds one stretch: FLASH's .bin, the build's images
        // (with --merge everything merged). What the build has outside it is
        // not the file's; a file cut short lacks what is inside it.
        if (file_.format == &formats::raw_binary()) expected = within_bin(expected);
        bool found = layout::first_difference(expected, held, 0, d, 0);
        // What was merged accounts for every other byte: one that neither the
        // build nor a merged file has, erased flash aside, is not what FLASH
        // wrote (a patched or left-over byte between them).
        uint64_t first = 0;
        if (merged_ &&
            layout::bytes_beyond(held, merged_->memory, first, plan_.fill) &&
            (!found || first < d.address)) {
            uint8_t byte = 0;
            held.read(first, &byte, 1);
            d = {first, plan_.fill, byte, true};
            found = true;
        }
        if (!found) return false;
        json::Value& difference = report_.data().set("difference", json::Value::object());
        difference.set("address", d.address);
        difference.set("expected", static_cast<uint64_t>(d.expected));
        difference.set("found", d.found < 0
                                    ? json::Value()
                                    : json::Value(static_cast<uint64_t>(d.found)));
        return true;
    }

    // The part of `map` a raw binary of it holds; a note counts the build's
    // bytes left out.
    layout::MemoryMap within_bin(const layout::MemoryMap& map) {
        auto [from, to] =
            merged_ ? std::make_pair(merged_->from, merged_->to) : plan_.bin_range();
        layout::MemoryMap out(map.fill());
        uint64_t outside = 0;
        for (const layout::Piece& p : map.pieces()) {
            uint64_t a = std::max(p.address, from), b = std::min(p.end(), to);
            if (p.bytes) outside += p.size - (b > a ? b - a : 0);
            if (b <= a) continue;
            if (p.bytes)
                out.append(a, p.bytes + (a - p.address), b - a);
            else
                out.append_fill(a, b - a);
        }
        if (outside)
            report_.note(text::format(
                "%llu loadable bytes of %s lie outside the raw binary's images (%s to %s), "
                "as in FLASH's .bin: not checked",
                static_cast<unsigned long long>(outside), request_.elf->c_str(),
                text::address(from).c_str(), text::address(to).c_str()));
        return out;
    }

    // --uf2 names the chip family a UF2 file's blocks must be for: a
    // bootloader ignores blocks of another family.
    void refuse_other_family() {
        if (!request_.uf2) return;
        if (file_.format != &formats::uf2())
            throw Refusal{std::string(name(Option::uf2)) +
                          " checks a UF2 file's chip family; the file is " +
                          file_.format->a_file};
        family_ = formats::uf2_family(request_.front, *request_.uf2);
    }

    // The family a UF2 file's blocks are for, when --uf2 did not say which
    // it must be: a line with --uf2, a note without.
    std::optional<std::string> family_differs() {
        if (file_.format != &formats::uf2()) return std::nullopt;
        report_.data().set("uf2_family", file_.has_family
                                             ? json::Value(static_cast<uint64_t>(file_.family))
                                             : json::Value());
        const std::string held = file_.has_family ? family_text(file_.family)
                                                  : "no family ID";
        if (!family_) {
            report_.note("the file's UF2 blocks carry " + held + ": not checked (" +
                         spelled(Option::uf2, "<family>") + " checks it)");
            return std::nullopt;
        }
        if (file_.has_family && file_.family == *family_) return std::nullopt;
        return "UF2 family mismatch: the file's blocks carry " + held + ", not " +
               family_text(*family_);
    }

    static std::string family_text(uint32_t id) {
        const uf2::Family* family = uf2::family_of(id);
        return text::format("family 0x%08X", id) +
               (family ? std::string(" (") + family->name + ")" : "");
    }

    // With --elf, in a file that carries one: the start address FLASH
    // writes, or the line that says how it differs.
    std::optional<std::string> start_address_differs() {
        if (!build_ || !file_.format->start_of) return std::nullopt;
        const uint64_t entry = merged_ ? merged_->entry : build_->file.header.entry;
        std::optional<uint64_t> want = file_.format->start_of(entry);
        std::optional<uint64_t> have;
        if (file_.has_entry) have = file_.entry;
        json::Value& start = report_.data().set("start_address", json::Value::object());
        start.set("expected", want ? json::Value(*want) : json::Value());
        start.set("found", have ? json::Value(*have) : json::Value());
        start.set("ok", want == have);
        if (want == have) return std::nullopt;
        // A file that holds more than the build may hold another program's
        // start address (a bootloader's): without --merge it is not the
        // build's to judge.
        if (!merged_ && beyond_) {
            report_.note(
                "the file's start address " + (have ? text::address(*have) : "(none)") +
                " is not " + *request_.elf + "'s entry point " +
                (want ? text::address(*want) : "(none)") +
                ": not checked, as the file holds more than the build (" +
                spelled(Option::merge, "<file>") + " checks it)");
            return std::nullopt;
        }
        std::string whose = merged_ ? "the merged files' start address is " +
                                          (want ? text::address(*want) : "none")
                                    : *request_.elf + "'s entry point is " +
                                          (want ? text::address(*want) : "none");
        if (!have) return "start address mismatch: the file has none; " + whose;
        return "start address mismatch: the file's is " + text::address(*have) + "; " + whose;
    }

    // With --elf the content line first, then the start address, then a line
    // per record.
    bool verdict() {
        const size_t n = plan_.records.size();
        for (size_t i = 0; i < n; ++i) {
            const records::Record& r = plan_.records[i].record;
            records::Found found;
            found.held.resize(r.width);
            memory_.read(r.slot, found.held.data(), r.width);
            found.own = r.producer->produce(plan_, r, memory_);
            if (build_) {
                found.built = built_[i];
                found.build = *request_.elf;
            }
            found_.push_back(std::move(found));
        }
        bool records_ok = true;
        for (const records::Found& found : found_) records_ok = records_ok && found.right();
        layout::Difference d{};
        const bool content_differs = build_ && differs(d);
        if (content_differs) report_.line(content_line(d));
        if (build_) note_bytes_beyond();
        std::optional<std::string> start = start_address_differs();
        if (start) report_.line(*start);
        std::optional<std::string> family = family_differs();
        if (family) report_.line(*family);
        bool first = true;
        for (size_t i : plan_.by_slot()) {
            const records::Planned& p = plan_.records[i];
            const records::Producer& producer = *p.record.producer;
            std::string line = found_[i].right() ? producer.ok_line(plan_, p, found_[i])
                                                 : producer.wrong_line(plan_, p, found_[i]);
            if (first && build_ && !content_differs && !start && !family)
                line += records_ok ? "; the file is " + *request_.elf + ", checksummed"
                                   : "; the file is " + *request_.elf + " but for its checksums";
            report_.line(line);
            first = false;
        }
        hint_at_mismatches();
        describe();
        return records_ok && !content_differs && !start && !family;
    }

    std::string content_line(const layout::Difference& d) const {
        std::string has = d.erased ? text::format("nothing (erased flash, 0x%02X)", d.expected)
                                   : text::format("0x%02X", d.expected);
        const std::string at = "content mismatch at " + text::address(d.address) + ": ";
        const std::string owner = owner_of(d.address);
        if (d.found >= 0 && merged_ && !merged_within(d.address))
            return at + text::format("the file holds 0x%02X where neither ", d.found) +
                   *request_.elf +
                   text::format(" nor a merged file has a byte (erased flash, 0x%02X)",
                                d.expected);
        if (d.found >= 0)
            return at + text::format("the file holds 0x%02X where ", d.found) + owner +
                   " has " + has;
        // A raw binary cut short, or a file that lacks a stretch.
        if (file_.format == &formats::raw_binary() &&
            d.address == file_.loadable.clusters.back().end)
            return at + "the file ends there, where " + owner + " has " + has;
        return at + "the file holds nothing where " + owner + " has " + has;
    }

    // A record whose bytes are not what the file's give: its producer may
    // know a simple cause.
    void hint_at_mismatches() {
        const bool elf_file = file_.format == &formats::elf();
        const bool uf2_alone = file_.format == &formats::uf2() && !build_;
        for (size_t i : plan_.by_slot()) {
            const records::Found& found = found_[i];
            if (found.held == found.own) continue;
            const records::Planned& p = plan_.records[i];
            p.record.producer->explain(plan_, p, {memory_, found.held, elf_file, uf2_alone},
                                       [this](const std::string& hint) { report_.hint(hint); });
        }
    }

    // What the file holds beyond the build, erased flash aside: a bootloader
    // merged in, a region of another build. A note says it is there,
    // unchecked. (With --merge such a byte is a content mismatch.)
    void note_bytes_beyond() {
        if (merged_) return;
        uint64_t first = 0;
        uint64_t count = layout::bytes_beyond(layout::spans_of(file_.loadable, file_.base),
                                              expected_, first, plan_.fill);
        beyond_ = count != 0;
        if (!count) return;
        const std::string bytes = count == 1 ? "1 byte" : std::to_string(count) + " bytes";
        report_.note("the file also holds " + bytes + " that " + *request_.elf +
                     " does not, from " + text::address(first) +
                     ": outside its image, not checked (" + spelled(Option::merge, "<file>") +
                     " checks what was merged)");
    }

    void describe() {
        json::Value& data = report_.data();
        if (request_.elf) data.set("elf", *request_.elf);
        const size_t l = plan_.lowest();
        const records::Planned& low = plan_.records[l];
        const bool checksum = low.record.reads_bytes();
        describe_image(data, low.image.start, low.image.end, low.record.slot,
                       plan_.feed == Feed::words ? "words" : "bytes");
        const records::Found& lowest = found_[l];
        data.set("stored", checksum ? number(low, lowest.held) : json::Value());
        data.set("checksum", checksum ? number(low, lowest.own) : json::Value());
        if (build_)
            data.set("expected", checksum ? number(low, *lowest.built) : json::Value());
        data.set("algorithm", plan_.algorithm.name);
        data.set("fill", static_cast<uint64_t>(plan_.fill));
        json::Value& list = data.set("records", json::Value::array());
        for (size_t i : plan_.by_slot()) {
            const records::Planned& p = plan_.records[i];
            const records::Found& found = found_[i];
            json::Value& entry = list.push(json::Value::object());
            records::describe_record(entry, plan_, p, found.own);
            entry.set("stored", number(p, found.held));
            if (build_) entry.set("expected", number(p, *found.built));
            entry.set("ok", found.right());
        }
        if (merged_) {
            json::Value& merged = data.set("merged", json::Value::object());
            json::Value& files = merged.set("files", json::Value::array());
            for (const std::string& name : merged_->names) files.push(json::Value(name));
            merged.set("start_address", merged_->entry);
        }
    }

    // A record's bytes as --json gives them: a number, or null.
    json::Value number(const records::Planned& p, const records::Bytes& bytes) const {
        std::optional<uint64_t> value = p.record.producer->number(plan_, bytes);
        return value ? json::Value(*value) : json::Value();
    }

    const Request& request_;
    Reporter& report_;
    Host& host_;
    std::optional<ElfBuild> build_;  // --elf
    ImageFile file_;                 // the file checked
    records::Plan plan_;
    layout::MemoryMap memory_;        // the file's bytes, erased flash in its images
    layout::MemoryMap build_memory_;  // --elf: the build's, before any record
    layout::MemoryMap expected_;      // --elf: the build's with its records
    std::optional<Merged> merged_;    // --merge: the build's merged with these
    bool beyond_ = false;             // --elf: the file holds bytes the build does not
    std::optional<uint32_t> family_;  // --uf2: the family a UF2 file must be for
    // Each record's bytes in the file and what the file's and (--elf) the
    // build's give.
    std::vector<records::Found> found_;
    // What FLASH stores into the build: the expected map borrows them.
    std::vector<records::Bytes> built_;
};

}  // namespace

int check_crc(const Request& request, Reporter& report, Host& host) {
    bool ok = Check(request, report, host).run();
    report.finish(ok ? "ok" : "mismatch");
    return ok ? 0 : 1;
}

}  // namespace velk
