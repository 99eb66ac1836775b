// The output stage of VELK and FLASH: every file of a run is written to a
// temporary beside its name, then all are put in place together
// (outfile::OutputSet). A file system failure is OSError naming the file,
// as open() would name it; an Intel HEX address past 4 GiB is the
// package's OverflowError.
#pragma once

#include <string>
#include <vector>

#include "../layout/memory_map.h"
#include "../module/handle.h"
#include "../outfile/output_set.h"
#include "../outfile/termination.h"

namespace velk {

// The OverflowError of the package's writer for an address it cannot write.
[[noreturn]] void raise_address_overflow();

class Outputs {
public:
    explicit Outputs(outfile::Claim claim = outfile::Claim::locked) : set_(claim) {}

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
    outfile::ReplacingFile& create(PyObject* filename);
    [[noreturn]] void raise(const outfile::OsFailure& failure) const;

    // Made first and gone last: a termination signal that comes while the
    // files are written ends the run after their temporaries are removed.
    outfile::TerminationHeld held_;
    outfile::OutputSet set_;
    std::vector<std::pair<std::string, Ref>> names_;  // file system name, as given
};

}  // namespace velk
