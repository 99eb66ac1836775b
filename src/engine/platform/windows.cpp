// The operating system calls of the engine, for Windows. Paths come as
// UTF-8 and reach the system as UTF-16 through the W calls; files are the
// system's handles, so nothing is translated (no CRLF): a HEX file is the
// same bytes as on Linux.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <utility>

#include "platform.h"

namespace velk::platform {

namespace {

// Above the C library's error numbers: what Windows says that no errno
// value words, and a Win32 error of no errno value (win32_base + its code).
constexpr int sharing_violation = 20001;
constexpr int lock_violation = 20002;
constexpr int win32_base = 30000;

// A Win32 error as the engine's error number: the errno value callers
// compare with (EEXIST, ENOENT) where one means the same.
int error_number(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_CANNOT_MAKE:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return ENOSYS;
        case ERROR_SHARING_VIOLATION:
            return sharing_violation;
        case ERROR_LOCK_VIOLATION:
            return lock_violation;
        default:
            return win32_base + static_cast<int>(code);
    }
}

int last_error() {
    return error_number(::GetLastError());
}

// A name that is not UTF-8 reaches the system as one it refuses (a control
// character: "The filename, directory name, or volume label syntax is
// incorrect"), never with its bad bytes made U+FFFD, which would name
// another file.
const wchar_t not_utf8[] = L"\x01";

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    int length =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) return not_utf8;
    std::wstring out(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, out.data(), length);
    return out;
}

// Windows refuses a path of MAX_PATH characters or more unless the machine
// and the program both allow long paths; a \\?\ path is never refused.
// A deep build folder (an IDE's workspace, CMake's trees) nears that, and a
// temporary's name is its target's and some twenty characters more, so a
// long path is made whole (its drive or share, no "..", backslashes) and
// given with \\?\. What counts is the whole path: a short relative one is
// as long as the current folder makes it. CreateDirectoryW's bound leaves
// room for an 8.3 name.
constexpr DWORD longest_plain = MAX_PATH - 12;

std::wstring native(const std::string& path) {
    std::wstring name = wide(path);
    if (name.compare(0, 4, L"\\\\?\\") == 0 || name.compare(0, 4, L"\\\\.\\") == 0)
        return name;
    // The size asked for counts the terminating NUL.
    DWORD length = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (length == 0 || length <= longest_plain) return name;
    std::wstring full(length, L'\0');
    length = ::GetFullPathNameW(name.c_str(), length, full.data(), nullptr);
    if (length == 0 || length >= full.size()) return name;
    full.resize(length);
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::string narrow(const wchar_t* text, size_t size) {
    if (size == 0) return {};
    const int wide_size = static_cast<int>(size);
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text, wide_size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, wide_size, out.data(), length, nullptr, nullptr);
    return out;
}

// Every other open of the file may read, write, rename and delete it: the
// engine's own opens never stand in another program's way.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens what `path` names to look at it, the last link followed or not.
HANDLE open_to_look(const std::string& path, bool follow_links) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;  // folders too
    if (!follow_links) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    return ::CreateFileW(native(path).c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                         OPEN_EXISTING, flags, nullptr);
}

// A symbolic link or a junction, opened as itself. Other reparse points
// (OneDrive's files on demand, deduplicated files) are the files they hold.
bool is_link(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    return ::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK ||
            tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT);
}

// What an open handle is; a link only when it was opened as itself.
Kind kind_of_handle(HANDLE handle, bool opened_as_link = false) {
    switch (::GetFileType(handle)) {
        case FILE_TYPE_CHAR:
            return Kind::character_device;
        case FILE_TYPE_PIPE:
            return Kind::fifo;
        case FILE_TYPE_DISK:
            break;
        default:
            return Kind::other;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info)) return Kind::other;
    if (opened_as_link && is_link(handle)) return Kind::link;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Kind::directory;
    return Kind::file;
}

