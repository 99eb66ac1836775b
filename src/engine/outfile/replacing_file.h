// An output file that appears under its name complete or not at all.
#pragma once

#include <cstddef>
#include <string>

#include "../platform/platform.h"

namespace velk::outfile {

// A failed system call; `error` is its errno, `path` the output it was for.
// `kept`: where an earlier file now is when it could not be put back.
struct OsFailure {
    int error;
    std::string path;
    std::string kept = {};
};

// Shown every file's bytes as they are written, in order, from whichever
// thread writes that file: a manifest's digests need not read them back.
class Tap {
public:
    virtual void written(const std::string& target, const char* data, size_t size) = 0;
    // The run's own thread has written its files and is about to wait for
    // the second thread's: work of the tap's own fits there. What this
    // throws stops the run, and every name keeps what it held.
    virtual void waiting() {}
    // Every file's bytes are written, and none is in place yet: what this
    // throws stops the run, and every name keeps what it held.
    virtual void all_written() {}

protected:
    ~Tap() = default;
};

// Writes into a new temporary file beside the target, so that an
// interrupted or failed run leaves the earlier file (or none) under the
// name, never a cut-short one. OutputSet moves it over the target. Until
// then the temporary file is removed again on destruction.
class ReplacingFile {
public:
    // Refuses a target that open(target, "w") would refuse (a directory, a
    // file without write permission, a missing directory), then creates the
    // temporary file with mode 0666 less the umask. A symlink at the target
    // is replaced, not written through, as linkers do.
    explicit ReplacingFile(std::string target);
    ReplacingFile(ReplacingFile&& other) noexcept = default;
    ReplacingFile& operator=(ReplacingFile&&) = delete;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    void write(const char* data, size_t size);
    // What write() writes from now on is shown to `tap` too.
    void tap(Tap* tap) { tap_ = tap; }
    // Syncs the temporary file to the disk and closes it: fsync() and
    // close() are where a network file system reports a failed write, so
    // nothing is renamed before both succeed.
    void finish();
    // Closes the temporary file without a sync of its own: the caller
    // syncs its file system before the rename (platform::sync_file_system).
    void finish_unsynced();

    const std::string& target() const { return target_; }
    const std::string& temporary() const { return temporary_; }
    // The temporary file now has the target's name: nothing to remove.
    void placed() { file_.keep(); }

private:
    std::string target_;
    std::string temporary_;
    platform::NewFile file_;
    Tap* tap_ = nullptr;
};

}  // namespace velk::outfile
