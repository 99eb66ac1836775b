// The system interface under the output stage, on whichever system this
// runs (Linux, Windows, wine): an output set replaced as FLASH replaces
// it, a run stopped between its temporary files and their renames, the
// names' lock held by a second process, a name in Cyrillic and Latin-1
// letters, a read-only target, and on Windows a target another program
// holds open. Each leaves the folder as it found it.
#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../../src/engine/cli/command_line.h"
#include "../../src/engine/outfile/names.h"
#include "../../src/engine/outfile/outputs.h"
#include "../../src/engine/platform/platform.h"
#include "checks.h"

namespace platform_checks {

namespace platform = velk::platform;
namespace outfile = velk::outfile;

int failures = 0;

void expect(bool ok, const std::string& what) {
    engine_checks::count(ok, "platform: ", what, failures);
}

const char hold_lock[] = "--hold-lock";

#ifdef _WIN32
std::wstring wide(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    out.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                                         static_cast<int>(text.size()),
                                                         out.data(), static_cast<int>(out.size()))));
    return out;
}
#endif

std::string contents(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (platform::read_file(path, bytes) != 0) return "(none)";
    return std::string(bytes.begin(), bytes.end());
}

void put(const std::string& path, const std::string& text) {
    platform::NewFile file;
    platform::remove(path);
    expect(file.create(path) == 0 && file.write(text.data(), text.size()) == 0 &&
               file.sync_and_close() == 0,
           "made " + path);
    file.keep();
}

// The hidden files runs leave beside their outputs: none once a run ended.
std::vector<std::string> hidden(const std::string& folder) {
    std::vector<std::string> found;
    for (const std::string& name : platform::entries(folder))
        if (name != "." && name != ".." && name[0] == '.') found.push_back(name);
    return found;
}

std::string listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += " " + name;
    return text.empty() ? " (none)" : text;
}

// What stops a run in these checks, as Ctrl-C's answer does.
struct Stop {};

// The run's answers: none, or a stop at the first wait for the lock.
class Writing final : public outfile::Writing {
public:
    void between_chunks() override {
        if (committing && stop_when_waiting) {
            ++waits;
            throw Stop{};
        }
    }
    void waiting_long(const std::string&) override {}
    void terminated_while_waiting(const std::string&) override {}

    bool committing = false, stop_when_waiting = false;
    int waits = 0;
};

// The files as FLASH hands them to the output stage, each a line at a time.
struct File {
    std::string path, text;
};

void replace(const std::vector<File>& files, Writing& writing, outfile::Tap* tap = nullptr) {
    outfile::Outputs outputs(outfile::Claim::locked, writing);
    if (tap) outputs.tap(*tap);
    for (const File& f : files)
        outputs.write(f.path, [&f](outfile::Sink& sink) {
            for (size_t at = 0; at < f.text.size(); at += 8)
                sink.put(f.text.data() + at, std::min<size_t>(8, f.text.size() - at));
        });
    writing.committing = true;
    outputs.commit();
}

// An earlier set put in place, and a later one for the same names.
struct Sets {
    std::vector<File> earlier, later;
};

Sets two_sets(const std::string& scratch, const std::string& later_hex) {
    Sets sets{{{scratch + "/set.hex", ":00000001FF\n"}, {scratch + "/set.bin", "earlier"}},
              {{scratch + "/set.hex", later_hex + "\n:00000001FF\n"},
               {scratch + "/set.bin", "later"}}};
    Writing writing;
    replace(sets.earlier, writing);
    return sets;
}

bool holds(const std::vector<File>& files) {
    for (const File& f : files)
        if (contents(f.path) != f.text) return false;
    return true;
}