// The volume and file ID of an open file: its identity, as st_dev and
// st_ino are on POSIX. ReFS (a Dev Drive) gives files 128-bit IDs, of which
// the 64-bit index of GetFileInformationByHandle need not tell two files
// apart; that index is what a system without FileIdInfo has.
struct Identity {
    ULONGLONG volume = 0;
    unsigned char id[16] = {};
};

bool identity(HANDLE handle, Identity& out) {
    FILE_ID_INFO info;
    if (::GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
        out.volume = info.VolumeSerialNumber;
        static_assert(sizeof info.FileId.Identifier == sizeof out.id, "a 128-bit file ID");
        std::memcpy(out.id, info.FileId.Identifier, sizeof out.id);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION by_handle;
    if (!::GetFileInformationByHandle(handle, &by_handle)) return false;
    out.volume = by_handle.dwVolumeSerialNumber;
    const ULONGLONG index =
        (ULONGLONG{by_handle.nFileIndexHigh} << 32) | by_handle.nFileIndexLow;
    std::memcpy(out.id, &index, sizeof index);
    return true;
}

bool same_identity(const Identity& a, const Identity& b) {
    return a.volume == b.volume && std::memcmp(a.id, b.id, sizeof a.id) == 0;
}

// One ReadFile's or WriteFile's share of `size` bytes: their counts are
// DWORDs, so a larger buffer goes a GiB at a time.
DWORD chunk(size_t size) {
    constexpr size_t most = 0x40000000;
    return static_cast<DWORD>(size > most ? most : size);
}

// Closes `handle`, handing `error` on.
int closed(HANDLE handle, int error) {
    ::CloseHandle(handle);
    return error;
}

}  // namespace

std::string error_text(int error) {
    if (const char* text = not_regular_text(error)) return text;
    if (error == sharing_violation) return "used by another program (sharing violation)";
    if (error == lock_violation) return "locked by another program (lock violation)";
    if (error >= win32_base) {
        const DWORD code = static_cast<DWORD>(error - win32_base);
        wchar_t* words = nullptr;
        DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
            reinterpret_cast<wchar_t*>(&words), 0, nullptr);
        std::string text = length ? narrow(words, length) : std::string();
        if (words) ::LocalFree(words);
        // One line: the system's sentence without its full stop and line end,
        // and a line break inside a message of several sentences a space.
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' ||
                                 text.back() == '.' || text.back() == ' '))
            text.pop_back();
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        std::replace(text.begin(), text.end(), '\n', ' ');
        if (text.empty()) text = "Windows error " + std::to_string(code);
        return text;
    }
    return std::strerror(error);
}

Kind kind_of(const std::string& path, bool follow_links) {
    HANDLE handle = open_to_look(path, follow_links);
    if (handle == INVALID_HANDLE_VALUE) return Kind::none;
    Kind kind = kind_of_handle(handle, !follow_links);
    ::CloseHandle(handle);
    return kind;
}

bool same_file(const std::string& a, const std::string& b) {
    HANDLE ha = open_to_look(a, true);
    if (ha == INVALID_HANDLE_VALUE) return false;
    HANDLE hb = open_to_look(b, true);
    Identity ia, ib;
    bool same = hb != INVALID_HANDLE_VALUE && identity(ha, ia) && identity(hb, ib) &&
                same_identity(ia, ib);
    ::CloseHandle(ha);
    if (hb != INVALID_HANDLE_VALUE) ::CloseHandle(hb);
    return same;
}

std::optional<std::string> environment(const char* name) {
    const std::wstring wide_name = wide(name);
    std::wstring value;
    for (;;) {
        // The size asked for counts the terminating NUL; a value that grew
        // since (another thread's SetEnvironmentVariable) asks for more again.
        ::SetLastError(ERROR_SUCCESS);
        const DWORD size = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                                     static_cast<DWORD>(value.size()));
        if (size == 0) {
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();  // set, and empty
        }
        if (size < value.size()) return narrow(value.data(), size);
        value.assign(size, L'\0');
    }
}

