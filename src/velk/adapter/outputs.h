// The output stage of VELK and FLASH: every file of a run is written to a
// temporary beside its name, then all are put in place together
// (outfile::OutputSet). A file system failure is OSError naming the file,
// as open() would name it; an Intel HEX address past 4 GiB is the
// package's OverflowError.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../../engine/layout/memory_map.h"
#include "../module/handle.h"
#include "../../engine/outfile/output_set.h"
#include "../../engine/outfile/termination.h"

namespace velk {

// The OverflowError of the package's writer for an address it cannot write.
[[noreturn]] void raise_address_overflow();

// Where a writer puts a file's text or bytes.
class Sink;

// Where the stage's own lines go while it waits for another run writing
// the same names: the mode's reporter words them as its other notes and
// errors. Without one nothing is said.
struct Told {
    std::function<void(const std::string&)> note, error;
};

class Outputs final : private outfile::Waiting {
public:
    explicit Outputs(outfile::Claim claim = outfile::Claim::locked, Told told = {})
        : set_(claim), told_(std::move(told)) {}
    // A second thread still writing is stopped and waited for.
    ~Outputs();

    // The files the writers below are given while this is on are written
    // on a second thread, started by write_deferred(), while this one
    // writes the others; commit() waits for it. Their temporaries are
    // made here, at once.
    void defer(bool on) { deferring_ = on; }
    void write_deferred();

    // <filename>: the Intel HEX text of `memory` with the start linear
    // address `entry`; an entry point above 4 GiB has no start record (a
    // 32-bit one would send the programmer elsewhere).
    void intel_hex(PyObject* filename, const layout::MemoryMap& memory, uint64_t entry);
    // <filename>: S-records of `memory`, `entry` in the termination record
    // (0 there when it lies above 4 GiB).
    void srecord(PyObject* filename, const layout::MemoryMap& memory, uint64_t entry);
    // <filename>: UF2 blocks of `memory` for chips of `family`.
    void uf2(PyObject* filename, const layout::MemoryMap& memory, uint32_t family);
    // <filename>: the bytes of [from, to), erased flash where memory has none.
    void binary(PyObject* filename, const layout::MemoryMap& memory, uint64_t from,
                uint64_t to);
    // <filename>: `pieces` one after another (a file's bytes with a few
    // replaced).
    void bytes(PyObject* filename,
               const std::vector<std::pair<const uint8_t*, size_t>>& pieces);
    // An earlier file of this name would not match this run's files.
    void remove(PyObject* filename);

    void commit();
    // The names remove() was given that held a file commit() deleted.
    std::vector<Ref> removed() const;

private:
    using Job = std::function<void(Sink&)>;
    // `job` writes `file`: now, or on the second thread when deferring.
    void run(outfile::ReplacingFile& file, Job job);
    // Waits for the second thread; a failure there is raised here.
    void join();

    outfile::ReplacingFile& create(PyObject* filename);
    [[noreturn]] void raise(const outfile::OsFailure& failure) const;

    // Another run holds the names: Ctrl-C and the termination signals end
    // the wait, and the run, with nothing written.
    void still_waiting(const std::string& lock_file) override;
    void waiting_long(const std::string& lock_file) override;

    // Made first and gone last: a termination signal that comes while the
    // files are written ends the run after their temporaries are removed.
    outfile::TerminationHeld held_;
    outfile::OutputSet set_;
    Told told_;
    std::vector<std::pair<std::string, Ref>> names_;  // file system name, as given
    bool deferring_ = false;
    std::vector<std::pair<outfile::ReplacingFile*, Job>> deferred_;
    std::thread worker_;
    std::atomic<bool> stop_{false};     // the run is ending: the worker stops
    std::atomic<bool> worker_done_{false};
    bool worker_stopped_ = false;       // it stopped before its files were whole
    std::optional<outfile::OsFailure> worker_failure_;
};

}  // namespace velk
