#include "ledger.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "../outfile/leftovers.h"
#include "../outfile/names.h"
#include "../outfile/replacing_file.h"
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "../request/option_table.h"
#include "manifest_files.h"
#include "state_lines.h"

namespace velk::devices {

namespace {

const char* const state_name = "manifest.state";
const char* const json_name = "manifest.json";
const char* const csv_name = "manifest.csv";

// A file (or a symlink) under the name.
bool file_at(const std::string& path) {
    platform::Kind kind = platform::kind_of(path, false);
    return kind != platform::Kind::none && kind != platform::Kind::directory;
}

std::string listed(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    return out;
}

// The names in `folder` that a run killed while it wrote them left
// temporaries or moved-aside files beside: the devices' files, the
// manifests, the state. The folder is the devices run's own, so every
// such leftover there is a run's of this kind.
std::vector<std::string> killed_targets(const std::string& folder) {
    std::vector<std::string> targets;
    for (const std::string& name : platform::entries(folder)) {
        if (name.size() < 2 || name[0] != '.') continue;
        for (const char* suffix : {".tmp", ".old"}) {
            // ".<base>.<pid>-<n><suffix>": the base ends at the dot before
            // the process's id.
            size_t tail = name.size() - std::min(name.size(), std::strlen(suffix));
            if (name.compare(tail, std::string::npos, suffix) != 0) continue;
            size_t dot = name.rfind('.', tail - 1);
            if (dot == std::string::npos || dot < 2) continue;
            std::string target = outfile::join_path(folder, name.substr(1, dot - 1));
            if (platform::process_gone(outfile::hidden_owner(name, target, suffix)))
                targets.push_back(std::move(target));
        }
    }
    std::sort(targets.begin(), targets.end());
    targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
    return targets;
}

// `text` under `target`, whole or not at all: written beside, synced, then
// renamed over whatever the name held (one rename, so that a kill leaves
// the one file or the other, never neither). A kill from outside (SIGTERM,
// a closed terminal) waits until the file is in place or taken away, as
// it does for the devices' files, so that it leaves no temporary behind.
class Replacement {
public:
    explicit Replacement(const std::string& target) : file_(target) {}
    void write(const std::string& text) { file_.write(text.data(), text.size()); }
    void finish() { file_.finish(); }
    void place() {
        if (int error = platform::rename(file_.temporary(), file_.target()))
            throw outfile::OsFailure{error, file_.target()};
        file_.placed();
    }

private:
    platform::TerminationHeld held_;  // made first, gone last
    outfile::ReplacingFile file_;
};

// What the folder's file system refused, worded as FLASH words an output
// it cannot write: "cannot write out/manifest.state: No space left on device".
template <class Step>
void worded(Step step) {
    try {
        step();
    } catch (const outfile::OsFailure& failure) {
        throw Refusal{"cannot write " + failure.path + ": " + platform::error_text(failure.error)};
    }
}

}  // namespace

Ledger::Ledger(std::string folder, Identity identity, bool resume, bool force,
               const Asker& asker)
    : folder_(std::move(folder)), identity_(std::move(identity)), asker_(asker) {
    worded([&] { open(resume, force); });
}

void Ledger::open(bool resume, bool force) {
    const std::string state = state_path();
    const std::string json = outfile::join_path(folder_, json_name);
    const std::string csv = outfile::join_path(folder_, csv_name);
    // What a killed run left beside its files goes (or, moved aside,
    // back), so that the folder holds whole files only.
    outfile::clear_leftovers(killed_targets(folder_));

    std::vector<uint8_t> bytes;
    int error = platform::read_file(state, bytes);
    if (error != 0 && error != ENOENT && error != ENOTDIR)
        throw Refusal{"cannot read " + state + ": " + platform::error_text(error)};
    const bool has_state = error == 0;
    if (!resume && force) return;  // start() replaces what is there
    // What the refusals offer: "--resume", "another --out", "--force".
    const std::string go_on = asker_.turned_on(Option::resume);
    const std::string elsewhere = std::string("another ") + asker_.name(Option::out) +
                                  (asker_.by_keyword() ? "=" : "");
    const std::string forced = asker_.turned_on(Option::force);

    if (!has_state) {
        if (resume)
            throw Refusal{"nothing to resume in " + folder_ + ": it holds no " + state_name +
                          "; leave out " + go_on + " to start the run"};
        for (const std::string& manifest : {json, csv})
            if (file_at(manifest))
                throw Refusal{manifest + " is another run's: its devices would be mixed "
                              "with this run's; use " + elsewhere + ", or " + forced +
                              " to replace them"};
        return;
    }

    std::string text(bytes.begin(), bytes.end());
    bytes = {};
    state::Read read = state::read(text);
    text = {};
    std::vector<std::string> differ;
    if (read.damage.empty()) differ = state::differences(read.identity, identity_);
    const size_t count = identity_.count;

    if (!resume) {
        if (!read.damage.empty())
            throw Refusal{state + " is another run's (" + read.damage + "): use " +
                          elsewhere + ", or " + forced + " to start a new run there"};
        if (!differ.empty())
            throw Refusal{state + " is another run's (not the same: " + listed(differ) +
                          "): its devices would be mixed with this run's; use " + elsewhere +
                          ", or " + forced + " to replace them"};
        if (read.entries.size() < count)
            throw Refusal{folder_ + " holds this run interrupted (" +
                          std::to_string(read.entries.size()) + " of " +
                          std::to_string(count) + " devices): " + go_on + " to go on, " +
                          elsewhere + ", or " + forced + " to start over"};
        if (!file_at(json) || !file_at(csv))
            throw Refusal{folder_ + " holds this run's " + std::to_string(count) +
                          " devices, but not its manifests: " + go_on + " writes them, or " +
                          forced + " makes the run again"};
        throw Refusal{folder_ + " holds this run already complete: " + std::to_string(count) +
                      " devices; use " + elsewhere + ", or " + forced + " to make them again"};
    }

    if (!read.damage.empty())
        throw Refusal{state + ": " + read.damage + "; it cannot be resumed: leave out " +
                      go_on + " and use " + forced + " to start over"};
    if (!differ.empty())
        throw Refusal{"cannot resume " + state + ": another run's (not the same: " +
                      listed(differ) + "); resume with its input and words, or use " +
                      elsewhere};
    if (read.entries.size() == count) {
        if (force) return;  // made again from the first device
        if (file_at(json) && file_at(csv))
            throw Refusal{folder_ + ": already complete: " + std::to_string(count) +
                          " devices; nothing to resume (" + forced + " makes them again)"};
    }
    // A resume goes on after the devices the state names as in place: a
    // file of theirs gone since (deleted by hand, a folder copied in part)
    // would leave the manifests naming a device without its file.
    for (const Entry& entry : read.entries)
        for (const Entry::Written& file : entry.files) {
            const std::string path = outfile::join_path(folder_, file.name);
            if (!file_at(path))
                throw Refusal{"cannot resume " + folder_ + ": " + path + " of device " +
                              entry.id + ", which " + state_name +
                              " names as in place, is not there; " + forced +
                              " makes the run again"};
        }
    entries_ = std::move(read.entries);
    started_ = true;
    if (read.torn) write_state();
    // Killed after the last batch joined, before the manifests were in
    // place: the run completes here.
    if (entries_.size() == count) write_manifests();
}

std::string Ledger::state_path() const {
    return outfile::join_path(folder_, state_name);
}

void Ledger::start() {
    if (!started_) worded([&] { replace_run(); });
}

void Ledger::replace_run() {
    // The manifests first: a kill before the new state is in place leaves
    // the earlier state, which a resume completes again.
    for (const char* name : {json_name, csv_name}) {
        const std::string path = outfile::join_path(folder_, name);
        if (!file_at(path)) continue;
        if (int error = platform::remove(path)) throw outfile::OsFailure{error, path};
    }
    write_state();
    started_ = true;
}

void Ledger::write_state() {
    Replacement file(state_path());
    file.write(state::identity_lines(identity_));
    std::string lines;
    for (const Entry& e : entries_) {
        lines += state::entry_line(e);
        if (lines.size() >= 64 * 1024) {
            file.write(lines);
            lines.clear();
        }
    }
    file.write(lines);
    file.finish();
    file.place();
    platform::sync_folder(folder_);
}

void Ledger::add(std::vector<Entry> batch) {
    start();
    if (!batch.empty()) worded([&] { append(std::move(batch)); });
}

void Ledger::append(std::vector<Entry> batch) {
    std::string lines;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (batch[i].index != entries_.size() + i || entries_.size() + i >= identity_.count)
            throw InternalError{"the devices' ledger was given device " +
                                std::to_string(batch[i].index) + " where device " +
                                std::to_string(entries_.size() + i) + " of " +
                                std::to_string(identity_.count) + " was next"};
        lines += state::entry_line(batch[i]);
    }
    const std::string state = state_path();
    platform::NewFile journal;
    if (int error = journal.append(state)) throw outfile::OsFailure{error, state};
    if (int error = journal.write(lines.data(), lines.size()))
        throw outfile::OsFailure{error, state};
    if (int error = journal.sync_and_close()) throw outfile::OsFailure{error, state};

    for (Entry& e : batch) entries_.push_back(std::move(e));
    if (entries_.size() == identity_.count) write_manifests();
}

void Ledger::write_manifests() const {
    Replacement json(outfile::join_path(folder_, json_name));
    manifest::write_json(identity_, entries_, [&](const std::string& text) { json.write(text); });
    json.finish();
    Replacement csv(outfile::join_path(folder_, csv_name));
    manifest::write_csv(entries_, [&](const std::string& text) { csv.write(text); });
    csv.finish();
    json.place();
    csv.place();
    platform::sync_folder(folder_);
}

}  // namespace velk::devices
