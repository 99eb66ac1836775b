#include "output_set.h"

#include <optional>
#include <set>

#include "leftovers.h"
#include "names.h"

namespace velk::outfile {

namespace {

// A file (or symlink) under the name. A directory is never moved: putting
// a file there fails, and that failure undoes the run.
bool file_at(const std::string& path) {
    platform::Kind kind = platform::kind_of(path, false);
    return kind != platform::Kind::none && kind != platform::Kind::directory;
}

// The renames on the disk, as a version control system or a database
// makes them: after a power cut each name holds the earlier file or the
// new one.
void sync_folders(const std::deque<ReplacingFile>& files,
                  const std::vector<std::string>& removed) {
    std::set<std::string> folders;
    for (const ReplacingFile& file : files) folders.insert(directory_of(file.target()));
    for (const std::string& target : removed) folders.insert(directory_of(target));
    for (const std::string& folder : folders) platform::sync_folder(folder);
}

}  // namespace

ReplacingFile& OutputSet::add(std::string target) {
    files_.emplace_back(std::move(target));
    return files_.back();
}

void OutputSet::remove(std::string target) {
    stale_.push_back(std::move(target));
}

void OutputSet::move_aside(const std::string& target, std::vector<Aside>& aside) {
    if (!file_at(target)) return;
    std::string hidden = hidden_sibling(target, ".old");
    if (int error = platform::rename(target, hidden))
        throw OsFailure{error, target, restore(aside)};
    aside.push_back({target, std::move(hidden)});
}

std::string OutputSet::restore(std::vector<Aside>& aside) noexcept {
    std::string kept;
    for (auto it = aside.rbegin(); it != aside.rend(); ++it)
        if (platform::rename(it->hidden, it->target) != 0)
            kept += (kept.empty() ? "" : ", ") + it->hidden;
    aside.clear();
    return kept;
}

void OutputSet::commit(Waiting& waiting) {
    if (!together_.empty() && platform::syncs_file_systems()) {
        for (ReplacingFile& file : files_) file.finish_unsynced();
        if (int error = platform::sync_file_system(together_))
            throw OsFailure{error, together_};
    } else {
        for (ReplacingFile& file : files_) file.finish();
    }
    std::optional<NamesLock> lock;
    if (claim_ == Claim::locked) {
        std::vector<std::string> targets;
        for (const ReplacingFile& file : files_) targets.push_back(file.target());
        targets.insert(targets.end(), stale_.begin(), stale_.end());
        // The names share one root (fw_CRC.hex, fw_CRC.elf, fw_CRC_merged.hex,
        // ...): one lock, named after the shortest, whichever file came first.
        if (!targets.empty()) {
            const std::string* shortest = &targets.front();
            for (const std::string& target : targets)
                if (path_root(target).size() < path_root(*shortest).size())
                    shortest = &target;
            lock.emplace(lock_path_for(*shortest), waiting);
        }
        if (lock && lock->held()) clear_leftovers(targets);
    }
    platform::SignalsHeld held;
    std::vector<Aside> aside;
    for (ReplacingFile& file : files_) move_aside(file.target(), aside);
    for (const std::string& target : stale_) move_aside(target, aside);

    for (size_t i = 0; i < files_.size(); ++i) {
        ReplacingFile& file = files_[i];
        int error = platform::rename(file.temporary(), file.target());
        if (error == 0) {
            file.placed();
            continue;
        }
        for (size_t j = 0; j < i; ++j) platform::remove(files_[j].target());
        throw OsFailure{error, file.target(), restore(aside)};
    }
    for (const Aside& a : aside) {
        platform::remove(a.hidden);
        for (const std::string& target : stale_)
            if (target == a.target) removed_.push_back(target);
    }
    sync_folders(files_, removed_);
    lock.reset();  // before the signals held back arrive
}

}  // namespace velk::outfile
