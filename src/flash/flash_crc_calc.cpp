// FLASH mode of the command line: `velk-crc FLASH <elf> --n|--a|--s...`
// writes the whole flash image of a build, checksummed: every loadable
// byte at its physical address in <root>_CRC.hex, the input with the
// checksum in place as <root>_CRC.elf, and on request <root>_CRC.bin and
// <root>_CRC.srec.

#include "../adapter/errors.h"
#include "../adapter/files.h"
#include "../adapter/outputs.h"
#include "../adapter/text.h"
#include "../crc/crc_stream.h"
#include "../hexfile/intel_hex.h"
#include "../inputs/placement.h"
#include "../report/reporter.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/modes.h"
#include "crc_elf.h"

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
std::vector<Finding> check_layout(const diagnostics::Facts& f, uint64_t image_end) {
    std::vector<Finding> out;
    auto add = [&](const Line& line, bool refused) {
        if (line) out.push_back({*line, refused});
    };
    add(diagnostics::slot_not_loaded(f), true);
    bool fatal = false;
    Line shape = diagnostics::slot_shape(f, fatal);
    add(shape, fatal);
    add(diagnostics::duplicate_names(f), false);
    add(diagnostics::slot_copied_to_ram(f), false);
    add(diagnostics::empty_range(f), true);
    add(diagnostics::overwrites_data(f), false);
    add(diagnostics::after_record(f, image_end), false);
    add(diagnostics::absolute_address(f), true);
    add(diagnostics::large_fill(f, image_end), true);
    return out;
}

std::string created(const char* kind, PyObject* name) {
    return text::format("create new crc %s file \"%s\".", kind, utf8_of(name).c_str());
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
std::string outside_note(const std::vector<layout::Region>& regions) {
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
        "%zu loadable segment%s (%llu bytes) at physical address%s %s written to the HEX "
        "but not covered by the checksum",
        count, count == 1 ? "" : "s", static_cast<unsigned long long>(bytes),
        count == 1 ? "" : "es", addresses.c_str());
}

class Flash {
public:
    Flash(const Request& request, Reporter& report) : o_(request), report_(report) {}

    void run() {
        PyObject* input = name(o_.input);
        elf_ = read_elf(read_input(input));
        placement_ = place_checksum(o_.selector, o_.value, &elf_);
        image_ = image_for(elf_.loadable, placement_);
        memory_ = layout::memory_of(elf_.loadable, image_, elf_.bytes());
        if (memory_.end() > hexfile::address_limit)
            throw Refusal{"the flash image reaches past 4 GiB (" +
                          text::address(memory_.end()) +
                          "), which Intel HEX cannot address"};
        std::vector<Finding> findings = check_layout(
            facts_of(placement_, elf_.loadable, image_, memory_), image_.end);
        for (const Finding& f : findings)
            if (f.refused && !o_.force)
                throw Refusal{f.text + " (--force writes it anyway)"};
        checksum();
        write(input);
        tell(findings);
    }

private:
    PyObject* name(const std::string& text) {
        names_.push_back(text_object(text));
        return names_.back().get();
    }

    void checksum() {
        feed_ = o_.words ? Feed::words : Feed::bytes;
        if (feed_ == Feed::words && image_.offset() % 4 != 0)
            throw Refusal{wording::words_rule(image_.start, image_.record)};
        crc_ = checksum_of(memory_, image_.start, image_.record, feed_);
        for (int i = 0; i < 4; ++i) record_[i] = static_cast<uint8_t>(crc_ >> (8 * i));
        memory_.overlay(image_.record, record_, 4);
    }

