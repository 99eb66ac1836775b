// CHECK mode of the command line: `velk-crc CHECK <file> --n|--a|--s...
// [--elf <build.elf>]` verifies that an ELF, Intel HEX or S-record file
// holds the right checksum, and with --elf that it is that build's flash
// image, checksummed. It writes nothing. Exit 0 when it does, 1 when it
// does not, 2 when it cannot tell.
#include <algorithm>
#include <array>
#include <optional>

#include "../adapter/text.h"
#include "../hexfile/hex_reader.h"
#include "../inputs/image_file.h"
#include "../inputs/placement.h"
#include "../records/plan.h"
#include "../report/reporter.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/modes.h"
#include "../srecord/srec_reader.h"

namespace velk {

namespace {

class Check {
public:
    Check(const Request& request, Reporter& report) : o_(request), report_(report) {}

    // True when the file is right.
    bool run() {
        InputFile input = read_input(name(o_.input));
        if (o_.elf) read_build();
        // With the build, the records are placed in its layout; a raw
        // binary of it starts where its images start.
        std::optional<uint64_t> base = base_address();
        if (build_) {
            plan_ = records::plan_records(o_, &*build_, build_->loadable);
            if (!base && input.kind != layout::FileKind::elf) base = lowest_start();
        }
        file_ = read_image(std::move(input), base);
        for (const std::string& warning : file_.warnings) report_.warning(warning);
        if (o_.base && file_.kind != layout::FileKind::other)
            throw Refusal{"--base places a raw binary; the file is " +
                          std::string(format_name(file_.kind)) +
                          ", which holds its addresses"};
        if (!build_) {
            bool elf = file_.kind == layout::FileKind::elf;
            if (!elf) refuse_what_needs_symbols();
            plan_ = records::plan_records(o_, elf ? &file_.elf : nullptr, file_.loadable);
        }
        if (build_) {
            build_memory_ = layout::memory_of(build_->loadable, plan_.images(),
                                              build_->bytes(), plan_.fill);
            refuse_slots_that_cannot_hold(build_memory_);
        }
        // A checksum over gigabytes of 0xFF is a wrong selector, not firmware:
        // it would take minutes to say so.
        for (const records::Planned& p : plan_.records) {
            const records::Record& r = p.record;
            // An unprocessed build's placeholder is the CRC of nothing for
            // some algorithms: it must not pass.
            if (r.kind == records::Kind::crc && r.start == r.end && !o_.force)
                throw Refusal{"the checksum range is empty: the record at " +
                              text::address(r.slot) +
                              " is the image's first byte, so it covers nothing "
                              "(--force checks it anyway)"};
            uint64_t holes = layout::holes_within(
                build_ ? build_->loadable : file_.loadable, r.start, r.end);
            if (r.kind == records::Kind::crc && holes > diagnostics::padding_limit &&
                !o_.force)
                throw Refusal{text::format(
                    "the checksum at %s would cover %llu MiB of 0xFF from %s: no "
                    "firmware's does; check the selector (--force checks it anyway)",
                    text::address(r.slot).c_str(),
                    static_cast<unsigned long long>(holes >> 20),
                    text::address(r.start).c_str())};
        }
        plan_.refuse_part_words();
        memory_ = layout::memory_of(file_.loadable, plan_.images(), file_.base, plan_.fill);
        return verdict();
    }

private:
    PyObject* name(const std::string& text) {
        names_.push_back(text_object(text));
        return names_.back().get();
    }

    void read_build() {
        build_.emplace();
        try {
            InputFile build = read_input(name(*o_.elf));
            // The files CHECK verifies are not the build.
            if (build.kind != layout::FileKind::elf && build.kind != layout::FileKind::other)
                throw Refusal{std::string(format_name(build.kind)) +
                              ", not the build's ELF file: --elf takes the linker's "
                              "output the file was made from"};
            *build_ = read_elf(std::move(build));
        } catch (Refusal& refusal) {
            refusal.text = *o_.elf + ": " + refusal.text;
            throw;
        }
    }

    // --base: where a raw binary starts.
    std::optional<uint64_t> base_address() const {
        if (!o_.base) return std::nullopt;
        uint64_t base = 0;
        if (!read_hex_address(*o_.base, base))
            throw Refusal{"--base takes the raw binary's first address in hex, as in --base "
                          "0x08000000: \"" + *o_.base + "\" is not one"};
        return base;
    }