int read_file(const std::string& path, std::vector<uint8_t>& out, uint64_t most) {
    // Folders open too, to be refused as POSIX refuses them (EISDIR).
    HANDLE handle = ::CreateFileW(native(path).c_str(), GENERIC_READ, share_all, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return last_error();
    const Kind kind = kind_of_handle(handle);
    if (kind == Kind::directory) return closed(handle, EISDIR);
    if (kind != Kind::file) return closed(handle, not_regular(kind));
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle, &size)) return closed(handle, last_error());
    const uint64_t bytes = static_cast<uint64_t>(size.QuadPart);
    if (bytes > most) return closed(handle, EFBIG);
    out.clear();
    // One byte past the size, so that a file which grew since is seen to,
    // and read to its end or past the bound.
    out.resize(static_cast<size_t>(bytes) + 1);
    size_t done = 0;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle, out.data() + done, chunk(out.size() - done), &got,
                        nullptr))
            return closed(handle, last_error());
        if (got == 0) break;
        done += got;
        if (done > most) return closed(handle, EFBIG);
        if (done == out.size()) {
            uint64_t grown = out.size() + 65536;
            if (most != any_size && grown > most + 1) grown = most + 1;
            out.resize(static_cast<size_t>(grown));
        }
    }
    out.resize(done);
    return closed(handle, 0);
}

namespace {

#ifdef _MSC_VER
void no_invalid_parameter_end(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                              uintptr_t) {}
#endif

// The system's handle of a C runtime descriptor; INVALID_HANDLE_VALUE for
// one the runtime does not know. Microsoft's runtime (not mingw's msvcrt)
// ends the process there unless the thread says otherwise, as CPython says
// it around such calls: a file object closed by another thread meanwhile
// is then an error, not a crash.
HANDLE handle_of(int descriptor) {
#ifdef _MSC_VER
    const _invalid_parameter_handler before =
        ::_set_thread_local_invalid_parameter_handler(no_invalid_parameter_end);
#endif
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor));
#ifdef _MSC_VER
    ::_set_thread_local_invalid_parameter_handler(before);
#endif
    return handle;
}

}  // namespace

int descriptor_size(int descriptor, uint64_t& size) {
    HANDLE handle = handle_of(descriptor);
    if (handle == INVALID_HANDLE_VALUE) return EBADF;
    LARGE_INTEGER bytes;
    if (!::GetFileSizeEx(handle, &bytes)) return last_error();
    size = static_cast<uint64_t>(bytes.QuadPart);
    return 0;
}

int read_at(int descriptor, uint64_t offset, uint8_t* data, size_t size, size_t& got) {
    got = 0;
    HANDLE handle = handle_of(descriptor);
    if (handle == INVALID_HANDLE_VALUE) return EBADF;
    // A read at an offset moves a synchronous handle's position: it goes
    // back to where its owner left it.
    LARGE_INTEGER zero{}, position{};
    if (!::SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) return last_error();
    int error = 0;
    while (got < size) {
        const uint64_t at = offset + got;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD read = 0;
        if (!::ReadFile(handle, data + got, chunk(size - got), &read, &where)) {
            if (::GetLastError() != ERROR_HANDLE_EOF) error = last_error();
            break;
        }
        if (read == 0) break;
        got += read;
    }
    if (!::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) && error == 0)
        error = last_error();
    return error;
}

int writable(const std::string& path) {
    const std::wstring name = native(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        int error = last_error();
        // Nothing there yet, or no folder: making the file says so.
        return error == ENOENT ? 0 : error;
    }
    // A link is replaced, not written through.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && kind_of(path, false) == Kind::link)
        return 0;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EISDIR;
    // Windows refuses to write a read-only file whoever asks; said here
    // before anything is made or moved, so that the set stays as it was.
    if (attributes & FILE_ATTRIBUTE_READONLY) return EACCES;
    // What putting the new file there takes: writing it, and moving it
    // aside, which a program that holds it open without sharing its
    // deletion prevents (a sharing violation, said now).
    HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, share_all, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        int error = last_error();
        return error == ENOENT ? 0 : error;
    }
    ::CloseHandle(handle);
    return 0;
}