// How paths split, as the system's tools pass them.
void names() {
    const long pid = platform::process_id();
    struct Case {
        const char* path;
        const char* folder;
        const char* base;
        const char* hidden;  // the hidden sibling's start
    };
    const Case cases[] = {
        {"out/fw_CRC.hex", "out", "fw_CRC.hex", "out/.fw_CRC.hex."},
#ifdef _WIN32
        {"fw_CRC.hex", ".", "fw_CRC.hex", ".\\.fw_CRC.hex."},
        {"/fw.hex", "/", "fw.hex", "/.fw.hex."},
        {"Z:\\fw\\fw_CRC.hex", "Z:\\fw", "fw_CRC.hex", "Z:\\fw\\.fw_CRC.hex."},
        {"Z:\\fw.hex", "Z:\\", "fw.hex", "Z:\\.fw.hex."},
        {"Z:fw.hex", "Z:", "fw.hex", "Z:.fw.hex."},
        {"C:/Keil Projects/fw.hex", "C:/Keil Projects", "fw.hex", "C:/Keil Projects/.fw.hex."},
        {"C:\\Users\\\xC3\xBC/fw.hex", "C:\\Users\\\xC3\xBC", "fw.hex",
         "C:\\Users\\\xC3\xBC/.fw.hex."},
        {"out/sub\\fw.hex", "out/sub", "fw.hex", "out/sub\\.fw.hex."},
        {"\\fw.hex", "\\", "fw.hex", "\\.fw.hex."},
#else
        {"fw_CRC.hex", ".", "fw_CRC.hex", "./.fw_CRC.hex."},
        {"/fw.hex", "/", "fw.hex", "//.fw.hex."},
        {"out\\fw.hex", ".", "out\\fw.hex", "./.out\\fw.hex."},
        {"Z:fw.hex", ".", "Z:fw.hex", "./.Z:fw.hex."},
#endif
    };
    for (const Case& c : cases) {
        const std::string sibling = outfile::hidden_sibling(c.path, ".tmp");
        const std::string want = c.hidden + std::to_string(pid) + "-";
        expect(outfile::directory_of(c.path) == c.folder, std::string("the folder of ") + c.path);
        expect(outfile::base_of(c.path) == c.base, std::string("the name of ") + c.path);
        expect(sibling.compare(0, want.size(), want) == 0,
               std::string("the temporary beside ") + c.path + ": " + sibling);
        expect(outfile::hidden_owner(outfile::base_of(sibling), c.path, ".tmp") == pid,
               std::string("the temporary of ") + c.path + " is known as this run's");
    }
#ifdef _WIN32
    expect(outfile::lock_path_for("Z:\\fw\\fw_CRC.hex") == "Z:\\fw\\.fw_CRC.lock",
           "the lock beside Z:\\fw\\fw_CRC.hex");
#endif
}

// A set replaced, as FLASH replaces its files: every name holds the new
// file and nothing is left beside them, under the folder as given (with
// backslashes on Windows) and under a name in Cyrillic and Latin-1 letters.
void replaced(const std::string& scratch) {
    std::string folder = scratch;
    if (platform::path_separator != '/')
        for (char& c : folder)
            if (c == '/') c = platform::path_separator;
    const std::string unicode = "\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0"
                                "_\xC3\xBC";  // "прошивка_ü"
    const std::vector<File> earlier = {{folder + "/set.hex", ":00000001FF\n"},
                                       {folder + "/set.bin", std::string("\0\x01\r\n", 4)}};
    const std::vector<File> later = {
        {folder + "/set.hex", ":0400000012345678E8\n:00000001FF\n"},
        {folder + "/set.bin", std::string("\n\r\n\x1A\0\xFF", 6)},
        {folder + "/" + unicode + ".hex", ":00000001FF\n"}};
    Writing writing;
    replace(earlier, writing);
    expect(holds(earlier), "a set written where there was none");
    replace(later, writing);
    expect(holds(later), "a set replaced, byte for byte (no line ends changed)");
    bool named = false;
    for (const std::string& name : platform::entries(scratch)) named |= name == unicode + ".hex";
    expect(named, "a Unicode name as given, in the folder's entries");
    expect(platform::kind_of(scratch + "/" + unicode + ".hex") == platform::Kind::file,
           "a Unicode name opened by its UTF-8 bytes");
    expect(hidden(scratch).empty(), "nothing left beside a replaced set:" + listed(hidden(scratch)));
    platform::remove(later[2].path);
}

// Every file written, none in place yet: a run stopped there (Ctrl-C's
// answer) leaves each name as it was and removes its temporaries.
class StopWhenWritten final : public outfile::Tap {
public:
    explicit StopWhenWritten(std::string folder) : folder_(std::move(folder)) {}
    void written(const std::string&, const char*, size_t) override {}
    void all_written() override {
        temporaries = hidden(folder_).size();
        throw Stop{};
    }
    size_t temporaries = 0;

private:
    std::string folder_;
};

void stopped_before_the_renames(const std::string& scratch) {
    const Sets sets = two_sets(scratch, ":020000040800F2");
    const std::vector<File>& earlier = sets.earlier;
    const std::vector<File>& later = sets.later;
    Writing writing;
    StopWhenWritten tap(scratch);
    bool stopped = false;
    try {
        replace(later, writing, &tap);
    } catch (const Stop&) {
        stopped = true;
    }
    expect(stopped && tap.temporaries == 2, "stopped with both temporaries written: " +
                                                std::to_string(tap.temporaries));
    expect(holds(earlier), "a stopped run leaves the earlier set");
    expect(hidden(scratch).empty(),
           "a stopped run leaves nothing beside the set:" + listed(hidden(scratch)));
}

