// CHECK's report: with --elf the content line first, then the start
// address and the UF2 family, then a line per record; the notes where what
// they are about is told, the hints after, and --json's object.
#include "../formats/formats.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"
#include "../uf2/uf2.h"
#include "check_run.h"
#include "mcuboot_report.h"

namespace velk::check {

namespace {

std::string family_text(uint32_t id) {
    const uf2::Family* family = uf2::family_of(id);
    return text::format("family 0x%08X", id) +
           (family ? std::string(" (") + family->name + ")" : "");
}

class Report {
public:
    Report(const CheckRun& run, Reporter& report)
        : run_(run), request_(run.request), report_(report) {}

    bool tell() {
        if (!run_.placeholders.empty()) throw Refusal{unnamed_records()};
        if (run_.views_differ) report_.line("ELF mismatch: " + *run_.views_differ);
        bool records_ok = true;
        for (const records::Found& found : run_.found) records_ok = records_ok && found.right();
        if (run_.build) content();
        if (run_.build && run_.beyond) beyond_note();
        std::optional<std::string> start = start_address();
        if (start) report_.line(*start);
        std::optional<std::string> family = uf2_family();
        if (family) report_.line(*family);
        std::optional<std::string> skipped = skipped_blocks();
        if (skipped) report_.line(*skipped);
        std::optional<std::string> cores = machine();
        if (cores) report_.line(*cores);
        const bool signed_ok = mcuboot::tell(run_, report_);
        const bool image_ok = !run_.difference && !start && !family && !skipped && !cores;
        if (run_.plan.records.empty() && run_.file.format->self_checked && image_ok)
            report_.line(std::string(run_.file.format->name) +
                         " ok: its own checksum and hash are right" +
                         (run_.build ? "; the file is " + run_.build_name() : ""));
        else if (run_.plan.records.empty() && run_.build && image_ok && signed_ok)
            report_.line("the file is " + run_.build_name() +
                         (run_.mcuboot ? ", signed" : ", with its device's values"));
        bool first = true;
        for (size_t i : run_.plan.by_slot()) {
            const records::Planned& p = run_.plan.records[i];
            const records::Producer& producer = *p.record.producer;
            const records::Found& found = run_.found[i];
            std::string line = found.right() ? producer.ok_line(run_.plan, p, found)
                                             : producer.wrong_line(run_.plan, p, found);
            if (first && run_.build && image_ok)
                line += records_ok ? "; the file is " + run_.build_name() + ", checksummed"
                                   : "; the file is " + run_.build_name() +
                                         " but for its checksums";
            report_.line(line);
            first = false;
        }
        const bool device_ok = tell_device(run_, report_);
        const bool settings_ok = nrf_settings();
        hints();
        object();
        const bool ok =
            records_ok && image_ok && signed_ok && device_ok && settings_ok &&
            !run_.views_differ;
        // Nothing found wrong, and the payload not checked: no verdict.
        if (ok && run_.mcuboot && run_.mcuboot->payload_unchecked())
            throw Refusal{"the MCUboot payload is encrypted, so its hash and signature were "
                          "not checked: " +
                          request_.asker.setting(Option::mcuboot, "decrypt") +
                          " (the private key, or the KEK) checks them"};
        return ok;
    }

private:
    // The settings page's line when it is right, else a line per wrong field.
    bool nrf_settings() {
        if (!run_.nrf_settings) return true;
        const formats::NrfVerdict& v = *run_.nrf_settings;
        json::Value& data = report_.data().set("nrf_settings", json::Value::object());
        data.set("ok", v.faults.empty());
        json::Value& faults = data.set("faults", json::Value::array());
        for (const std::string& fault : v.faults) {
            faults.push(json::Value(fault));
            report_.line("settings mismatch: " + fault);
        }
        if (v.faults.empty()) report_.line(v.summary);
        return v.faults.empty();
    }

    // How the asker names an option with what it takes: "--merge <file>",
    // or "merge=".
    std::string spelled(Option option, const char*) const {
        return request_.asker.asking(option);
    }