    // Every file to its temporary, then all put in place together.
    void write(PyObject* input) {
        const Texts& t = state.t;
        Outputs outputs;
        hex_ = output_name(input, t.crc_hex_suffix);
        elf_name_ = output_name(input, t.crc_elf_suffix);
        bin_ = output_name(input, t.crc_bin_suffix);
        srec_ = output_name(input, t.crc_srec_suffix);
        uint64_t entry = elf_.file.header.entry;
        try {
            outputs.intel_hex(hex_.get(), memory_, entry);
            in_file_ = record_in_file(elf_, image_.record);
            const std::vector<uint8_t>& bytes = elf_.input.bytes;
            if (in_file_.found)
                outputs.bytes(elf_name_.get(), {{bytes.data(), in_file_.offset},
                                                {record_, 4},
                                                {bytes.data() + in_file_.offset + 4,
                                                 bytes.size() - in_file_.offset - 4}});
            else
                outputs.remove(elf_name_.get());
            if (o_.bin)
                outputs.binary(bin_.get(), memory_, image_.start, image_.end);
            else
                outputs.remove(bin_.get());
            if (o_.srec)
                outputs.srecord(srec_.get(), memory_, entry);
            else
                outputs.remove(srec_.get());
            outputs.commit();
            report_.commit();
        } catch (const PythonError&) {
            if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
            refuse_os_error();
        }
        removed_ = outputs.removed();
        report_.wrote(utf8_of(hex_.get()));
        if (in_file_.found) report_.wrote(utf8_of(elf_name_.get()));
        if (o_.bin) report_.wrote(utf8_of(bin_.get()));
        if (o_.srec) report_.wrote(utf8_of(srec_.get()));
    }

    // "cannot write fw_CRC.hex: Permission denied"
    [[noreturn]] static void refuse_os_error() {
        OsErrorText error = take_os_error();
        throw Refusal{"cannot write " +
                      (error.has_filename ? error.filename : "the output") + ": " +
                      error.why};
    }

    // The report lines, then the warnings and notes.
    void tell(const std::vector<Finding>& findings) {
        report_.line(created("hex", hex_.get()));
        report_.line(text::format(
            "checksum range:(0x%08llX~0x%08llX) checksum offset address:[0x%08llX] "
            "checksum: [0x%08X] (fed %s)",
            static_cast<unsigned long long>(image_.start),
            static_cast<unsigned long long>(image_.record),
            static_cast<unsigned long long>(image_.offset()), crc_, feed_name()));
        if (in_file_.found) report_.line(created("elf", elf_name_.get()));
        if (o_.bin) report_.line(created("bin", bin_.get()));
        if (o_.srec) report_.line(created("srec", srec_.get()));

        for (const Finding& f : findings) report_.warning(f.text);
        std::vector<layout::Region> outside =
            layout::outside_checksum(elf_.loadable, image_);
        if (!outside.empty()) report_.note(outside_note(outside));
        if (!in_file_.found) {
            bool gone = false;
            for (const Ref& removed : removed_)
                gone = gone || removed.get() == elf_name_.get();
            report_.note(
                text::format("no %s written%s: ", utf8_of(elf_name_.get()).c_str(),
                             gone ? " (the earlier one is removed: it would not "
                                    "match the HEX)"
                                  : "") +
                in_file_.why_not);
        }
        for (const Ref& removed : removed_)
            if (removed.get() != elf_name_.get())
                report_.note(utf8_of(removed.get()) +
                             " of an earlier run is removed: it would not match the HEX");
        if (o_.bin) bin_note();

        json::Value& d = report_.data();
        describe_image(d, image_, feed_name());
        d.set("checksum", static_cast<uint64_t>(crc_));
        d.set("outside", regions_json(outside));
    }

    // The .bin holds the image alone.
    void bin_note() {
        uint64_t bytes = 0;
        for (const layout::Piece& p : memory_.pieces())
            if (p.end() <= image_.start || p.address >= image_.end) bytes += p.size;
        if (bytes)
            report_.note(text::format(
                "%s holds %s to %s; %llu loadable bytes outside the image are only in "
                "the "
                "HEX%s",
                utf8_of(bin_.get()).c_str(), text::address(image_.start).c_str(),
                text::address(image_.end).c_str(), static_cast<unsigned long long>(bytes),
                o_.srec ? " and the S-records" : ""));
    }

    const char* feed_name() const { return feed_ == Feed::words ? "words" : "bytes"; }

    const Request& o_;
    Reporter& report_;
    std::vector<Ref> names_;
    ElfBuild elf_;
    Placement placement_;
    layout::Image image_{};
    layout::MemoryMap memory_;
    Feed feed_ = Feed::bytes;
    uint32_t crc_ = 0;
    uint8_t record_[4] = {};
    RecordInFile in_file_{};
    Ref hex_, elf_name_, bin_, srec_;
    std::vector<Ref> removed_;
};

}  // namespace

int flash_crc_calc(const Request& request, Reporter& report) {
    Flash(request, report).run();
    report.finish("written");
    return 0;
}

}  // namespace velk
