#include "replacing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "names.h"

namespace velk::outfile {

namespace {

[[noreturn]] void fail(int error, const std::string& path) {
    throw OsFailure{error, path};
}

// What open(target, "w") would say about an existing target, without
// truncating it. A symlink is not followed (it is replaced), and a FIFO
// without a reader does not block.
void refuse_like_open(const std::string& target) {
    int fd =
        ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    switch (errno) {
        case ENOENT:  // nothing there yet (or no directory: creating says so)
        case ELOOP:   // a symlink
        case ENXIO:   // a FIFO nobody reads
            return;
        default:
            fail(errno, target);
    }
}

}  // namespace

ReplacingFile::ReplacingFile(std::string target) : target_(std::move(target)) {
    refuse_like_open(target_);
    // Hidden and ending in .tmp: a leftover after a kill is never taken for
    // a finished output.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string name = hidden_sibling(target_, ".tmp");
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                     0666);
        if (fd_ >= 0) {
            temporary_ = std::move(name);
            return;
        }
        if (errno != EEXIST) fail(errno, target_);
    }
    fail(EEXIST, target_);
}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      placed_(std::exchange(other.placed_, true)) {}

ReplacingFile::~ReplacingFile() {
    discard();
}

void ReplacingFile::write(const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd_, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(errno, target_);
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void ReplacingFile::finish() {
    if (fd_ < 0) return;
    int fd = std::exchange(fd_, -1);
    // On the disk before its name is: after a power cut the name must not
    // hold an empty file. A file system that keeps nothing to sync says
    // EINVAL.
    if (::fsync(fd) != 0 && errno != EINTR && errno != EINVAL) {
        int error = errno;
        ::close(fd);
        fail(error, target_);
    }
    if (::close(fd) != 0 && errno != EINTR) fail(errno, target_);
}

void ReplacingFile::discard() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (!placed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
    placed_ = true;
}

}  // namespace velk::outfile
