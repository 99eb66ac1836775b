#include "names_lock.h"

#include <chrono>

#include "replacing_file.h"

namespace velk::outfile {

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that a run taking its turn at once never says anything.
constexpr auto said_after = std::chrono::seconds(2);
// Between tries; a signal ends the pause early, so that the run answers
// Ctrl-C or a kill at once.
constexpr long retry_after_ms = 50;

}  // namespace

NamesLock::NamesLock(std::string path, Waiting& waiting) : path_(std::move(path)) {
    const Clock::time_point since = Clock::now();
    bool told = false;
    for (;;) {
        if (int error = file_.open(path_)) throw OsFailure{error, path_};
        int error = 0;
        for (;;) {
            platform::LockFile::Try got = file_.try_lock(error);
            if (got != platform::LockFile::Try::busy) break;
            try {
                waiting.still_waiting(path_);
                if (!told && Clock::now() - since >= said_after) {
                    told = true;
                    waiting.waiting_long(path_);
                }
            } catch (...) {
                file_.close();
                throw;
            }
            platform::pause_ms(retry_after_ms);
        }
        if (error != 0) {
            file_.close();
            if (platform::LockFile::no_locks(error)) return;
            throw OsFailure{error, path_};
        }
        // The run before removed the file while this one waited for it:
        // a run that came since locks a new file under the name, so only
        // the file the name still holds counts.
        if (file_.still_named(path_)) {
            held_ = true;
            return;
        }
        file_.close();
    }
}

NamesLock::~NamesLock() {
    if (!held_) return;
    // Removed while still held: a run waiting on it finds it gone and
    // opens the name again.
    platform::remove(path_);
    file_.close();
}

}  // namespace velk::outfile
