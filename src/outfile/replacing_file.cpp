#include "replacing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace velk::outfile {

namespace {

[[noreturn]] void fail(int error) {
    throw OsFailure{error};
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
            fail(errno);
    }
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

ReplacingFile::ReplacingFile(std::string target) : target_(std::move(target)) {
    refuse_like_open(target_);
    // Hidden and ending in .tmp: a leftover after a kill is never taken for
    // a finished output.
    std::string base = base_of(target_).substr(0, 100);
    std::string prefix = directory_of(target_) + "/." + base + ".";
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char unique[48];
        std::snprintf(unique, sizeof unique, "%ld-%u.tmp", static_cast<long>(::getpid()),
                      counter++);
        std::string name = prefix + unique;
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                     0666);
        if (fd_ >= 0) {
            temporary_ = std::move(name);
            return;
        }
        if (errno != EEXIST) fail(errno);
    }
    fail(EEXIST);
}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      committed_(std::exchange(other.committed_, true)) {}

ReplacingFile::~ReplacingFile() {
    discard();
}

void ReplacingFile::write(const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd_, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void ReplacingFile::commit() {
    int fd = std::exchange(fd_, -1);
    // close() is where a network file system reports a failed write.
    if (::close(fd) != 0 && errno != EINTR) fail(errno);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) fail(errno);
    committed_ = true;
}

void ReplacingFile::discard() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
    committed_ = true;
}

}  // namespace velk::outfile