    // Where FLASH's .bin of the build starts: its lowest image.
    uint64_t lowest_start() const {
        uint64_t start = UINT64_MAX;
        for (const auto& image : plan_.images()) start = std::min(start, image.first);
        return start;
    }

    // Without the build only an offset can say where a checksum is in a
    // file that has no symbols.
    void refuse_what_needs_symbols() const {
        const std::string format = format_name(file_.kind);
        for (const Selector& s : o_.selectors) {
            if (s.letter == 'n')
                throw Refusal{format +
                              " has no symbols: pass the build's ELF file with --elf to "
                              "find " +
                              s.value + ", or the checksum offset with --a"};
            if (s.letter == 's')
                throw Refusal{"--s cannot be redone from " + format +
                              ", whose data ends in the padding: pass the build's ELF file "
                              "with --elf, or the offset the build printed with --a"};
        }
    }

    // With --elf: where the file first differs from the build, which puts
    // every loadable byte into it unchanged (the records aside) and nothing
    // but erased flash elsewhere in its images.
    bool differs_from_build(const layout::MemoryMap& build, layout::Difference& d) {
        // The file's own bytes: a hole is a byte it does not hold.
        layout::MemoryMap held = layout::spans_of(file_.loadable, file_.base, plan_.fill);
        // The records are judged apart: the build's map takes the file's own
        // bytes there, so that only other bytes can differ, and none is
        // skipped.
        layout::MemoryMap expected = build;
        for (size_t i = 0; i < plan_.records.size(); ++i) {
            const records::Record& r = plan_.records[i].record;
            expected.overlay(r.slot, held_[i].data(), r.width);
        }
        // A raw binary holds one stretch of the build: FLASH's .bin, its
        // images alone. What the build has outside it is not the file's.
        if (file_.kind == layout::FileKind::other) expected = within_file(expected);
        if (!layout::first_difference(expected, held, 0, d, 0)) return false;
        json::Value& difference = report_.data().set("difference", json::Value::object());
        difference.set("address", d.address);
        difference.set("expected", static_cast<uint64_t>(d.expected));
        difference.set("found", d.found < 0
                                    ? json::Value()
                                    : json::Value(static_cast<uint64_t>(d.found)));
        return true;
    }

    // The part of `map` inside the raw binary's stretch; a note counts the
    // build's bytes left out.
    layout::MemoryMap within_file(const layout::MemoryMap& map) {
        const uint64_t from = file_.loadable.clusters.front().start;
        const uint64_t to = file_.loadable.clusters.back().end;
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
                "%llu loadable bytes of %s lie outside the raw binary (%s to %s): not "
                "checked",
                static_cast<unsigned long long>(outside), o_.elf->c_str(),
                text::address(from).c_str(), text::address(to).c_str()));
        return out;
    }

    // What each record should hold: with --elf what FLASH writes into the
    // build, each record over the records stored before it; without, each
    // over the file's bytes as they are.
    void expected_values(layout::MemoryMap& build) {
        if (build_) {
            build = build_memory_;
            records::store_all(plan_, build, values_, expected_bytes_);
            return;
        }
        for (const records::Planned& p : plan_.records)
            values_.push_back(records::value_of(plan_, p.record, memory_));
    }

    // No file can be right when the build's own slot is wrong: FLASH refuses
    // it, and a file that holds its bytes would fail the firmware's check.
    void refuse_slots_that_cannot_hold(const layout::MemoryMap& build) {
        if (o_.force) return;
        for (const records::Planned& p : plan_.records) {
            if (!p.from_selector) continue;
            diagnostics::Line why = diagnostics::slot_cannot_hold(
                facts_of(p.placement, build_->loadable, p.image, build));
            if (why)
                throw Refusal{*o_.elf + ": " + *why + " (--force checks it anyway)"};
        }
    }