// The second process: this program again, holding a lock until told.
struct Holder {
#ifdef _WIN32
    HANDLE process = nullptr;
#else
    pid_t process = -1;
#endif
    bool started = false;
};

Holder start_holder(const std::string& program, const std::vector<std::string>& words) {
    Holder holder;
#ifdef _WIN32
    (void)program;
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\"";
    for (const std::string& word : words) line += L" \"" + wide(word) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    holder.started = ::CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &info) != 0;
    if (holder.started) {
        ::CloseHandle(info.hThread);
        holder.process = info.hProcess;
    }
#else
    std::vector<std::string> all = {program};
    all.insert(all.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : all) argv.push_back(word.data());
    argv.push_back(nullptr);
    holder.started =
        ::posix_spawn(&holder.process, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0;
#endif
    return holder;
}

int wait_for(Holder& holder) {
#ifdef _WIN32
    ::WaitForSingleObject(holder.process, INFINITE);
    DWORD status = 1;
    ::GetExitCodeProcess(holder.process, &status);
    ::CloseHandle(holder.process);
    return static_cast<int>(status);
#else
    int status = 0;
    while (::waitpid(holder.process, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
}

bool appears(const std::string& path) {
    for (int i = 0; i < 3000; ++i) {
        if (platform::kind_of(path) != platform::Kind::none) return true;
        platform::pause_ms(10);
    }
    return false;
}

// Another process holds the names' lock: a run waits for it and, stopped
// while it waits, leaves the set as it was; once the holder ends, the next
// run takes the lock and puts its set.
void lock_held_elsewhere(const std::string& program, const std::string& scratch) {
    const Sets sets = two_sets(scratch, ":020000040801F1");
    const std::vector<File>& earlier = sets.earlier;
    const std::vector<File>& later = sets.later;
    Writing writing;
    const std::string lock = outfile::lock_path_for(scratch + "/set.hex");
    const std::string ready = scratch + "/holder.ready", release = scratch + "/holder.release";
    Holder holder = start_holder(program, {hold_lock, lock, ready, release});
    expect(holder.started, "the lock's holder started");
    if (!holder.started) return;
    expect(appears(ready), "the holder took the lock");

    platform::LockFile other;
    int error = 0;
    expect(other.open(lock) == 0 && other.try_lock(error) == platform::LockFile::Try::busy,
           "the lock is busy while the other process holds it");
    other.close();
    Writing stopping;
    stopping.stop_when_waiting = true;
    bool stopped = false;
    try {
        replace(later, stopping);
    } catch (const Stop&) {
        stopped = true;
    }
    expect(stopped && stopping.waits == 1, "a run waits while another process holds the lock");
    expect(holds(earlier), "a run stopped while waiting leaves the earlier set");

    put(release, "");
    expect(wait_for(holder) == 0, "the holder ended of itself");
    replace(later, writing);
    expect(holds(later), "the set put once the holder is gone");
    expect(platform::kind_of(lock) == platform::Kind::none, "the lock file goes with its run");
    platform::remove(ready);
    platform::remove(release);
    expect(hidden(scratch).empty(), "nothing left beside the set:" + listed(hidden(scratch)));
}

// Makes a file read-only, or writable again.
void read_only(const std::string& path, bool on) {
#ifdef _WIN32
    ::SetFileAttributesW(wide(path).c_str(),
                         on ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
#else
    ::chmod(path.c_str(), on ? 0444 : 0644);
#endif
}

// A target this run may not replace: the whole set is refused with the
// file named, each name keeps what it held, and nothing (no earlier file
// moved aside) is left beside them.
void refused(const std::string& scratch, const std::vector<File>& earlier,
             const std::vector<File>& later, const std::string& path, const std::string& why) {
    Writing writing;
    bool failed = false;
    std::string said;
    try {
        replace(later, writing);
    } catch (const outfile::OsFailure& failure) {
        failed = failure.path == path;
        said = platform::error_text(failure.error);
    }
    expect(failed && said == why, "refused, naming " + path + ": \"" + said + "\"");
    expect(holds(earlier), "a refused set leaves every name as it was");
    expect(hidden(scratch).empty(),
           "a refused set leaves nothing beside it:" + listed(hidden(scratch)));
}

void read_only_target(const std::string& scratch) {
    const Sets sets = two_sets(scratch, ":020000040802F0");
    const std::vector<File>& earlier = sets.earlier;
    const std::vector<File>& later = sets.later;
    read_only(earlier[1].path, true);
    if (platform::writable(earlier[1].path) == 0) {
        // Root writes any file on POSIX: there is no read-only target to refuse.
        std::printf("platform test: a read-only file is writable to this user: "
                    "the read-only target is not checked\n");
    } else {
        refused(scratch, earlier, later, earlier[1].path, platform::error_text(EACCES));
    }
    read_only(earlier[1].path, false);
}

#ifdef _WIN32
// Another program holds a target open without sharing it: the sharing
// violation is said in one line naming the file, and the set stays.
void target_held_open(const std::string& scratch) {
    const Sets sets = two_sets(scratch, ":020000040803EF");
    const std::vector<File>& earlier = sets.earlier;
    const std::vector<File>& later = sets.later;
    HANDLE held = ::CreateFileW(wide(earlier[1].path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    expect(held != INVALID_HANDLE_VALUE, "another program opens set.bin");
    refused(scratch, earlier, later, earlier[1].path,
            "used by another program (sharing violation)");
    ::CloseHandle(held);
}
#endif

#ifdef _WIN32
// The folder as a Windows tool passes it: from its drive, with backslashes
// ("Z:\tmp\..." under wine, where "/" is Z:).
std::string full_path(const std::string& path) {
    const std::wstring given = wide(path);
    wchar_t full[4096];
    const DWORD length = ::GetFullPathNameW(given.c_str(), 4096, full, nullptr);
    std::string out(static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, full,
                                                              static_cast<int>(length), nullptr,
                                                              0, nullptr, nullptr)),
                    '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, full, static_cast<int>(length), out.data(),
                          static_cast<int>(out.size()), nullptr, nullptr);
    return out;
}
#endif

// FLASH of the build under a name with a space and letters beyond ASCII,
// as an IDE's post-build step passes it (on Windows from the drive, with
// backslashes): its HEX is the same bytes as the plain name's, beside it.
void flash_under_tools_names(const std::string& scratch) {
    const std::string plain = contents(scratch + "/fw_CRC.hex");
    if (plain == "(none)") {
        expect(false, "no fw_CRC.hex from the plain name's FLASH to compare with");
        return;
    }
    std::string folder = scratch;
#ifdef _WIN32
    folder = full_path(scratch);
    expect(folder.size() > 3 && folder[1] == ':' && folder[2] == '\\',
           "the scratch folder from its drive: " + folder);
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    const std::string root = folder + separator + "Keil \xC3\xBC\xD0\xB6 fw";  // "Keil üж fw"
    put(root + ".elf", contents(scratch + "/fw.elf"));
    engine_checks::Host host;
    const int status = velk::cli::command_line({"FLASH", root + ".elf", "--ncrc_value"}, host);
    expect(status == 0, "FLASH of " + root + ".elf: " + host.err_);
    expect(contents(root + "_CRC.hex") == plain, "its HEX, the same bytes as fw_CRC.hex");
    expect(host.out_.find(root + "_CRC.hex") != std::string::npos,
           "the HEX named as given: " + host.out_);
    for (const char* end : {".elf", "_CRC.hex", "_CRC.elf"}) platform::remove(root + end);
    expect(hidden(scratch).empty(), "nothing left beside them:" + listed(hidden(scratch)));
}

}  // namespace platform_checks

int platform_test(const std::string& program, const std::string& scratch) {
    namespace checks = platform_checks;
    checks::failures = 0;
    checks::names();
    if (velk::platform::kind_of(scratch) != velk::platform::Kind::directory) {
        checks::expect(false, "no scratch folder " + scratch);
        return checks::failures;
    }
    checks::flash_under_tools_names(scratch);
    checks::replaced(scratch);
    checks::stopped_before_the_renames(scratch);
    checks::lock_held_elsewhere(program, scratch);
    checks::read_only_target(scratch);
#ifdef _WIN32
    checks::target_held_open(scratch);
#endif
    for (const char* name : {"/set.hex", "/set.bin"}) velk::platform::remove(scratch + name);
    return checks::failures;
}

// velk_engine_test --hold-lock <lock file> <ready file> <release file>:
// takes the lock, makes the ready file, and holds the lock until the
// release file appears (a minute at most).
bool platform_helper(int argc, char** argv, int& status) {
    if (argc != 5 || std::strcmp(argv[1], platform_checks::hold_lock) != 0) return false;
    velk::platform::LockFile lock;
    int error = 0;
    status = 1;
    if (lock.open(argv[2]) != 0) return true;
    while (lock.try_lock(error) == velk::platform::LockFile::Try::busy)
        velk::platform::pause_ms(10);
    if (error != 0) return true;
    velk::platform::NewFile ready;
    if (ready.create(argv[3]) != 0 || ready.sync_and_close() != 0) return true;
    ready.keep();
    for (int i = 0; i < 6000 && velk::platform::kind_of(argv[4]) == velk::platform::Kind::none;
         ++i)
        velk::platform::pause_ms(10);
    // The lock file goes as the output stage's does, before its lock.
    velk::platform::remove(argv[2]);
    status = 0;
    return true;
}
