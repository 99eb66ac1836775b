// CHECK mode of the command line: `velk-crc CHECK <file> --n|--a|--s...
// [--elf <build.elf>]` verifies that an ELF, Intel HEX or S-record file
// holds the right checksum, and with --elf that it is that build's flash
// image, checksummed. It writes nothing. Exit 0 when it does, 1 when it
// does not, 2 when it cannot tell.
#include <optional>

#include "../adapter/text.h"
#include "../crc/crc_stream.h"
#include "../hexfile/hex_reader.h"
#include "../inputs/placement.h"
#include "../report/reporter.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/modes.h"
#include "../srecord/srec_reader.h"

namespace velk {

namespace {

const char* format_name(layout::FileKind kind) {
    return kind == layout::FileKind::intel_hex ? "an Intel HEX file" : "an S-record file";
}

class Check {
public:
    Check(const Request& request, Reporter& report) : o_(request), report_(report) {}

    // True when the file is right.
    bool run() {
        InputFile input = read_input(name(o_.input));
        if (o_.elf) {
            build_.emplace();
            try {
                InputFile build = read_input(name(*o_.elf));
                // The records files are what CHECK verifies, not the build.
                if (build.kind == layout::FileKind::intel_hex ||
                    build.kind == layout::FileKind::srecord)
                    throw Refusal{std::string(format_name(build.kind)) +
                                  ", not the build's ELF file: --elf takes the linker's "
                                  "output the file was made from"};
                *build_ = read_elf(std::move(build));
            } catch (Refusal& refusal) {
                refusal.text = *o_.elf + ": " + refusal.text;
                throw;
            }
        }
        switch (input.kind) {
            case layout::FileKind::elf:
                own_ = read_elf(std::move(input));
                base_ = own_.bytes();
                loadable_ = own_.loadable;
                break;
            case layout::FileKind::intel_hex:
            case layout::FileKind::srecord:
                read_records(input);
                break;
            case layout::FileKind::other:
                throw Refusal{
                    "neither an ELF file, an Intel HEX file nor an S-record file (a raw "
                    "binary holds no addresses: check the HEX, S-record or ELF file)"};
        }
        const ElfBuild* layout_from = build_ ? &*build_ : own_.read ? &own_ : nullptr;
        placement_ = place_checksum(o_.selector, o_.value, layout_from);
        image_ = image_for(layout_from ? layout_from->loadable : loadable_, placement_);
        // A checksum over gigabytes of 0xFF is a wrong selector, not firmware:
        // it would take minutes to say so.
        if (image_.fill_covered > diagnostics::padding_limit && !o_.force)
            throw Refusal{text::format(
                "the checksum at %s would cover %llu MiB of 0xFF from %s: no firmware's "
                "does; check the selector (--force checks it anyway)",
                text::address(image_.record).c_str(),
                static_cast<unsigned long long>(image_.fill_covered >> 20),
                text::address(image_.start).c_str())};
        memory_ = layout::memory_of(loadable_, image_, base_);
        return verdict();
    }

private:
    PyObject* name(const std::string& text) {
        names_.push_back(text_object(text));
        return names_.back().get();
    }

    // An Intel HEX or S-record file's data; without the build only an
    // offset can say where the checksum is.
    void read_records(const InputFile& input) {
        size_t mark = layout::byte_order_mark(input.bytes.data(), input.bytes.size());
        const char* text = reinterpret_cast<const char*>(input.bytes.data()) + mark;
        size_t size = input.bytes.size() - mark;
        bool hex = input.kind == layout::FileKind::intel_hex;
        auto read =
            hex ? hexfile::read_intel_hex(text, size) : srecord::read_srecord(text, size);
        if (auto* fault = std::get_if<layout::ReadFault>(&read))
            throw Refusal{hex ? wording::read_fault(*fault, "an Intel HEX record",
                                                    "end-of-file (01)")
                              : wording::read_fault(*fault, "an S-record",
                                                    "termination (S7, S8 or S9)")};
        data_ = std::move(std::get<layout::FileData>(read));
        base_ = data_.data.data();
        loadable_ =
            std::get<layout::Loadable>(layout::loadable_of_runs(std::move(data_.runs)));
        if (build_) return;
        if (o_.selector == 'n')
            throw Refusal{
                std::string(format_name(input.kind)) +
                " has no symbols: pass the build's ELF file with --elf to find " +
                o_.value + ", or the checksum offset with --a"};
        if (o_.selector == 's')
            throw Refusal{
                "--s cannot be redone from " + std::string(format_name(input.kind)) +
                ", whose data ends in the padding: pass the build's ELF file with "
                "--elf, or the offset the build printed with --a"};
    }