    // With --elf the first difference, then a line per record.
    bool verdict() {
        layout::MemoryMap build;
        expected_values(build);
        held_.assign(plan_.records.size(), {});
        bool ok = true;
        for (size_t i = 0; i < plan_.records.size(); ++i) {
            const records::Record& r = plan_.records[i].record;
            memory_.read(r.slot, held_[i].data(), r.width);
            stored_.push_back(records::value_in(plan_, r, held_[i].data()));
            ok = ok && stored_[i] == values_[i];
        }
        layout::Difference d;
        bool differs = build_ && differs_from_build(build, d);
        const layout::MemoryMap& expected = build_ ? build : memory_;
        // With the build, the first line says whether the file is it.
        if (differs) {
            std::string found = d.found < 0 ? "nothing" : text::format("0x%02X", d.found);
            report_.line(text::format(
                "content mismatch at %s: the file holds %s where %s has 0x%02X",
                text::address(d.address).c_str(), found.c_str(), o_.elf->c_str(),
                d.expected));
        }
        bool first = true;
        for (size_t i : plan_.by_slot()) {
            const records::Planned& p = plan_.records[i];
            bool right = stored_[i] == values_[i];
            std::string line = right ? ok_line(p, stored_[i]) : wrong_line(p, i);
            if (first && build_ && !differs)
                line += ok ? "; the file is " + *o_.elf + ", checksummed"
                           : "; the file is " + *o_.elf + " but for its checksums";
            report_.line(line);
            first = false;
        }
        for (size_t i : plan_.by_slot())
            if (stored_[i] != values_[i]) hint_at_mismatch(expected, i);
        if (build_) note_bytes_beyond(build);

        json::Value& data = report_.data();
        if (o_.elf) data.set("elf", *o_.elf);
        const size_t l = plan_.lowest();
        const records::Planned& low = plan_.records[l];
        describe_image(data, low.image.start, low.image.end, low.record.slot,
                       plan_.feed == Feed::words ? "words" : "bytes");
        data.set("stored", stored_[l]);
        data.set("checksum", values_[l]);
        data.set("algorithm", plan_.algorithm.name);
        data.set("fill", static_cast<uint64_t>(plan_.fill));
        json::Value& list = data.set("records", json::Value::array());
        for (size_t i : plan_.by_slot()) {
            json::Value& entry = list.push(json::Value::object());
            records::describe_record(entry, plan_, plan_.records[i], values_[i]);
            entry.set("stored", stored_[i]);
            entry.set("ok", stored_[i] == values_[i]);
        }
        return ok && !differs;
    }

    // Among several records, which one a checksum line is about.
    std::string named(const records::Planned& p) const {
        return plan_.records.size() > 1 ? " (" + p.record.label + ")" : "";
    }

    std::string ok_line(const records::Planned& p, uint64_t stored) const {
        const records::Record& r = p.record;
        std::string at = text::address(r.slot);
        std::string value = records::hex_value(stored, r.width);
        if (p.from_selector)
            return "checksum ok: [" + value + "] at " + at + named(p) + " (" + plan_.how() +
                   ")";
        return r.label + " ok: [" + value + "] at " + at;
    }

    // What the record holds and what it should hold.
    std::string wrong_line(const records::Planned& p, size_t i) const {
        const records::Record& r = p.record;
        std::string at = text::address(r.slot);
        std::string held = records::hex_value(stored_[i], r.width);
        std::string should = records::hex_value(values_[i], r.width);
        if (p.from_selector)
            return "checksum mismatch at " + at + named(p) + ": stored [" + held +
                   "], computed [" + should + "] (" + plan_.how() + ")";
        std::string line = r.label + " at " + at + " holds " + held + "; ";
        switch (r.kind) {
            case records::Kind::size:
                return line + text::format("the body is 0x%08llX bytes",
                                           static_cast<unsigned long long>(values_[i]));
            case records::Kind::lpc:
                return line + "the vectors need " + should;
            case records::Kind::crc:
                break;
        }
        bool body = plan_.header && r.start == plan_.header->body_start;
        return line + (body ? "the body's checksum is " : "the checksum of the bytes before it is ") +
               should + " (" + plan_.how(true) + ")";
    }

    // Data outside the build's image is not checked (a bootloader merged in,
    // a region of another build): the note says it is there.
    void note_bytes_beyond(const layout::MemoryMap& build) {
        uint64_t first = 0;
        uint64_t count =
            layout::bytes_beyond(layout::spans_of(file_.loadable, file_.base), build, first);
        if (count)
            report_.note(text::format(
                "the file also holds %llu bytes that %s does not, from %s: outside its "
                "image, not checked",
                static_cast<unsigned long long>(count), o_.elf->c_str(),
                text::address(first).c_str()));
    }

