#include "names_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "replacing_file.h"

namespace velk::outfile {

namespace {

// Another user's lock file in a shared folder is only readable to us;
// flock takes a read-only file too (except over NFS, which then says so).
int open_lock_file(const std::string& path) {
    const int flags = O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    int fd = ::open(path.c_str(), O_RDWR | flags, 0666);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | flags, 0666);
    if (fd < 0) throw OsFailure{errno, path};
    return fd;
}

// Locks that a file system does not keep.
bool no_locks_here(int error) {
    return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL;
}

using Clock = std::chrono::steady_clock;

// Long enough that a run taking its turn at once never says anything.
constexpr auto said_after = std::chrono::seconds(2);
constexpr long retry_after_ns = 50 * 1000 * 1000;

// Between tries. A signal ends the pause early, so that the run answers
// Ctrl-C or a kill at once.
void pause() {
    timespec interval{0, retry_after_ns};
    ::nanosleep(&interval, nullptr);
}

// Locks `fd` once no other run holds it: 0, or the errno of a failure.
int take_turn(int fd, const std::string& path, Waiting& waiting, Clock::time_point since,
              bool& told) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        waiting.still_waiting(path);
        if (!told && Clock::now() - since >= said_after) {
            told = true;
            waiting.waiting_long(path);
        }
        pause();
    }
}

}  // namespace

NamesLock::NamesLock(std::string path, Waiting& waiting) : path_(std::move(path)) {
    const Clock::time_point since = Clock::now();
    bool told = false;
    for (;;) {
        int fd = open_lock_file(path_);
        int error;
        try {
            error = take_turn(fd, path_, waiting, since, told);
        } catch (...) {
            ::close(fd);
            throw;
        }
        if (error != 0) {
            ::close(fd);
            if (no_locks_here(error)) return;
            throw OsFailure{error, path_};
        }
        // The run before removed the file while this one waited for it:
        // a run that came since locks a new file under the name, so only
        // the file the name still holds counts.
        struct stat held, named;
        if (::fstat(fd, &held) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            fd_ = fd;
            return;
        }
        ::close(fd);
    }
}

NamesLock::~NamesLock() {
    if (fd_ < 0) return;
    // Removed while still held: a run waiting on it finds it gone and
    // opens the name again.
    ::unlink(path_.c_str());
    ::close(fd_);
}

}  // namespace velk::outfile
