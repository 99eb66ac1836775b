// The output stage of FLASH (and of VELK mode's one file): every file of a
// run is written to a temporary beside its name, then all are put in place
// together (OutputSet). A file system failure is an OsFailure naming the
// file; the run's own answers (Ctrl-C, a termination signal, the notes of
// a wait for another run) go through a Writing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../layout/memory_map.h"
#include "../platform/platform.h"
#include "output_set.h"

namespace velk::outfile {

// A termination signal (kill, a closed terminal) came while the files were
// written: nothing is put in place, and the run ends by the signal once its
// temporaries are gone.
struct Terminated {
    int signal_number;
};

// What the stage asks of the run that writes: called between chunks of a
// file (it throws to stop the run: Ctrl-C), and told when another run has
// held the names for a while, or a termination came while waiting.
class Writing {
public:
    virtual void between_chunks() = 0;
    virtual void waiting_long(const std::string& lock_file) = 0;
    virtual void terminated_while_waiting(const std::string& lock_file) = 0;

protected:
    ~Writing() = default;
};

// Where a format's writer puts a file: text a line at a time, or the
// image's bytes a chunk at a time. The output stage answers Ctrl-C and a
// termination signal between the pieces it is given.
class Sink : public layout::TextSink, public layout::ChunkSink {
public:
    void take(uint8_t* chunk, size_t size) override {
        put(reinterpret_cast<const char*>(chunk), size);
    }

protected:
    ~Sink() = default;
};

class Outputs final : private Waiting {
public:
    Outputs(Claim claim, Writing& writing) : set_(claim), writing_(writing) {}
    // A second thread still writing is stopped and waited for.
    ~Outputs();

    // The files write() is given while this is on are written
    // on a second thread, started by write_deferred(), while this one
    // writes the others; commit() waits for it. Their temporaries are
    // made here, at once.
    void defer(bool on) { deferring_ = on; }
    // The bytes of every file given after this are shown to `tap` as they
    // are written; commit() tells it when this thread's are (before it
    // waits for the second thread) and when all are, before any is put in
    // place.
    void tap(Tap& tap) { tap_ = &tap; }
    void write_deferred();
    // One sync of the folder's file system for all the files (OutputSet).
    void sync_together(std::string folder) { set_.sync_together(std::move(folder)); }

    // What writes a file: a format's writer, given where the bytes go.
    using Writer = std::function<void(Sink&)>;
    // <path>: what `writer` puts in its sink. It runs now, or on the
    // second thread while deferring: what it reads must live until
    // commit().
    void write(const std::string& path, Writer writer);
    // An earlier file of this name would not match this run's files.
    void remove(const std::string& path);

    void commit();
    // commit() in two steps: every file written and checked (the tap's
    // waiting() and all_written(), the second thread joined), then put in
    // place, which may run on another thread once nothing is written.
    void check_written();
    void put_in_place();
    // The names remove() was given that held a file commit() deleted.
    const std::vector<std::string>& removed() const { return set_.removed(); }

private:
    ReplacingFile& add(const std::string& path);
    // Waits for the second thread; a failure there is thrown here.
    void join();

    void still_waiting(const std::string& lock_file) override;
    void waiting_long(const std::string& lock_file) override;

    // Made first and gone last: a termination signal that comes while the
    // files are written ends the run after their temporaries are removed.
    platform::TerminationHeld held_;
    OutputSet set_;
    Writing& writing_;
    bool deferring_ = false;
    Tap* tap_ = nullptr;
    std::vector<std::pair<ReplacingFile*, Writer>> deferred_;
    std::thread worker_;
    std::atomic<bool> stop_{false};     // the run is ending: the worker stops
    // Set when the worker ends, under done_lock_: join() wakes at once
    // rather than at its next look for Ctrl-C.
    bool worker_done_ = false;
    std::mutex done_lock_;
    std::condition_variable done_;
    bool worker_stopped_ = false;       // it stopped before its files were whole
    std::optional<OsFailure> worker_failure_;
};

}  // namespace velk::outfile
