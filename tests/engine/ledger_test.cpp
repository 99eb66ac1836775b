// The devices' ledger in a scratch folder: what it journals reads back the
// same, a kill's torn last line is dropped and a damaged line elsewhere
// refused, --resume's rules, and the manifests as a reader of CSV and JSON
// takes them (RFC 4180 by this file's own reader, JSON by CHECK's).
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#else
#include <sys/stat.h>
#endif

#include "../../src/engine/base/json_reader.h"
#include "../../src/engine/devices/ledger.h"
#include "../../src/engine/platform/platform.h"
#include "../../src/engine/report/refusal.h"
#include "checks.h"

// Named, not anonymous: a unity build joins this file with the test
// program's own.
namespace ledger_checks {

using velk::devices::Entry;
using velk::devices::Identity;
using velk::devices::Ledger;

int failures = 0;

void expect(bool ok, const std::string& what) {
    engine_checks::count(ok, "ledger: ", what, failures);
}

// Values a production CSV can hand over: text with every character the
// formats escape or quote.
const char* const awkward[] = {"plain", "a,b", "say \"hi\"", "tab\there", "two\nlines",
                               "cr\r", "back\\slash", " padded ", "gr\xc3\xbc\xc3\x9f"};
constexpr size_t kinds = sizeof awkward / sizeof awkward[0];

Identity identity(size_t count) {
    Identity id;
    id.input = "fw.elf";
    id.input_sha256 = std::string(64, 'a');
    id.stamps = {{"serial_no", 0x08000100, 4, "serial:1.." + std::to_string(count)},
                 {"label", 0x08000200, 16, "csv:labels.csv:label"}};
    id.words = "--hex --bin";
    id.count = count;
    return id;
}

Entry device(size_t index) {
    Entry e;
    e.index = index;
    e.id = std::to_string(index + 1);
    e.stamps = {{"serial_no", 0x08000100, e.id, "0" + e.id + "000000"},
                {"label", 0x08000200, awkward[index % kinds], "6869"}};
    e.records = {{"crc_value", 0x08000300, "0x1234ABCD", "cdab3412"}};
    e.files = {{"fw_" + e.id + "_CRC.hex", "_CRC.hex", std::string(64, 'b')},
               {"fw_" + e.id + "_CRC.bin", "_CRC.bin", std::string(63, 'c') + e.id}};
    return e;
}

bool same(const Entry& a, const Entry& b) {
    if (a.id != b.id || a.index != b.index || a.stamps.size() != b.stamps.size() ||
        a.records.size() != b.records.size() || a.files.size() != b.files.size())
        return false;
    for (size_t i = 0; i < a.stamps.size(); ++i)
        if (a.stamps[i].place != b.stamps[i].place || a.stamps[i].address != b.stamps[i].address ||
            a.stamps[i].value != b.stamps[i].value || a.stamps[i].bytes != b.stamps[i].bytes)
            return false;
    for (size_t i = 0; i < a.records.size(); ++i)
        if (a.records[i].record != b.records[i].record ||
            a.records[i].address != b.records[i].address ||
            a.records[i].value != b.records[i].value || a.records[i].bytes != b.records[i].bytes)
            return false;
    for (size_t i = 0; i < a.files.size(); ++i)
        if (a.files[i].name != b.files[i].name || a.files[i].ending != b.files[i].ending ||
            a.files[i].sha256 != b.files[i].sha256)
            return false;
    return true;
}

std::string read_text(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (velk::platform::read_file(path, bytes) != 0) return "<none>";
    return std::string(bytes.begin(), bytes.end());
}

void write_text(const std::string& path, const std::string& text) {
    velk::platform::remove(path);
    velk::platform::NewFile file;
    file.create(path);
    file.write(text.data(), text.size());
    file.sync_and_close();
    file.keep();
}

bool make_folder(const std::string& path) {
#ifdef _WIN32
    return ::_mkdir(path.c_str()) == 0;
#else
    return ::mkdir(path.c_str(), 0755) == 0;
#endif
}

// A batch's files put in place, as a run does before the state names them.
void in_place(const std::string& folder, const std::vector<Entry>& batch) {
    for (const Entry& e : batch)
        for (const Entry::Written& f : e.files) write_text(folder + "/" + f.name, e.id);
}

// A fresh folder holding a run of `count` devices, `done` of them in
// place, added in batches of two.
std::string run_folder(const std::string& scratch, const std::string& name, size_t count,
                       size_t done) {
    std::string folder = scratch + "/" + name;
    for (const char* f : {"manifest.state", "manifest.json", "manifest.csv"})
        velk::platform::remove(folder + "/" + f);
    if (velk::platform::kind_of(folder) != velk::platform::Kind::directory)
        expect(make_folder(folder), "made " + folder);
    Ledger ledger(folder, identity(count), false);
    ledger.start();
    for (size_t i = 0; i < done; i += 2) {
        std::vector<Entry> batch{device(i)};
        if (i + 1 < done) batch.push_back(device(i + 1));
        in_place(folder, batch);
        ledger.add(batch);
    }
    return folder;
}

// What the ledger refuses with, or "" when it takes the folder.
std::string refusal(const std::string& folder, const Identity& id, bool resume,
                    bool force = false, const velk::Asker& asker = velk::command_line_asker) {
    try {
        Ledger ledger(folder, id, resume, force, asker);
        return "";
    } catch (const velk::Refusal& r) {
        return r.text.empty() ? "<empty refusal>" : r.text;
    }
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- The manifest read back by CHECK's own reader of JSON, which knows
// nothing of how the ledger writes it. A missing member reads as null.
using velk::json::Node;

struct Json {
    const Node* node;
    Json operator[](const std::string& key) const {
        const Node* found = node ? node->member(key) : nullptr;
        return {found};
    }
    Json operator[](size_t i) const {
        return {node && i < node->items.size() ? &node->items[i].second : nullptr};
    }
    std::string s() const { return node && node->is(Node::Kind::text) ? node->text : "<none>"; }
    uint64_t n() const { return node && node->whole ? *node->whole : UINT64_MAX; }
    size_t size() const { return node ? node->items.size() : 0; }
};

// The tree of `text`, when it is JSON.
std::optional<Node> parsed(const std::string& text) {
    auto read = velk::json::read_json(text.data(), text.size());
    if (auto* node = std::get_if<Node>(&read)) return std::move(*node);
    return std::nullopt;
}

bool json_entry_is(const Json& j, const Entry& e) {
    bool ok = j["id"].s() == e.id && j["index"].n() == e.index &&
              j["stamps"].size() == e.stamps.size() &&
              j["records"].size() == e.records.size() &&
              j["files"].size() == e.files.size();
    for (size_t i = 0; ok && i < e.stamps.size(); ++i)
        ok = j["stamps"][i]["place"].s() == e.stamps[i].place &&
             j["stamps"][i]["address"].n() == e.stamps[i].address &&
             j["stamps"][i]["value"].s() == e.stamps[i].value &&
             j["stamps"][i]["bytes"].s() == e.stamps[i].bytes;
    for (size_t i = 0; ok && i < e.records.size(); ++i)
        ok = j["records"][i]["record"].s() == e.records[i].record &&
             j["records"][i]["address"].n() == e.records[i].address &&
             j["records"][i]["value"].s() == e.records[i].value &&
             j["records"][i]["bytes"].s() == e.records[i].bytes;
    for (size_t i = 0; ok && i < e.files.size(); ++i)
        ok = j["files"][i]["name"].s() == e.files[i].name &&
             j["files"][i]["sha256"].s() == e.files[i].sha256;
    return ok;
}

// --- RFC 4180: quoted fields, "" inside them, CRLF between records.
std::vector<std::vector<std::string>> csv_rows(const std::string& t, bool& ok) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    ok = true;
    for (size_t i = 0; i < t.size();) {
        std::string& cell = rows.back().back();
        if (t[i] == '"' && cell.empty()) {
            for (++i;; ++i) {
                if (i >= t.size()) return ok = false, rows;
                if (t[i] == '"' && i + 1 < t.size() && t[i + 1] == '"') {
                    cell += '"';
                    ++i;
                } else if (t[i] == '"') {
                    ++i;
                    break;
                } else {
                    cell += t[i];
                }
            }
        } else if (t[i] == ',') {
            rows.back().emplace_back();
            ++i;
        } else if (t.compare(i, 2, "\r\n") == 0) {
            rows.emplace_back(1);
            i += 2;
        } else if (t[i] == '"' || t[i] == '\r' || t[i] == '\n') {
            return ok = false, rows;  // RFC 4180 wants these quoted
        } else {
            cell += t[i++];
        }
    }
    if (rows.back().size() == 1 && rows.back()[0].empty()) rows.pop_back();
    return rows;
}

void journal_reads_back(const std::string& scratch) {
    const std::string folder = run_folder(scratch, "ledger_back", kinds + 1, kinds);
    expect(read_text(folder + "/manifest.json") == "<none>",
           "no manifest before the last device");
    Ledger again(folder, identity(kinds + 1), true);
    bool all = again.done() == kinds;
    for (size_t i = 0; all && i < kinds; ++i) all = same(again.entries()[i], device(i));
    expect(all, "every device of an interrupted run reads back as it was added");
}

// A kill in the middle of an append: part of the next line, or a whole
// line spoilt at its end (the disk got the newline, not all before it).
void torn_last_line(const std::string& scratch) {
    const std::string tails[] = {"device\t4\t5\t2\tserial_no", "device\t4\t5\t0\t0\t0\t0000000\n",
                                 std::string(300, '\0')};
    for (const std::string& tail : tails) {
        const std::string folder = run_folder(scratch, "ledger_torn", 6, 4);
        const std::string state = folder + "/manifest.state";
        const std::string whole = read_text(state);
        write_text(state, whole + tail);
        Ledger ledger(folder, identity(6), true);
        expect(ledger.done() == 4, "a torn last line is dropped: 4 devices, not " +
                                       std::to_string(ledger.done()));
        expect(read_text(state) == whole, "the state is written again without the torn line");
        in_place(folder, {device(4), device(5)});
        ledger.add({device(4), device(5)});
        expect(Ledger(folder, identity(7), false, true).done() == 0 &&
                   has(refusal(folder, identity(6), true), "already complete: 6 devices"),
               "a resumed run completes after a torn line");
    }
}

void damaged_line(const std::string& scratch) {
    // Lines: 1 the format, 2 input, 3-4 stamps, 5 words, 6 count, 7.. devices.
    struct Case {
        size_t line;
        const char* why;
    } cases[] = {{2, "the input"}, {6, "the count"}, {7, "the first device"},
                 {8, "a device before the last"}};
    for (const Case& c : cases) {
        const std::string folder = run_folder(scratch, "ledger_damaged", 6, 4);
        const std::string state = folder + "/manifest.state";
        std::string text = read_text(state);
        size_t at = 0;
        for (size_t n = 1; n < c.line; ++n) at = text.find('\n', at) + 1;
        text[at + 3] ^= 0x01;
        write_text(state, text);
        const std::string said = refusal(folder, identity(6), true);
        expect(has(said, "manifest.state: line " + std::to_string(c.line) + " is damaged"),
               std::string("a damaged line in ") + c.why + " is refused naming it: " + said);
    }
    const std::string folder = run_folder(scratch, "ledger_damaged", 6, 4);
    write_text(folder + "/manifest.state", "velk-crc devices state 9\n");
    expect(has(refusal(folder, identity(6), true), "line 1 names another version"),
           "a state of another version is refused");
}

void resume_rules(const std::string& scratch) {
    const std::string folder = run_folder(scratch, "ledger_rules", 6, 4);
    Identity other = identity(7);
    other.input_sha256 = std::string(64, 'f');
    expect(has(refusal(folder, other, true),
               "not the same: the input's SHA-256 (aaaaaaaaaaaa..., now ffffffffffff...), "
               "the stamps and the count (6, now 7)"),
           "another run's state names what differs: " + refusal(folder, other, true));
    other = identity(6);
    other.words = "--hex";
    expect(has(refusal(folder, other, true),
               "(not the same: the words that shape the files (\"--hex --bin\", now \"--hex\"))"),
           "other words are named: " + refusal(folder, other, true));
    expect(has(refusal(folder, identity(6), false), "--resume to go on"),
           "a run started again over its interrupted state is pointed to --resume");
    expect(has(refusal(folder, identity(6), false, false, velk::api_asker),
               "resume=True to go on, another out=, or force=True to start over"),
           "the API's caller is told the keywords: " +
               refusal(folder, identity(6), false, false, velk::api_asker));
    expect(has(refusal(folder, other, false), "--force"),
           "a run over another run's state is refused unless --force");

    const std::string empty = run_folder(scratch, "ledger_empty", 6, 0);
    velk::platform::remove(empty + "/manifest.state");
    expect(has(refusal(empty, identity(6), true), "nothing to resume in " + empty),
           "--resume with no state: " + refusal(empty, identity(6), true));

    // Forced over another run: the earlier state and manifests go at start().
    const std::string done = run_folder(scratch, "ledger_done", 4, 4);
    expect(has(refusal(done, identity(4), true), "already complete: 4 devices"),
           "a complete run is not resumed: " + refusal(done, identity(4), true));
    {
        Ledger forced(done, identity(4), true, true);
        expect(forced.done() == 0, "--force makes a complete run again");
        forced.start();
    }
    expect(read_text(done + "/manifest.json") == "<none>" &&
               refusal(done, identity(4), true).empty(),
           "a forced run replaces the earlier state and its manifests");

    // Killed after the last device joined, before the manifests were in
    // place: the resume writes them.
    const std::string cut = run_folder(scratch, "ledger_cut", 4, 4);
    const std::string csv = read_text(cut + "/manifest.csv");
    velk::platform::remove(cut + "/manifest.json");
    velk::platform::remove(cut + "/manifest.csv");
    Ledger resumed(cut, identity(4), true);
    expect(resumed.done() == 4 && read_text(cut + "/manifest.csv") == csv &&
               read_text(cut + "/manifest.json") != "<none>",
           "a resume writes the manifests of a run whose devices are all in place");
}

// A run killed while it wrote a batch leaves its temporaries, and the
// earlier file it had moved aside; the next run in the folder clears what
// gone processes left, and leaves a live run's alone.
void leftovers(const std::string& scratch) {
    const std::string folder = run_folder(scratch, "ledger_leftovers", 4, 2);
    const std::string gone = ".fw_3_CRC.hex.99999999-1.tmp";
    const std::string aside = ".fw_2_CRC.hex.99999999-2.old";
    const std::string live = ".fw_4_CRC.hex." + std::to_string(velk::platform::process_id()) +
                             "-1.tmp";
    for (const std::string& name : {gone, aside, live}) write_text(folder + "/" + name, name);
    Ledger ledger(folder, identity(4), true);
    expect(read_text(folder + "/" + gone) == "<none>", "a killed run's temporary is removed");
    expect(read_text(folder + "/fw_2_CRC.hex") == aside &&
               read_text(folder + "/" + aside) == "<none>",
           "an earlier file a killed run had moved aside is back under its name");
    expect(read_text(folder + "/" + live) == live, "a live run's temporary is left alone");
    velk::platform::remove(folder + "/" + live);
    velk::platform::remove(folder + "/fw_2_CRC.hex");
}

void manifests(const std::string& scratch) {
    const std::string folder = run_folder(scratch, "ledger_manifest", kinds, kinds);
    bool ok = false;
    auto rows = csv_rows(read_text(folder + "/manifest.csv"), ok);
    expect(ok && !rows.empty() &&
               rows[0] == std::vector<std::string>{"id", "serial_no", "label", "crc_value",
                                                   "_CRC.hex", "_CRC.bin"},
           "manifest.csv's header: id, the places, the records, the files' endings");
    bool cells = ok && rows.size() == kinds + 1;
    for (size_t i = 0; cells && i < kinds; ++i) {
        Entry e = device(i);
        cells = rows[i + 1] == std::vector<std::string>{e.id, e.stamps[0].value,
                                                        e.stamps[1].value, e.records[0].value,
                                                        e.files[0].sha256, e.files[1].sha256};
    }
    expect(cells, "every manifest.csv cell reads back as RFC 4180 quotes it");

    const std::string text = read_text(folder + "/manifest.json");
    std::optional<Node> tree = parsed(text);
    expect(tree.has_value(), "manifest.json is JSON");
    Json j{tree ? &*tree : nullptr};
    Identity id = identity(kinds);
    bool head = j["input"].s() == id.input && j["input_sha256"].s() == id.input_sha256 &&
                j["stamps"].size() == 2 && j["stamps"][1]["place"].s() == "label" &&
                j["stamps"][1]["address"].n() == 0x08000200 &&
                j["stamps"][1]["size"].n() == 16 &&
                j["stamps"][1]["values"].s() == id.stamps[1].values;
    expect(head, "manifest.json names the input and the stamps");
    bool entries = j["devices"].size() == kinds;
    for (size_t i = 0; entries && i < kinds; ++i)
        entries = json_entry_is(j["devices"][i], device(i));
    expect(entries, "manifest.json's devices read back as they were added");

    const std::string one = velk::devices::json_line(device(4));
    std::optional<Node> line = parsed(one);
    expect(one.find('\n') == std::string::npos && line &&
               json_entry_is(Json{&*line}, device(4)),
           "a device's --json line is one JSON object on one line: " + one);
}

int run(const std::string& scratch) {
    try {
        journal_reads_back(scratch);
        torn_last_line(scratch);
        damaged_line(scratch);
        resume_rules(scratch);
        leftovers(scratch);
        manifests(scratch);
    } catch (const velk::Refusal& r) {
        expect(false, "refused: " + r.text);
    }
    // The scratch folder is the engine test's: its run folders go.
    for (const auto& entry : std::filesystem::directory_iterator(scratch))
        if (entry.path().filename().string().rfind("ledger_", 0) == 0)
            std::filesystem::remove_all(entry.path());
    return failures;
}

}  // namespace ledger_checks

int ledger_test(const std::string& scratch) {
    return ledger_checks::run(scratch);
}
