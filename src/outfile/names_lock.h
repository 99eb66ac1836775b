// Runs that put the same output names in place take turns. Parallel
// builds of fw.elf and fw.axf in one folder both write fw_CRC.hex,
// fw_CRC.elf and the rest; without turns each could move its files in
// between the other's, leaving a set made of two builds, or find a name
// gone that it had just seen.
#pragma once

#include <string>

namespace velk::outfile {

class NamesLock {
public:
    // Waits until no other run holds the lock file at `path` (made when
    // missing), then holds it. An advisory lock (flock) goes with its
    // process, so a killed run never leaves it held. Refuses (OsFailure
    // naming `path`) a lock file that can be neither made nor opened; on a
    // file system that has no locks it holds nothing (held() is false).
    explicit NamesLock(std::string path);
    // Removes the lock file, then lets the next run in.
    ~NamesLock();
    NamesLock(const NamesLock&) = delete;
    NamesLock& operator=(const NamesLock&) = delete;

    bool held() const { return fd_ >= 0; }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace velk::outfile