    // The file is the build's but for objects the build reserved as slots:
    // records FLASH stored that no word named. Judging them needs the
    // words that name them.
    std::string unnamed_records() const {
        const std::vector<records::Placeholder>& objects = run_.placeholders;
        std::string which, words;
        for (size_t k = 0; k < objects.size(); ++k) {
            const records::Placeholder& o = objects[k];
            which += (k == 0 ? "" : k + 1 == objects.size() ? " and " : ", ") + o.name +
                     text::format(" (%s, %llu bytes)", text::address(o.address).c_str(),
                                  static_cast<unsigned long long>(o.size));
            // A slot of another width than CRC-32's names its algorithm.
            const std::string word = request_.asker.given(Option::symbol, o.name);
            words += (k == 0 ? "" : " ") + word + (o.size == 4 ? "" : "=<algorithm>");
        }
        const bool one = objects.size() == 1;
        // A device's check that leaves out one of the run's stamps meets
        // the same placeholder: the station is told both ways to name it.
        const bool devices = !request_.stamps.empty();
        const std::string place = one ? objects[0].name : std::string("<place>");
        const std::string stamp =
            request_.asker.by_keyword()
                ? "stamp=[(\"" + place + "\", \"<value>\")]"
                : request_.asker.given(Option::stamp, place + "=<value>");
        return "the file differs from " + run_.build_name() + " only in " + which + ", " +
               (one ? "a placeholder" : "placeholders") + " the build reserved, which " +
               (one ? "holds a value" : "hold values") + " here: " +
               (one ? "a record" : "records") + " FLASH stored" +
               (devices ? one ? " or a place it stamped" : " or places it stamped" : "") +
               " that no word names; add " + words + " to check " + (one ? "it" : "them") +
               (devices ? one ? " as a record, or " + stamp + " as a stamp"
                              : " as records, or " + stamp + " for each stamp"
                        : "");
    }

    // The raw binary's note, then where the file first differs.
    void content() {
        if (run_.outside_bin)
            report_.note(text::format(
                "%llu loadable bytes of %s lie outside the raw binary's images (%s to %s), "
                "as in FLASH's .bin: not checked",
                static_cast<unsigned long long>(run_.outside_bin), run_.build_name().c_str(),
                text::address(run_.bin_from).c_str(), text::address(run_.bin_to).c_str()));
        if (!run_.difference) return;
        const layout::Difference& d = *run_.difference;
        json::Value& difference = report_.data().set("difference", json::Value::object());
        difference.set("address", d.address);
        difference.set("expected", static_cast<uint64_t>(d.expected));
        difference.set("found", d.found < 0 ? json::Value()
                                            : json::Value(static_cast<uint64_t>(d.found)));
        report_.line(content_line(d));
    }

    std::string content_line(const layout::Difference& d) const {
        std::string has = d.erased ? text::format("nothing (erased flash, 0x%02X)", d.expected)
                                   : text::format("0x%02X", d.expected);
        const std::string at = "content mismatch at " + text::address(d.address) + ": ";
        const std::string owner = owner_of(d.address);
        if (d.found >= 0 && run_.merged && !merged_within(d.address))
            return at + text::format("the file holds 0x%02X where neither ", d.found) +
                   run_.build_name() +
                   text::format(" nor a merged file has a byte (erased flash, 0x%02X)",
                                d.expected);
        if (d.found >= 0)
            return at + text::format("the file holds 0x%02X where ", d.found) + owner +
                   " has " + has;
        // A raw binary cut short, or a file that lacks a stretch.
        if (run_.file.format->needs_base &&
            d.address == run_.file.loadable.clusters.back().end)
            return at + "the file ends there, where " + owner + " has " + has;
        return at + "the file holds nothing where " + owner + " has " + has;
    }

    // Who a byte of the expected map comes from: a merged file or the build.
    std::string owner_of(uint64_t address) const {
        if (run_.merged)
            for (size_t k = 0; k < run_.merged->sources.size(); ++k)
                for (const layout::Span& s : run_.merged->sources[k].loadable.spans)
                    if (address >= s.address && address < s.end())
                        return run_.merged->names[k];
        return run_.build_name();
    }

