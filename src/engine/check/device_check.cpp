// CHECK of a device's file: its stamps' bytes, and its entry in the run's
// manifest.
#include "device_check.h"

#include <algorithm>

#include "../devices/manifest_reader.h"
#include "../numbers/numbers.h"
#include "../records/symbols.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../stamps/stamps.h"
#include "check_run.h"

namespace velk::check {

namespace {

// A stamp wider than this is no device's value: a typo in a size.
constexpr uint64_t widest_stamp = 1 << 20;

std::vector<uint8_t> bytes_of(const std::string& hex) {
    std::vector<uint8_t> out;
    numbers::hex_bytes(hex, out);
    return out;
}

std::string sha256_of(const std::vector<uint8_t>& bytes, Host& host) {
    std::unique_ptr<crypto::Digest> digest = host.crypto().sha256();
    digest->update(bytes.data(), bytes.size());
    return text::hex(digest->finish());
}

class DevicePlanner {
public:
    DevicePlanner(CheckRun& run, DeviceCheck& device)
        : run_(run), request_(run.request), device_(device) {}

    void manifest(const InputFile& input, Host& host) {
        const std::string& path = *request_.manifest;
        std::vector<uint8_t> text;
        try {
            text = read_input(path).bytes;
        } catch (Refusal& refusal) {
            refusal.text = path + ": " + refusal.text;
            throw;
        }
        entries_ = devices::read_manifest(text, path);
        const std::string name = devices::base_name(request_.input);
        entry_ = devices::entry_of_file(entries_, name);
        if (!entry_)
            throw Refusal{"no device's files in " + path + " include " + name +
                          ": it cannot be verified against that manifest"};
        DeviceCheck::Manifest m;
        m.path = path;
        m.id = entry_->id;
        m.index = entry_->index;
        m.name = name;
        for (const devices::Entry::Written& f : entry_->files)
            if (devices::base_name(f.name) == name) m.sha256 = f.sha256;
        std::transform(m.sha256.begin(), m.sha256.end(), m.sha256.begin(), [](char c) {
            return static_cast<char>(c >= 'A' && c <= 'F' ? c + ('a' - 'A') : c);
        });
        m.found = sha256_of(input.bytes, host);
        device_.manifest = std::move(m);
    }

    void stamp(const StampWord& word) {
        uint64_t address = 0, size = 0;
        place(word, address, size);
        stamps::Value value = stamps::read_one(word, size, request_.big_endian);
        device_.stamps.push_back(
            {word.place, value.shown, address, std::move(value.bytes), {}, 0});
    }

    void entry() {
        if (!entry_) return;
        for (const devices::Entry::Stamped& s : entry_->stamps)
            device_.stamps.push_back(
                {s.place, s.value, s.address, bytes_of(s.bytes), {}, 0, true});
        for (const devices::Entry::Stored& r : entry_->records)
            device_.records.push_back(
                {r.record, r.value, r.address, bytes_of(r.bytes), {}, 0, true});
    }

private:
    // 0x<address>:<size> needs nothing; a symbol the build, or the
    // manifest's stamp of that name.
    void place(const StampWord& word, uint64_t& address, uint64_t& size) const {
        const stamps::Place place = stamps::read_place(word);
        address = place.address;
        size = place.size;
        if (place.symbol) symbol(word, *place.symbol, address, size);
        if (size > widest_stamp)
            throw Refusal{text::format("%s: the place is %llu bytes; a device's value is at "
                                       "most %llu",
                                       word.word.c_str(), static_cast<unsigned long long>(size),
                                       static_cast<unsigned long long>(widest_stamp))};
    }

    void symbol(const StampWord& word, const std::string& place, uint64_t& address,
                uint64_t& size) const {
        if (run_.build) {
            const records::InFlash at =
                records::in_flash(place, *run_.build, request_.asker, Option::stamp);
            if (at.size == 0)
                throw Refusal{word.word + ": " + place +
                              " has no size in the build's symbols: give the place as "
                              "0x<address>:<size>"};
            address = at.address;
            size = at.size;
            return;
        }
        if (entry_)
            for (const devices::Entry::Stamped& s : entry_->stamps)
                if (s.place == place) {
                    address = s.address;
                    size = s.bytes.size() / 2;
                    return;
                }
        throw Refusal{word.word + ": " + place + " is a symbol: give the build with " +
                      request_.asker.asking(Option::elf) +
                      " for its address and size, or the place as 0x<address>:<size>"};
    }

