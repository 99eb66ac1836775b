// The operating system calls of the engine, for POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "platform.h"

namespace velk::platform {

namespace {

Kind kind_of_mode(mode_t mode) {
    if (S_ISREG(mode)) return Kind::file;
    if (S_ISDIR(mode)) return Kind::directory;
    if (S_ISFIFO(mode)) return Kind::fifo;
    if (S_ISSOCK(mode)) return Kind::socket;
    if (S_ISCHR(mode)) return Kind::character_device;
    if (S_ISBLK(mode)) return Kind::block_device;
    if (S_ISLNK(mode)) return Kind::link;
    return Kind::other;
}

// A system call interrupted by a signal is made again; the signal's own
// answer (Ctrl-C, a termination) comes between the engine's steps.
template <class Call>
auto again(Call call) {
    decltype(call()) result;
    do result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace

std::string error_text(int error) {
    if (const char* text = not_regular_text(error)) return text;
    return std::strerror(error);
}

Kind kind_of(const std::string& path, bool follow_links) {
    struct stat st;
    int status = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    return status == 0 ? kind_of_mode(st.st_mode) : Kind::none;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

namespace {

// Opens `path` to read it as a file, `st` what it is: a FIFO is opened
// without waiting for its writer, then refused with the devices. The
// descriptor, or -1 with `error` set.
int open_regular(const std::string& path, struct stat& st, int& error) {
    int fd = again([&] {
        return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    });
    if (fd < 0) {
        error = errno;
        return -1;
    }
    error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (S_ISDIR(st.st_mode))
        error = EISDIR;
    else if (!S_ISREG(st.st_mode))
        error = not_regular(kind_of_mode(st.st_mode));
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error == 0) return fd;
    ::close(fd);
    return -1;
}

// Closes `fd`, handing `error` on.
int closed(int fd, int error) {
    ::close(fd);
    return error;
}

}  // namespace

int read_file(const std::string& path, std::vector<uint8_t>& out, uint64_t most) {
    struct stat st;
    int error;
    int fd = open_regular(path, st, error);
    if (fd < 0) return error;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > most) return closed(fd, EFBIG);
    out.clear();
    // One byte past the size, so that a file which grew since fstat is seen
    // to, and read to its end or past the bound.
    out.resize(static_cast<size_t>(size) + 1);
    size_t done = 0;
    for (;;) {
        ssize_t got = again([&] { return ::read(fd, out.data() + done, out.size() - done); });
        if (got < 0) return closed(fd, errno);
        if (got == 0) break;
        done += static_cast<size_t>(got);
        if (done > most) return closed(fd, EFBIG);
        if (done == out.size()) {
            uint64_t grown = out.size() + 65536;
            if (most != any_size) grown = std::min(grown, most + 1);
            out.resize(static_cast<size_t>(grown));
        }
    }
    out.resize(done);
    return closed(fd, 0);
}

int descriptor_size(int descriptor, uint64_t& size) {
    struct stat st;
    if (::fstat(descriptor, &st) != 0) return errno;
    size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int read_at(int descriptor, uint64_t offset, uint8_t* data, size_t size, size_t& got) {
    got = 0;
    while (got < size) {
        ssize_t read = again([&] {
            return ::pread(descriptor, data + got, size - got,
                           static_cast<off_t>(offset + got));
        });
        if (read < 0) return errno;
        if (read == 0) break;
        got += static_cast<size_t>(read);
    }
    return 0;
}

int writable(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return 0;
    }
    switch (errno) {
        case ENOENT:  // nothing there yet (or no folder: making the file says so)
        case ELOOP:   // a symlink
        case ENXIO:   // a FIFO nobody reads
            return 0;
        default:
            return errno;
    }
}

NewFile::NewFile(NewFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      kept_(std::exchange(other.kept_, true)) {}

NewFile::~NewFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_ && !path_.empty()) ::unlink(path_.c_str());
}

int NewFile::create(const std::string& path) {
    fd_ = again([&] {
        return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    });
    if (fd_ < 0) return errno;
    path_ = path;
    return 0;
}

int NewFile::append(const std::string& path) {
    fd_ = again([&] {
        return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    });
    if (fd_ < 0) return errno;
    path_ = path;
    kept_ = true;
    return 0;
}

int NewFile::write(const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = again([&] { return ::write(fd_, data, size); });
        if (written < 0) return errno;
        data += written;
        size -= static_cast<size_t>(written);
        written_ += static_cast<uint64_t>(written);
    }
#ifdef __linux__
    // A large file starts for the disk while the rest is made: the sync
    // before its name is given then waits for its last stretch only.
    constexpr uint64_t stretch = uint64_t{8} << 20;
    if (written_ - sent_ >= stretch) {
        ::sync_file_range(fd_, static_cast<off_t>(sent_), static_cast<off_t>(written_ - sent_),
                          SYNC_FILE_RANGE_WRITE);
        sent_ = written_;
    }
#else
    (void)sent_;
#endif
    return 0;
}

