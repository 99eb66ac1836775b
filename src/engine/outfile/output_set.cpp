#include "output_set.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <set>

#include "leftovers.h"
#include "names.h"

namespace velk::outfile {

namespace {

// Holds back the signals that end a build step (Ctrl-C, kill, a closed
// terminal) while names change hands; they arrive when it is done.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, s);
        pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t before_;
};

// A file (or symlink) under the name. A directory is never moved: putting
// a file there fails, and that failure undoes the run.
bool file_at(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The renames on the disk, as a version control system or a database
// makes them: after a power cut each name holds the earlier file or the
// new one. The files are in place already; a folder that cannot be synced
// leaves that to the file system.
void sync_folders(const std::deque<ReplacingFile>& files,
                  const std::vector<std::string>& removed) {
    std::set<std::string> folders;
    for (const ReplacingFile& file : files) folders.insert(directory_of(file.target()));
    for (const std::string& target : removed) folders.insert(directory_of(target));
    for (const std::string& folder : folders) {
        int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) continue;
        ::fsync(fd);
        ::close(fd);
    }
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
    if (::rename(target.c_str(), hidden.c_str()) != 0) {
        int error = errno;
        throw OsFailure{error, target, restore(aside)};
    }
    aside.push_back({target, std::move(hidden)});
}

std::string OutputSet::restore(std::vector<Aside>& aside) noexcept {
    std::string kept;
    for (auto it = aside.rbegin(); it != aside.rend(); ++it)
        if (::rename(it->hidden.c_str(), it->target.c_str()) != 0)
            kept += (kept.empty() ? "" : ", ") + it->hidden;
    aside.clear();
    return kept;
}

void OutputSet::commit(Waiting& waiting) {
    for (ReplacingFile& file : files_) file.finish();
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
    SignalsHeld held;
    std::vector<Aside> aside;
    for (ReplacingFile& file : files_) move_aside(file.target(), aside);
    for (const std::string& target : stale_) move_aside(target, aside);

    for (size_t i = 0; i < files_.size(); ++i) {
        ReplacingFile& file = files_[i];
        if (::rename(file.temporary().c_str(), file.target().c_str()) == 0) {
            file.placed();
            continue;
        }
        int error = errno;
        for (size_t j = 0; j < i; ++j) ::unlink(files_[j].target().c_str());
        throw OsFailure{error, file.target(), restore(aside)};
    }
    for (const Aside& a : aside) {
        ::unlink(a.hidden.c_str());
        for (const std::string& target : stale_)
            if (target == a.target) removed_.push_back(target);
    }
    sync_folders(files_, removed_);
    lock.reset();  // before the signals held back arrive
}

}  // namespace velk::outfile