    // Whether the merged image (the build's images and the merged files)
    // takes in `address`.
    bool merged_within(uint64_t address) const {
        for (const layout::Piece& p : run_.merged->memory.pieces())
            if (address >= p.address && address < p.end()) return true;
        return false;
    }

    // What the file holds beyond the build is there, unchecked.
    void beyond_note() {
        const uint64_t count = run_.beyond;
        const std::string bytes = count == 1 ? "1 byte" : std::to_string(count) + " bytes";
        report_.note("the file also holds " + bytes + " that " + run_.build_name() +
                     " does not, from " + text::address(run_.beyond_from) +
                     ": outside its image, not checked (" + spelled(Option::merge, "<file>") +
                     " checks what was merged)");
    }

    // The start address FLASH writes, or the line that says how the file's
    // differs.
    std::optional<std::string> start_address() {
        if (!run_.start_checked) return std::nullopt;
        const std::optional<uint64_t>& want = run_.start_wanted;
        const std::optional<uint64_t>& have = run_.start_held;
        json::Value& start = report_.data().set("start_address", json::Value::object());
        start.set("expected", want ? json::Value(*want) : json::Value());
        start.set("found", have ? json::Value(*have) : json::Value());
        start.set("ok", want == have);
        if (want == have) return std::nullopt;
        // A signed image's file is the bootloader's to start: imgtool
        // writes no start address.
        if (run_.mcuboot && !have) {
            report_.note("the file has no start address, as a signed image's need not: not "
                         "checked");
            return std::nullopt;
        }
        // A file that holds more than the build may hold another program's
        // start address (a bootloader's): without --merge it is not the
        // build's to judge.
        if (!run_.merged && run_.beyond) {
            report_.note("the file's start address " +
                         (have ? text::address(*have) : "(none)") + " is not " +
                         run_.build_name() + "'s entry point " +
                         (want ? text::address(*want) : "(none)") +
                         ": not checked, as the file holds more than the build (" +
                         spelled(Option::merge, "<file>") + " checks it)");
            return std::nullopt;
        }
        std::string whose = run_.merged ? "the merged files' start address is " +
                                              (want ? text::address(*want) : "none")
                                        : run_.build_name() + "'s entry point is " +
                                              (want ? text::address(*want) : "none");
        if (!have) return "start address mismatch: the file has none; " + whose;
        return "start address mismatch: the file's is " + text::address(*have) + "; " + whose;
    }

    // The family a UF2 file's blocks are for: a line when --uf2 says
    // another, a note when it said none.
    std::optional<std::string> uf2_family() {
        const ImageFile& file = run_.file;
        if (!file.format->family) return std::nullopt;
        report_.data().set("uf2_family", file.has_family
                                             ? json::Value(static_cast<uint64_t>(file.family))
                                             : json::Value());
        const std::string held = file.has_family ? family_text(file.family) : "no family ID";
        if (!run_.family) {
            report_.note("the file's UF2 blocks carry " + held + ": not checked (" +
                         spelled(Option::uf2, "<family>") + " checks it)");
            return std::nullopt;
        }
        if (file.has_family && file.family == *run_.family) return std::nullopt;
        return "UF2 family mismatch: the file's blocks carry " + held + ", not " +
               family_text(*run_.family);
    }

    // A file that names the cores it runs on (an ESP32 app image's chip) is
    // no image of a build for others, whose ROM would refuse it.
    std::optional<std::string> machine() {
        const ImageFile& file = run_.file;
        if (!run_.build || !file.machine ||
            file.machine == run_.build->file.header.machine)
            return std::nullopt;
        return "chip mismatch: " + file.machine_said + "; " + run_.build_name() +
               text::format(" is for e_machine %u", run_.build->file.header.machine);
    }

