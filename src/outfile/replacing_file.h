// An output file that appears under its name complete or not at all.
#pragma once

#include <cstddef>
#include <string>

namespace velk::outfile {

// A failed system call; `error` is its errno.
struct OsFailure {
    int error;
};

// Writes into a new temporary file beside the target and moves it over the
// target on commit(), so that an interrupted or failed run leaves the
// earlier file (or none) under the name, never a cut-short one. A symlink
// at the target is replaced, not written through, as linkers do. Until
// commit() the temporary file is removed again on destruction.
class ReplacingFile {
public:
    // Refuses a target that open(target, "w") would refuse (a directory, a
    // file without write permission, a missing directory), then creates the
    // temporary file with mode 0666 less the umask.
    explicit ReplacingFile(std::string target);
    ReplacingFile(ReplacingFile&& other) noexcept;
    ReplacingFile& operator=(ReplacingFile&&) = delete;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile();

    void write(const char* data, size_t size);
    // Closes the file and renames it over the target.
    void commit();

private:
    void discard() noexcept;

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace velk::outfile
