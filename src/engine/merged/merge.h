// FLASH's merged files: a bootloader (or any other image) and the
// checksummed application in one file for the programmer. Each merged
// file's bytes stay as they are; none may fall where the application or
// another merged file writes, nor inside a range a record covers.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../inputs/image_file.h"
#include "../records/plan.h"
#include "../report/wording.h"

namespace velk {

struct Merged {
    std::vector<ImageFile> sources;  // in the order given; the map shares their bytes
    std::vector<std::string> names;  // each source's file, as given (without @0x...)
    layout::MemoryMap memory;        // the application's and theirs
    uint64_t entry = 0;              // the start address
    wording::EntryFrom entry_from = wording::EntryFrom::application;
    std::string entry_file;          // the merged file it comes from
    bool entry_chosen = false;       // the asker chose it
    uint64_t from = 0, to = 0;       // a raw binary's range: every byte the map holds
    std::vector<std::string> warnings;  // what reading them found, each naming its file
};

// What the merged files are: --merge's words (a raw binary as
// <file>@0x<address>) and --entry's choice of their start address (a file
// among them, `application_file` itself, or 0x<address>).
struct MergeRequest {
    std::vector<MergeFile> files;
    std::optional<StartAddress> entry;
    std::string application_file;
    // The files as read_merge_files() read them once for many images (a
    // devices run's); none: each is read here.
    std::shared_ptr<const std::vector<ImageFile>> read = nullptr;
};

// Each of `files` read, in order, for merge_with() to take again and again.
std::vector<ImageFile> read_merge_files(const std::vector<MergeFile>& files);

// The files read and merged with `application`, the checksummed image of
// `plan`. Refuses a file that cannot be read, a merged file that reaches
// into the application's bytes (naming the first such byte and how many),
// a merged byte a record covers, an address two merged files write, a UF2
// file of another chip family than `uf2_family` (the merged UF2 would
// relabel its blocks) and, unless `force`, a merged file without
// addresses holding more than 16 MiB of fill (`unplaced`: the files asked
// for that hold none, ".bin and .dfu", and the options that asked, "--bin
// and --dfu"; empty: none was asked for). The start address is --entry's, else the first merged
// file's that has one, else the application's.
Merged merge_with(const MergeRequest& request, const layout::MemoryMap& application,
                  uint64_t application_entry, const records::Plan& plan,
                  const std::pair<std::string, std::string>& unplaced, bool force,
                  std::optional<uint32_t> uf2_family);

// --entry without --merge, or of a file that is not merged: the refusal.
void refuse_entry_without_merge(const Request& request);

}  // namespace velk