int NewFile::sync_and_close() {
    if (fd_ < 0) return 0;
    int fd = std::exchange(fd_, -1);
#ifdef F_FULLFSYNC
    // macOS's fsync leaves the data in the drive's cache: only F_FULLFSYNC
    // puts it on the medium. File systems that refuse it get fsync.
    if (::fcntl(fd, F_FULLFSYNC) == 0) {
        if (::close(fd) != 0 && errno != EINTR) return errno;
        return 0;
    }
#endif
    if (::fsync(fd) != 0 && errno != EINTR && errno != EINVAL) {
        int error = errno;
        ::close(fd);
        return error;
    }
    if (::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
}

int NewFile::close_unsynced() {
    if (fd_ < 0) return 0;
    int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
}

bool syncs_file_systems() {
#ifdef __linux__
    return true;
#else
    return false;
#endif
}

int sync_file_system(const std::string& folder) {
#ifdef __linux__
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = ::syncfs(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
#else
    (void)folder;
    return ENOSYS;
#endif
}

int rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int remove(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

void sync_folder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
    ::closedir(dir);
    return names;
}

long process_id() {
    return static_cast<long>(::getpid());
}

bool process_gone(long pid) {
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void pause_ms(long milliseconds) {
    timespec interval{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    ::nanosleep(&interval, nullptr);
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

int FolderLock::take(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EINTR ? EWOULDBLOCK : errno;
        ::close(fd);
        // A file system that keeps no locks: nothing is held.
        return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS ? 0 : error;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return 0;
}

LockFile::~LockFile() {
    close();
}

int LockFile::open(const std::string& path) {
    const int flags = O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    fd_ = ::open(path.c_str(), O_RDWR | flags, 0666);
    // Another user's lock file in a shared folder is only readable to us;
    // flock takes a read-only file too (except over NFS, which then says so).
    if (fd_ < 0 && errno == EACCES) fd_ = ::open(path.c_str(), O_RDONLY | flags, 0666);
    return fd_ < 0 ? errno : 0;
}

LockFile::Try LockFile::try_lock(int& error) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return Try::taken;
    if (errno == EWOULDBLOCK || errno == EINTR) return Try::busy;
    error = errno;
    return Try::failed;
}

bool LockFile::still_named(const std::string& path) const {
    struct stat held, named;
    return ::fstat(fd_, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void LockFile::close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

bool LockFile::no_locks(int error) {
    return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL;
}

static_assert(sizeof(sigset_t) <= sizeof(unsigned char[128]));

SignalsHeld::SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, s);
    pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(before_));
}

SignalsHeld::~SignalsHeld() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(before_), nullptr);
}

namespace {

constexpr int caught[] = {SIGTERM, SIGHUP, SIGQUIT};
constexpr int count = sizeof caught / sizeof caught[0];

volatile sig_atomic_t signal_received = 0;
std::mutex guards;
int depth = 0;  // guards alive: the outermost one installs and restores
struct sigaction before[count];
bool installed[count];

void note(int signal_number) {
    signal_received = signal_number;
}

}  // namespace

TerminationHeld::TerminationHeld() {
    std::lock_guard<std::mutex> lock(guards);
    if (depth++ > 0) return;
    signal_received = 0;
    for (int i = 0; i < count; ++i) {
        installed[i] = false;
        if (sigaction(caught[i], nullptr, &before[i]) != 0) continue;
        bool by_default =
            !(before[i].sa_flags & SA_SIGINFO) && before[i].sa_handler == SIG_DFL;
        if (!by_default) continue;
        struct sigaction action{};
        action.sa_handler = note;
        sigemptyset(&action.sa_mask);
        installed[i] = sigaction(caught[i], &action, nullptr) == 0;
    }
}

TerminationHeld::~TerminationHeld() {
    int signal_number = 0;
    {
        std::lock_guard<std::mutex> lock(guards);
        if (--depth > 0) return;
        for (int i = 0; i < count; ++i)
            if (installed[i]) sigaction(caught[i], &before[i], nullptr);
        signal_number = signal_received;
        signal_received = 0;
    }
    if (signal_number != 0) ::raise(signal_number);
}

int TerminationHeld::received() {
    return signal_received;
}

}  // namespace velk::platform
