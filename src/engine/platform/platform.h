// Every call the engine makes to the operating system: reading a file,
// writing new ones beside their names and moving them into place, the
// names' lock, what a killed run left, and the signals that end a build
// step: posix.cpp for POSIX systems, windows.cpp for Windows, behind the
// same declarations. Paths are the file system's bytes (UTF-8 on Windows).
// A failure is the system's error number; error_text() words it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velk::platform {

// How paths are spelt: which characters separate a path's components, the
// one that joins them, and whether "Z:" before them names a drive (then
// "Z:" alone is a folder, the drive's current one, and "Z:\" its root).
// Windows tools pass backslashes and forward slashes alike.
#ifdef _WIN32
inline constexpr char path_separators[] = "/\\";
inline constexpr char path_separator = '\\';
inline constexpr bool drive_letters = true;
#else
inline constexpr char path_separators[] = "/";
inline constexpr char path_separator = '/';
inline constexpr bool drive_letters = false;
#endif

// "No such file or directory"; and read_file's own refusals below.
std::string error_text(int error);

// What a path names, the last link followed or not.
enum class Kind {
    none,       // nothing, or nothing this process may look at
    file,       // a regular file
    directory,
    fifo,
    socket,
    character_device,
    block_device,
    link,       // a symbolic link (not followed)
    other,
};
Kind kind_of(const std::string& path, bool follow_links = true);

// The files a path and an open file are: the same one, or not.
bool same_file(const std::string& a, const std::string& b);

// An environment variable's value; nullopt when it is not set.
std::optional<std::string> environment(const char* name);

// What read_file and read_chunks refuse beyond the system's numbers: a
// path that names no regular file. A FIFO's writer may never come and a
// device may never end (/dev/zero), so neither is read as a file's bytes.
// error_text() says which kind it is ("not a regular file but a FIFO").
int not_regular(Kind kind);
// not_regular's words for `error`; nullptr when it is none of not_regular's
// (error_text's first question on every system).
const char* not_regular_text(int error);

// No bound on what read_file reads.
constexpr uint64_t any_size = UINT64_MAX;

// A whole regular file into `out`: 0, or the error number. A file of more
// than `most` bytes is EFBIG: a response file or a key is small, and a
// file that grows while read stops there too.
int read_file(const std::string& path, std::vector<uint8_t>& out, uint64_t most = any_size);

// A file another part of the process opened (the interpreter's file
// objects), by its C runtime descriptor: its size, and up to `size` bytes
// from `offset` into `data` without moving the descriptor's position, so
// that its owner reads on where it was. 0, or the error number; `got` is
// short at the file's end.
int descriptor_size(int descriptor, uint64_t& size);
int read_at(int descriptor, uint64_t offset, uint8_t* data, size_t size, size_t& got);

// What opening `path` for writing would say, without truncating what is
// there: 0, or the error number. A symlink (replaced, not written through),
// a FIFO nobody reads and a missing file (made anew) are fine.
int writable(const std::string& path);

// A new file this process writes. Closed (and, when not kept, removed) when
// it goes.
class NewFile {
public:
    NewFile() = default;
    NewFile(NewFile&& other) noexcept;
    NewFile& operator=(NewFile&&) = delete;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    // Makes `path`, which must not exist, with mode 0666 less the umask: 0,
    // EEXIST when it does, or another error number.
    int create(const std::string& path);
    // Opens `path`, which must exist, to write at its end: 0, or the error
    // number. The file stays when this goes (a journal grows by appends).
    int append(const std::string& path);
    // All of `data`: 0, or the error number.
    int write(const char* data, size_t size);
    // On the disk, then closed: 0, or the error number. A file system that
    // keeps nothing to sync is no failure.
    int sync_and_close();
    // Closed without a sync of its own: 0, or the error number. For a
    // file whose whole file system is synced once with others
    // (sync_file_system).
    int close_unsynced();
    // The file stays under its name when this goes.
    void keep() { kept_ = true; }
#ifdef _WIN32
    bool open() const { return handle_ != nullptr; }
#else
    bool open() const { return fd_ >= 0; }
#endif

private:
    std::string path_;
#ifdef _WIN32
    void* handle_ = nullptr;  // the file's HANDLE while open
#else
    int fd_ = -1;
#endif
    bool kept_ = false;
    uint64_t written_ = 0, sent_ = 0;  // bytes written, and handed to the disk early
};

// rename() and unlink(): 0, or the error number.
int rename(const std::string& from, const std::string& to);
int remove(const std::string& path);

// The renames in a folder on the disk; a folder that cannot be synced is
// left to its file system.
void sync_folder(const std::string& folder);

// Whether sync_file_system() puts a whole file system on the disk in one
// call here (Linux's syncfs): a batch of many files costs one sync, not one
// each. Elsewhere each file is synced as it closes.
bool syncs_file_systems();
// Everything written to the file system that holds `folder` on the disk:
// 0, or the error number (ENOSYS where syncs_file_systems() is false).
int sync_file_system(const std::string& folder);

// The names in a folder; none when it cannot be read.
std::vector<std::string> entries(const std::string& folder);

long process_id();
// Whether no process has this id any more.
bool process_gone(long pid);

// A pause between tries, cut short by a signal.
void pause_ms(long milliseconds);

// An advisory lock on a file, which goes with its process.
class LockFile {
public:
    LockFile() = default;
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    ~LockFile();

    // Opens (makes) the lock file, read-only when that is all another
    // user's file in a shared folder allows: 0, or the error number.
    int open(const std::string& path);
    enum class Try { taken, busy, failed };
    // One try at the lock, never waiting; `error` on failure.
    Try try_lock(int& error);
    // Whether the name still holds the file this has open: a run that
    // removed it let a later run lock a new file under the name.
    bool still_named(const std::string& path) const;
    void close();
    // Whether the file system keeps no locks (the error of a failed try).
    static bool no_locks(int error);

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // the lock file's HANDLE while open
#else
    int fd_ = -1;
#endif
};

// An advisory lock on a folder itself, which goes with its process and,
// unlike a lock file, leaves nothing in the folder when the process is
// killed. Where the system keeps no such locks it holds nothing.
class FolderLock {
public:
    FolderLock() = default;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();

    // One try, never waiting: 0 when held (or not kept here), EWOULDBLOCK
    // when another process holds it, else the error number.
    int take(const std::string& folder);

private:
    int fd_ = -1;
};

// Holds back the signals that end a build step (Ctrl-C, kill, a closed
// terminal) on this thread while names change hands; they arrive when it
// goes. On Windows the console's events (Ctrl-C, Ctrl-Break, a closed
// window) wait likewise, whichever thread they come to.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    alignas(8) unsigned char before_[128];  // the thread's signal mask before
};

// While a run's output files are being written, the signals that end a
// build step from outside (kill, a closed terminal, Ctrl-\) are caught, so
// that the run can take its temporary files away before it ends. When the
// last guard goes, a signal that came is sent again with the disposition
// it had, and ends the process as it would have (status 128 + the signal).
// A handler of the program's own, or an ignored signal, stays as it is.
// On Windows Ctrl-Break and a closed console window are caught so, and the
// process then ends as Windows ends it on them (STATUS_CONTROL_C_EXIT).
// Guards may live on several threads at once.
class TerminationHeld {
public:
    TerminationHeld();
    ~TerminationHeld();
    TerminationHeld(const TerminationHeld&) = delete;
    TerminationHeld& operator=(const TerminationHeld&) = delete;

    // The signal that came since the first guard was made, or 0.
    static int received();
};

}  // namespace velk::platform