NewFile::NewFile(NewFile&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, nullptr)),
      kept_(std::exchange(other.kept_, true)) {}

NewFile::~NewFile() {
    if (handle_) ::CloseHandle(handle_);
    if (!kept_ && !path_.empty()) remove(path_);
}

int NewFile::create(const std::string& path) {
    HANDLE handle = ::CreateFileW(native(path).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return last_error();
    handle_ = handle;
    path_ = path;
    return 0;
}

int NewFile::append(const std::string& path) {
    // GENERIC_WRITE, which FlushFileBuffers needs, writes where the file
    // pointer is: at the end, the one writer being this run.
    HANDLE handle = ::CreateFileW(native(path).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return last_error();
    LARGE_INTEGER none{};
    if (!::SetFilePointerEx(handle, none, nullptr, FILE_END)) return closed(handle, last_error());
    handle_ = handle;
    path_ = path;
    kept_ = true;
    return 0;
}

int NewFile::write(const char* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(static_cast<HANDLE>(handle_), data, chunk(size), &written,
                         nullptr))
            return last_error();
        if (written == 0) return EIO;  // a disk that takes nothing more
        data += written;
        size -= written;
        written_ += written;
    }
    return 0;
}

int NewFile::sync_and_close() {
    if (!handle_) return 0;
    HANDLE handle = static_cast<HANDLE>(std::exchange(handle_, nullptr));
    // A file system that keeps nothing to flush says so; that is no failure.
    if (!::FlushFileBuffers(handle)) {
        DWORD code = ::GetLastError();
        if (code != ERROR_INVALID_FUNCTION && code != ERROR_NOT_SUPPORTED)
            return closed(handle, error_number(code));
    }
    if (!::CloseHandle(handle)) return last_error();
    (void)sent_;  // early writing-out is the Linux page cache's
    return 0;
}

int NewFile::close_unsynced() {
    if (!handle_) return 0;
    HANDLE handle = static_cast<HANDLE>(std::exchange(handle_, nullptr));
    if (!::CloseHandle(handle)) return last_error();
    return 0;
}

bool syncs_file_systems() {
    return false;
}

int sync_file_system(const std::string&) {
    return ENOSYS;
}

int rename(const std::string& from, const std::string& to) {
    // On the disk before it returns: the rename is the commit.
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    return ::MoveFileExW(native(from).c_str(), native(to).c_str(), flags) ? 0 : last_error();
}

namespace {

// FileDispositionInfoEx and its flags (Windows 10 1709 on), which not every
// SDK's headers declare for the targets they default to.
constexpr auto disposition_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionEx {
    DWORD flags;
};
constexpr DWORD delete_file = 0x1, posix_semantics = 0x2;

// The name goes at once, as unlink() takes it on POSIX, even while another
// handle (a run waiting for the lock file) holds the file open; a system
// or file system without that way of deleting deletes it when the last
// handle closes.
int delete_now(const std::wstring& name) {
    HANDLE handle = ::CreateFileW(name.c_str(), DELETE, share_all, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) return last_error();
    DispositionEx now{delete_file | posix_semantics};
    if (::SetFileInformationByHandle(handle, disposition_ex, &now, sizeof now))
        return closed(handle, 0);
    FILE_DISPOSITION_INFO later{};
    later.DeleteFile = TRUE;
    if (::SetFileInformationByHandle(handle, FileDispositionInfo, &later, sizeof later))
        return closed(handle, 0);
    return closed(handle, last_error());
}

}  // namespace

int remove(const std::string& path) {
    const std::wstring name = native(path);
    int error = delete_now(name);
    if (error != EACCES) return error;
    // unlink() takes a read-only file too: so does this, or an earlier
    // output moved aside would stay behind as an .old file.
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return error;
    if (!::SetFileAttributesW(name.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}))
        return error;
    error = delete_now(name);
    if (error != 0) ::SetFileAttributesW(name.c_str(), attributes);
    return error;
}