    CheckRun& run_;
    const Request& request_;
    DeviceCheck& device_;
    std::vector<devices::Entry> entries_;
    const devices::Entry* entry_ = nullptr;
};

void found_at(PlaceBytes& p, const layout::MemoryMap& held) {
    p.found.assign(p.expected.size(), held.fill());
    p.held = held.read(p.address, p.found.data(), p.found.size());
}

// What the file holds at a place that is wrong, against what it should.
std::string holds(const PlaceBytes& p) {
    const std::string should = p.value + " (" + text::hex(p.expected) + ")";
    if (p.held == 0) return "the file holds no bytes there for " + should;
    if (p.held < p.expected.size())
        return text::format("the file holds %llu of its %zu bytes for ",
                            static_cast<unsigned long long>(p.held), p.expected.size()) +
               should;
    return "the file holds " + text::hex(p.found) + ", not " + should;
}

json::Value place_object(const PlaceBytes& p, const char* name) {
    json::Value o = json::Value::object();
    o.set(name, p.place);
    o.set("address", p.address);
    o.set("value", p.value);
    o.set("expected", text::hex(p.expected));
    o.set("found",
          p.held == p.expected.size() ? json::Value(text::hex(p.found)) : json::Value());
    o.set("ok", p.ok());
    return o;
}

}  // namespace

void plan_device(CheckRun& run, const InputFile& input, Host& host) {
    const Request& request = run.request;
    if (request.stamps.empty() && !request.manifest) return;
    DeviceCheck& device = run.device.emplace();
    DevicePlanner planner(run, device);
    if (request.manifest) planner.manifest(input, host);
    for (const StampWord& word : request.stamps) planner.stamp(word);
    planner.entry();
}

void stamps_into(const CheckRun& run, layout::MemoryMap& memory) {
    if (!run.device) return;
    for (const PlaceBytes& p : run.device->stamps)
        memory.overlay(p.address, p.expected.data(), p.expected.size());
}

void compute_device(CheckRun& run) {
    if (!run.device) return;
    const layout::MemoryMap held =
        layout::spans_of(run.file.loadable, run.file.base, run.plan.fill);
    for (PlaceBytes& p : run.device->stamps) found_at(p, held);
    for (PlaceBytes& p : run.device->records) found_at(p, held);
}

void judged_apart(const CheckRun& run, layout::MemoryMap& expected) {
    if (!run.device) return;
    for (const auto* list : {&run.device->stamps, &run.device->records})
        for (const PlaceBytes& p : *list)
            if (p.held == p.expected.size())
                expected.overlay(p.address, p.found.data(), p.found.size());
}

bool tell_device(const CheckRun& run, Reporter& report) {
    if (!run.device) return true;
    const DeviceCheck& device = *run.device;
    const std::optional<DeviceCheck::Manifest>& m = device.manifest;
    // A place the manifest gave says whose it is.
    const std::string whose = m ? m->path + "'s device " + m->id : "";
    const auto tell = [&](const PlaceBytes& p, const char* kind) {
        const std::string at = text::address(p.address);
        const std::string as = p.listed ? ", as for " + whose : "";
        if (p.ok())
            report.line(std::string(kind) + " ok: " + p.place + " at " + at + " holds " +
                        p.value + " (" + text::hex(p.expected) + ")" + as);
        else
            report.line(std::string(kind) + " mismatch at " + at + " (" + p.place +
                        "): " + holds(p) + as);
        return p.ok();
    };
    bool ok = true;
    json::Value& stamps = report.data().set("stamps", json::Value::array());
    for (const PlaceBytes& p : device.stamps) {
        ok = tell(p, "stamp") && ok;
        stamps.push(place_object(p, "place"));
    }
    if (!m) return ok;
    json::Value& manifest = report.data().set("manifest", json::Value::object());
    manifest.set("file", m->path);
    manifest.set("id", m->id);
    manifest.set("index", static_cast<uint64_t>(m->index));
    manifest.set("name", m->name);
    json::Value& records = manifest.set("records", json::Value::array());
    for (const PlaceBytes& p : device.records) {
        ok = tell(p, "record") && ok;
        records.push(place_object(p, "record"));
    }
    const bool same = m->found == m->sha256;
    json::Value& sha = manifest.set("sha256", json::Value::object());
    sha.set("expected", m->sha256);
    sha.set("found", m->found);
    sha.set("ok", same);
    if (same)
        report.line("SHA-256 ok: the file is " + m->name + " of " + whose);
    else
        report.line("SHA-256 mismatch: the file's SHA-256 is " + m->found + ", not " +
                    m->sha256 + " of " + m->name + " for " + whose);
    manifest.set("ok", ok && same);
    return ok && same;
}

}  // namespace velk::check
