#include "names_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace

NamesLock::NamesLock(std::string path) : path_(std::move(path)) {
    for (;;) {
        int fd = open_lock_file(path_);
        int locked;
        while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked != 0) {
            int error = errno;
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