    // A UF2 block of another family than the file's other blocks: the
    // bootloader they are for skips it, so its bytes are not flashed.
    std::optional<std::string> skipped_blocks() {
        const ImageFile& file = run_.file;
        if (!file.skipped) return std::nullopt;
        const auto& b = *file.skipped;
        json::Value& skipped = report_.data().set("uf2_skipped", json::Value::object());
        skipped.set("block", static_cast<uint64_t>(b.block));
        skipped.set("family", b.has_family ? json::Value(static_cast<uint64_t>(b.family))
                                           : json::Value());
        skipped.set("address", static_cast<uint64_t>(b.address));
        skipped.set("size", static_cast<uint64_t>(b.size));
        skipped.set("blocks", static_cast<uint64_t>(file.skipped_count));
        const std::string others = file.has_family ? family_text(file.family) : "no family ID";
        const size_t more = file.skipped_count - 1;
        return text::format("UF2 block %zu (%u bytes at %s) carries ", b.block, b.size,
                            text::address(b.address).c_str()) +
               (b.has_family ? family_text(b.family) : std::string("no family ID")) +
               ", not the other blocks' " + others +
               ": a bootloader of theirs skips it, so its bytes are not flashed" +
               (more ? text::format(" (and %zu more such block%s)", more, more > 1 ? "s" : "")
                     : std::string());
    }

    // A record whose bytes are not what the file's give: its producer may
    // know a simple cause.
    void hints() {
        if (run_.unjudged_header) {
            const std::string option = request_.asker.settings(Option::mcuboot);
            report_.hint(run_.unjudged_opens_bin
                             ? "the raw binary opens with an MCUboot header: " + option +
                                   " places it at the image's slot and checks the signed "
                                   "image (its hash, key and signature)"
                             : "the file holds an MCUboot header at " +
                                   text::address(*run_.unjudged_header) + ": " + option +
                                   " checks the signed image (its hash, key and signature)");
        }
        const bool elf_file = run_.file.format->build;
        const bool uf2_alone = run_.file.format->page && !run_.build;
        for (size_t i : run_.plan.by_slot()) {
            const records::Found& found = run_.found[i];
            if (found.held == found.own) continue;
            const records::Planned& p = run_.plan.records[i];
            p.record.producer->explain(
                run_.plan, p, {run_.memory, found.held, elf_file, uf2_alone},
                [this](const std::string& hint) { report_.hint(hint); });
        }
    }

    // A record's bytes as --json gives them: a number, or null.
    json::Value number(const records::Planned& p, const records::Bytes& bytes) const {
        std::optional<uint64_t> value = p.record.producer->number(run_.plan, bytes);
        return value ? json::Value(*value) : json::Value();
    }

    void object() {
        const records::Plan& plan = run_.plan;
        json::Value& data = report_.data();
        if (request_.elf) data.set("elf", *request_.elf);
        if (plan.records.empty()) return merged_object();
        const size_t l = plan.lowest();
        const records::Planned& low = plan.records[l];
        const bool checksum = low.record.reads_bytes();
        describe_image(data, low.image.start, low.image.end, low.record.slot,
                       low.record.producer->fed_words() ? "words" : "bytes");
        const records::Found& lowest = run_.found[l];
        data.set("stored", checksum ? number(low, lowest.held) : json::Value());
        data.set("checksum", checksum ? number(low, lowest.own) : json::Value());
        if (run_.build)
            data.set("expected", checksum ? number(low, *lowest.built) : json::Value());
        data.set("algorithm", records::reported_algorithm(plan, low));
        data.set("fill", static_cast<uint64_t>(plan.fill));
        json::Value& list = data.set("records", json::Value::array());
        for (size_t i : plan.by_slot()) {
            const records::Planned& p = plan.records[i];
            const records::Found& found = run_.found[i];
            json::Value& entry = list.push(json::Value::object());
            records::describe_record(entry, plan, p, found.own);
            entry.set("stored", number(p, found.held));
            if (run_.build) entry.set("expected", number(p, *found.built));
            entry.set("ok", found.right());
        }
        merged_object();
    }

    void merged_object() {
        json::Value& data = report_.data();
        if (run_.merged) {
            json::Value& merged = data.set("merged", json::Value::object());
            json::Value& files = merged.set("files", json::Value::array());
            for (const std::string& name : run_.merged->names) files.push(json::Value(name));
            merged.set("start_address", run_.merged->entry);
        }
    }

    const CheckRun& run_;
    const Request& request_;
    Reporter& report_;
};

}  // namespace

bool report(const CheckRun& run, Reporter& reporter) {
    return Report(run, reporter).tell();
}

}  // namespace velk::check