    // With --elf: where the file first differs from the build, which puts
    // every loadable byte into it unchanged (the record aside) and nothing
    // but erased flash elsewhere in the image. The checksum is the build's.
    bool differs_from_build(const layout::MemoryMap& build, layout::Difference& d) {
        // The file's own bytes: a hole is a byte it does not hold.
        layout::MemoryMap held = layout::spans_of(loadable_, base_);
        if (!layout::first_difference(build, held, image_.record, d)) return false;
        json::Value& difference = report_.data().set("difference", json::Value::object());
        difference.set("address", d.address);
        difference.set("expected", static_cast<uint64_t>(d.expected));
        difference.set("found", d.found < 0
                                    ? json::Value()
                                    : json::Value(static_cast<uint64_t>(d.found)));
        return true;
    }

    // The checksum line, then with --elf the first difference: a log ends
    // with what is wrong.
    bool verdict() {
        Feed feed = o_.words ? Feed::words : Feed::bytes;
        const char* fed = o_.words ? "words" : "bytes";
        if (feed == Feed::words && image_.offset() % 4 != 0)
            throw Refusal{wording::words_rule(image_.start, image_.record)};
        layout::MemoryMap build;
        if (build_) build = layout::memory_of(build_->loadable, image_, build_->bytes());
        const layout::MemoryMap& expected = build_ ? build : memory_;
        uint32_t computed = checksum_of(expected, image_.start, image_.record, feed);
        uint8_t bytes[4];
        memory_.read(image_.record, bytes, 4);
        uint32_t stored =
            static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
        layout::Difference d;
        bool differs = build_ && differs_from_build(build, d);
        bool ok = stored == computed;
        std::string at = text::address(image_.record);
        if (ok)
            report_.line(
                text::format("checksum ok: [0x%08X] at %s (fed %s)", stored, at.c_str(),
                             fed) +
                (build_ && !differs ? "; the file is " + *o_.elf + ", checksummed" : ""));
        else
            report_.line(text::format(
                "checksum mismatch at %s: stored [0x%08X], computed [0x%08X] (fed %s)",
                at.c_str(), stored, computed, fed));
        if (differs) {
            std::string found = d.found < 0 ? "nothing" : text::format("0x%02X", d.found);
            report_.line(text::format(
                "content mismatch at %s: the file holds %s where %s has 0x%02X",
                text::address(d.address).c_str(), found.c_str(), o_.elf->c_str(),
                d.expected));
        }
        if (!ok) hint_at_mismatch(expected, stored, feed);
        if (build_) note_bytes_beyond(build);
        json::Value& data = report_.data();
        if (o_.elf) data.set("elf", *o_.elf);
        describe_image(data, image_, fed);
        data.set("stored", static_cast<uint64_t>(stored));
        data.set("checksum", static_cast<uint64_t>(computed));
        return ok && !differs;
    }

    // Data outside the build's image is not checked (a bootloader merged in,
    // a region of another build): the note says it is there.
    void note_bytes_beyond(const layout::MemoryMap& build) {
        uint64_t first = 0;
        uint64_t count =
            layout::bytes_beyond(layout::spans_of(loadable_, base_), build, first);
        if (count)
            report_.note(text::format(
                "the file also holds %llu bytes that %s does not, from %s: outside its "
                "image, not checked",
                static_cast<unsigned long long>(count), o_.elf->c_str(),
                text::address(first).c_str()));
    }

    // The two mismatches that have a simple cause: the other feed, and the
    // build before velk-crc wrote its checksum.
    void hint_at_mismatch(const layout::MemoryMap& expected, uint32_t stored, Feed feed) {
        if (image_.offset() % 4 == 0) {
            Feed other = feed == Feed::words ? Feed::bytes : Feed::words;
            if (checksum_of(expected, image_.start, image_.record, other) == stored) {
                report_.hint(
                    feed == Feed::words
                        ? "the stored value is the byte-fed checksum: leave out --words"
                        : "the stored value is the checksum fed 32-bit words: add "
                          "--words");
                return;
            }
        }
        if (stored == 0xFFFFFFFF && own_.read)
            report_.hint(
                "the file holds the placeholder 0xFFFFFFFF: is it the linker's "
                "output? FLASH writes the checksummed copy as <name>_CRC.elf");
    }

    const Request& o_;
    Reporter& report_;
    std::vector<Ref> names_;
    std::optional<ElfBuild> build_;  // --elf
    ElfBuild own_;                   // the file, when it is an ELF file
    layout::FileData data_;          // the file, when it holds records
    const uint8_t* base_ = nullptr;  // where the file's spans have their bytes
    layout::Loadable loadable_;      // the file's loadable bytes
    Placement placement_;
    layout::Image image_{};
    layout::MemoryMap memory_;
};

}  // namespace

int check_crc(const Request& request, Reporter& report) {
    bool ok = Check(request, report).run();
    report.finish(ok ? "ok" : "mismatch");
    return ok ? 0 : 1;
}

}  // namespace velk
