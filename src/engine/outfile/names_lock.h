// Runs that put the same output names in place take turns. Parallel
// builds of fw.elf and fw.axf in one folder both write fw_CRC.hex,
// fw_CRC.elf and the rest; without turns each could move its files in
// between the other's, leaving a set made of two builds, or find a name
// gone that it had just seen.
#pragma once

#include <string>

#include "../platform/platform.h"

namespace velk::outfile {

// The run waiting for its turn: asked between tries whether to go on, and
// told once when another run has held the names for a while (a build that
// seems to hang is waiting for a run that was stopped, or is slow).
class Waiting {
public:
    // `lock_file` is the file the run waits for. Throws to give up the wait
    // (Ctrl-C, a termination): the lock is not taken, and the exception
    // goes on to the caller.
    virtual void still_waiting(const std::string& lock_file) = 0;
    virtual void waiting_long(const std::string& lock_file) = 0;

protected:
    ~Waiting() = default;
};

class NamesLock {
public:
    // Waits until no other run holds the lock file at `path` (made when
    // missing), then holds it; `waiting` is asked between tries. An
    // advisory lock (flock) goes with its process, so a killed run never
    // leaves it held. Refuses (OsFailure naming `path`) a lock file that can
    // be neither made nor opened; on a file system that has no locks it
    // holds nothing (held() is false).
    NamesLock(std::string path, Waiting& waiting);
    // Removes the lock file, then lets the next run in.
    ~NamesLock();
    NamesLock(const NamesLock&) = delete;
    NamesLock& operator=(const NamesLock&) = delete;

    bool held() const { return held_; }

private:
    std::string path_;
    platform::LockFile file_;
    bool held_ = false;
};

}  // namespace velk::outfile
