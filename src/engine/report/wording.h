// Lines the modes share, in words a firmware engineer acts on: what a
// reader found wrong in a file, what a selector takes, a symbol that is not
// there, a raw binary of mostly fill, the merged files' start address.
#pragma once

#include <string>
#include <vector>

#include "../layout/file_data.h"
#include "../request/option_table.h"

namespace velk::wording {

// A layout that cannot be made from an ELF file's program headers.
std::string layout_fault(const layout::Fault& fault,
                         const std::vector<layout::ProgramHeader>& headers);

// How a text format's faults name its records.
struct RecordNames {
    const char* record;      // one of its records: "an S-record"
    const char* end_record;  // the record that ends such a file: "termination"
    const char* end_types;   // its types: "S7, S8 or S9"
};

// A segment that loads the ELF file's own headers, [from, to), behind a
// section's bytes.
std::string own_headers_loaded(size_t segment, uint64_t from, uint64_t to);

// A record that cannot be read.
std::string read_fault(const layout::ReadFault& fault, const RecordNames& names);

// What the selectors take, said after a bad value.
std::string address_rule();   // --a
std::string block_rule();     // --s
std::string selector_rule();  // none given (VELK mode)

// --words over a range that is not whole words; `piece` when the range
// has holes (--exclude) and [start, end) is the piece that is not.
std::string words_rule(const Asker& asker, uint64_t start, uint64_t end,
                       bool piece = false);

// A raw binary (`which`: ".bin", "merged .bin") that would be mostly the
// fill between far-apart data: `gaps` bytes of it in [from, to); `leave_out`
// names the options that ask for it, --bin when empty.
std::string bin_of_fill(const Asker& asker, const std::string& which, uint64_t gaps,
                        uint64_t from, uint64_t to, const std::string& leave_out = {});

// A symbol that is not there: in a file without a symbol table, or with
// the names closest to it.
std::string no_symbol_table(const Asker& asker, const std::string& name);
std::string not_found(const std::string& name, const std::vector<std::string>& closest);
// " (did you mean a, b or c?)" for the names nearest to a mistyped one;
// empty when there are none.
std::string did_you_mean(const std::vector<std::string>& closest);
// The same for a name the file does not hold anywhere, not even in its
// debugging information: what a linker's garbage collection leaves.
std::string dropped(const std::string& name, const std::vector<std::string>& closest);


// Where the merged files' start address comes from.
enum class EntryFrom { application, file, address };

// The merged files' start address and where it comes from: the
// application, a merged `file`, or an address; `chosen` by --entry.
std::string merged_start(const Asker& asker, uint64_t entry, EntryFrom from,
                         const std::string& file, bool chosen);

// An ELF entry point the HEX and S-record files cannot carry (above 4 GiB).
std::string entry_left_out(uint64_t entry);

}  // namespace velk::wording