// MoveFileExW's MOVEFILE_WRITE_THROUGH has put each rename on the disk
// already; Windows has no flush of a folder's names.
void sync_folder(const std::string&) {}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    std::string pattern = folder;
    // "Z:" is the drive's current folder and "Z:\" its root: neither takes
    // a second separator.
    const bool bare_drive = folder.size() == 2 && folder[1] == ':';
    if (!folder.empty() && !bare_drive && folder.back() != '\\' && folder.back() != '/')
        pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(native(pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(narrow(found.cFileName, std::wcslen(found.cFileName)));
    while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

long process_id() {
    return static_cast<long>(::GetCurrentProcessId());
}

bool process_gone(long pid) {
    if (pid <= 0) return false;
    const DWORD id = static_cast<DWORD>(pid);
    // A process that ended, whose object another program's handle keeps,
    // is signalled; its exit code says nothing, as one that ended with 259
    // (STILL_ACTIVE) would look alive. Another user's process may refuse
    // waiting on it: then its exit code is all there is.
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
    if (process) {
        const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        ::CloseHandle(process);
        return ended;
    }
    if (::GetLastError() == ERROR_ACCESS_DENIED)
        process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    // No such process; another user's is refused, and alive.
    if (!process) return ::GetLastError() == ERROR_INVALID_PARAMETER;
    DWORD status = 0;
    const bool ended = ::GetExitCodeProcess(process, &status) && status != STILL_ACTIVE;
    ::CloseHandle(process);
    return ended;
}

void pause_ms(long milliseconds) {
    ::Sleep(static_cast<DWORD>(milliseconds));
}

// A folder's handle takes no byte-range lock: the folder is not locked here.
FolderLock::~FolderLock() = default;

int FolderLock::take(const std::string&) {
    return 0;
}

LockFile::~LockFile() {
    close();
}

int LockFile::open(const std::string& path) {
    const std::wstring name = native(path);
    // Opened so that the run holding it can delete the name while others
    // have it open, waiting. A leading dot hides nothing on Windows: the
    // attribute keeps it out of Explorer's view of the output folder.
    const DWORD made = FILE_ATTRIBUTE_HIDDEN;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0;; ++attempt) {
        handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, share_all, nullptr,
                               OPEN_ALWAYS, made, nullptr);
        // Another user's lock file in a shared folder may be only readable
        // to us; LockFileEx takes a read-only handle too.
        if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED)
            handle = ::CreateFileW(name.c_str(), GENERIC_READ, share_all, nullptr, OPEN_ALWAYS,
                                   made, nullptr);
        if (handle != INVALID_HANDLE_VALUE) break;
        // A name whose deletion waits for the last handle (a file system
        // that deletes no other way) refuses every open until then: the
        // run before has just left it.
        if (::GetLastError() != ERROR_ACCESS_DENIED || attempt == 40) return last_error();
        ::Sleep(25);
    }
    handle_ = handle;
    return 0;
}

LockFile::Try LockFile::try_lock(int& error) {
    OVERLAPPED whole{};
    if (::LockFileEx(static_cast<HANDLE>(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                     0, MAXDWORD, MAXDWORD, &whole))
        return Try::taken;
    const DWORD code = ::GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return Try::busy;
    error = error_number(code);
    return Try::failed;
}

bool LockFile::still_named(const std::string& path) const {
    HANDLE named = open_to_look(path, false);
    if (named == INVALID_HANDLE_VALUE) return false;
    Identity held, now;
    bool same = identity(static_cast<HANDLE>(handle_), held) && identity(named, now) &&
                same_identity(held, now);
    ::CloseHandle(named);
    return same;
}

void LockFile::close() {
    // The lock goes with the handle.
    if (handle_) ::CloseHandle(static_cast<HANDLE>(std::exchange(handle_, nullptr)));
}

bool LockFile::no_locks(int error) {
    return error == ENOSYS;
}

}  // namespace velk::platform
