// The files of one run, written beside their names and put in place
// together: after a failure every name holds what it held before (the
// earlier file, or nothing), never this run's file beside an earlier run's
// counterpart.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "names_lock.h"
#include "replacing_file.h"

namespace velk::outfile {

// How a set takes its names from other runs that may write them.
enum class Claim {
    // Under the names' lock (NamesLock), after clearing what killed runs
    // left beside them: parallel builds of one root each put a whole set.
    locked,
    // As they stand: nothing beside the names is made or touched.
    plain,
};

class OutputSet {
public:
    explicit OutputSet(Claim claim = Claim::locked) : claim_(claim) {}

    // A new file for `target`, written by the caller before commit().
    // Refuses (OsFailure) what ReplacingFile refuses.
    ReplacingFile& add(std::string target);
    // An earlier file at `target` that would not match this run's files:
    // it goes when they are put in place.
    void remove(std::string target);

    // Syncs and closes every file, takes the names (Claim; `waiting` is
    // asked while another run holds them), moves each earlier file at a
    // target aside, moves the new files in, deletes what was moved aside,
    // then syncs the targets' folders.
    // Termination signals wait until it is done; a failed step undoes the
    // steps before it and throws its OsFailure. What `waiting` throws ends
    // the commit with every name as it was.
    void commit(Waiting& waiting);

    // The files, all in `folder`, are put on the disk by one sync of its
    // file system before they are renamed, not one each, where the system
    // can (platform::syncs_file_systems): a batch of many small files.
    void sync_together(std::string folder) { together_ = std::move(folder); }

    // The targets of remove() that held a file which commit() deleted.
    const std::vector<std::string>& removed() const { return removed_; }

private:
    struct Aside {
        std::string target, hidden;
    };
    void move_aside(const std::string& target, std::vector<Aside>& aside);
    // Puts the earlier files back; the hidden names of those it could not.
    static std::string restore(std::vector<Aside>& aside) noexcept;

    Claim claim_;
    std::deque<ReplacingFile> files_;  // stable references for add()
    std::vector<std::string> stale_;
    std::vector<std::string> removed_;
    std::string together_;  // sync_together's folder
};

}  // namespace velk::outfile