    // The mismatches that have a simple cause: the other feed, another
    // algorithm or byte order, the build before velk-crc wrote its
    // checksum.
    void hint_at_mismatch(const layout::MemoryMap& expected, size_t i) {
        const records::Record& r = plan_.records[i].record;
        if (r.kind != records::Kind::crc) return;
        const uint64_t stored = stored_[i];
        const std::string at = text::address(r.slot);
        Feed feed = plan_.feed;
        if (plan_.algorithm.is_default() && (r.end - r.start) % 4 == 0) {
            Feed other = feed == Feed::words ? Feed::bytes : Feed::words;
            if (records::checksum_of(plan_.algorithm, expected, r.start, r.end, other) ==
                stored) {
                report_.hint(
                    feed == Feed::words
                        ? "the stored value is the byte-fed checksum: leave out --words"
                        : "the stored value is the checksum fed 32-bit words: add "
                          "--words");
                return;
            }
        }
        if (hint_other_algorithm(expected, r, stored)) return;
        // A UF2 file's blocks are whole 256-byte pages: below an image that
        // starts inside a page, its lowest address is the page's.
        if (file_.kind == layout::FileKind::uf2 && !build_ && r.start % 256 == 0)
            report_.hint(
                "a UF2 file starts on a 256-byte page, perhaps below the image: give the "
                "build with --elf to place the checksum's range");
        bool placeholder = stored == (r.width == 8 ? UINT64_MAX : (uint64_t{1} << (8 * r.width)) - 1);
        if (placeholder && file_.kind == layout::FileKind::elf)
            report_.hint(
                "the file holds the placeholder " + records::hex_value(stored, r.width) +
                ": is it the linker's output? FLASH writes the checksummed copy as "
                "<name>_CRC.elf");
    }

    // The stored value is what another catalogue algorithm of the same
    // width gives for the same bytes, or this one stored in the other byte
    // order.
    bool hint_other_algorithm(const layout::MemoryMap& expected, const records::Record& r,
                              uint64_t stored) {
        uint8_t bytes[8];
        records::bytes_of(plan_, r, stored, bytes);
        uint64_t swapped = 0;
        for (unsigned k = 0; k < r.width; ++k)
            swapped |= static_cast<uint64_t>(bytes[k]) << (8 * (plan_.big_endian ? k : r.width - 1 - k));
        const char* order_other = plan_.big_endian ? "little-endian" : "big-endian";
        const char* order_word = plan_.big_endian ? "leave out --be" : "add --be";
        uint64_t computed = records::checksum_of(plan_.algorithm, expected, r.start, r.end, plan_.feed);
        if (computed == swapped && r.width > 1) {
            report_.hint(text::format("the value at %s is this checksum stored %s: %s",
                                      text::address(r.slot).c_str(), order_other, order_word));
            return true;
        }
        if (catalogue_.empty()) catalogue_ = records::catalogue();
        for (const records::Listed& other : catalogue_) {
            const records::Algorithm& a = other.algorithm;
            if (a.width != r.width || a.crcmod_name == plan_.algorithm.crcmod_name) continue;
            uint64_t value = records::checksum_of(a, expected, r.start, r.end, Feed::bytes);
            if (value != stored && value != swapped) continue;
            bool stored_big = value == stored ? plan_.big_endian : !plan_.big_endian;
            report_.hint(text::format(
                "the value at %s is what %s gives for the same bytes, stored %s: --crc "
                "%s%s",
                text::address(r.slot).c_str(), a.name.c_str(),
                stored_big ? "big-endian" : "little-endian", a.name.c_str(),
                stored_big ? " --be" : ""));
            return true;
        }
        return false;
    }

    const Request& o_;
    Reporter& report_;
    std::vector<Ref> names_;
    std::optional<ElfBuild> build_;  // --elf
    ImageFile file_;                 // the file checked
    records::Plan plan_;
    layout::MemoryMap memory_;
    layout::MemoryMap build_memory_;  // --elf: the build's, before any record
    std::vector<records::Listed> catalogue_;  // for hints, made once
    std::vector<uint64_t> values_, stored_;
    std::vector<std::array<uint8_t, 8>> held_;  // each record's bytes in the file
    // What FLASH stores into the build: its map borrows them.
    std::vector<std::array<uint8_t, 8>> expected_bytes_;
};

}  // namespace

int check_crc(const Request& request, Reporter& report) {
    bool ok = Check(request, report).run();
    report.finish(ok ? "ok" : "mismatch");
    return ok ? 0 : 1;
}

}  // namespace velk
