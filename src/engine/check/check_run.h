// CHECK mode: `velk-crc CHECK <file> --n|--a|--s... [--elf <build.elf>
// [--merge <file>]...]` verifies the records a file holds, and with --elf
// that it is that build's flash image (merged with those files),
// checksummed. Every line is about the file's own bytes: a record is right
// when they give the value it holds, and with --elf when that value is also
// the build's. It writes nothing. Exit 0 when the file is right, 1 when it
// is not, 2 when it cannot tell. A run is three stages over one CheckRun:
//   plan     the file and the build read, the records planned, what the
//            file should hold made, and what cannot be judged refused;
//   compute  each record's bytes, the signed image's fields (--mcuboot),
//            the first byte that differs, the start address and the UF2
//            family: facts, no words;
//   report   the lines, notes, hints and --json's object, and the verdict.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../elf/elf_build.h"
#include "../formats/nrf_settings.h"
#include "../merged/merge.h"
#include "../inputs/image_file.h"
#include "../records/plan.h"
#include "../records/symbols.h"
#include "../report/reporter.h"
#include "../request/request.h"
#include "../run/host.h"
#include "device_check.h"
#include "mcuboot_check.h"

namespace velk::check {

struct CheckRun {
    explicit CheckRun(const Request& r) : request(r) {}

    const Request& request;
    // plan
    std::optional<ElfBuild> build;    // the build the file is checked against
    ImageFile file;                   // the file checked
    records::Plan plan;
    layout::MemoryMap memory;         // the file's bytes, erased flash in its images
    layout::MemoryMap build_memory;   // with the build: its bytes, before any record
    layout::MemoryMap expected;       // with the build: its bytes with its records
    std::vector<records::Bytes> built;  // what FLASH would store, as `expected` has it
    std::optional<Merged> merged;     // the build's merged with the files given
    std::optional<uint32_t> family;   // the chip family a UF2 file must be for
    std::optional<mcuboot::Verdict> mcuboot;  // a signed MCUboot image's
    // An ELF file whose sections hold other bytes than its program headers
    // load: the first difference, told. Never ok, whatever else is.
    std::optional<std::string> views_differ;
    // --stamp, --manifest: a device's own bytes, judged apart.
    std::optional<DeviceCheck> device;
    // --nrf-settings: the nRF5 bootloader settings page's verdict.
    std::optional<formats::NrfVerdict> nrf_settings;

    // compute
    std::vector<records::Found> found;  // each record's
    std::optional<layout::Difference> difference;  // with the build: the first byte that differs
    // --elf: the objects the build reserved as slots (placeholders) that
    // hold every byte that differs, when they do: records no word named.
    std::vector<records::Placeholder> placeholders;
    // A raw binary holds its images alone: the build's loadable bytes
    // outside [bin_from, bin_to) are not checked.
    uint64_t outside_bin = 0, bin_from = 0, bin_to = 0;
    // A container's padding after the image (an NXP master boot image's, to
    // a whole word): where the file that holds the image ends.
    uint64_t padded_to = 0;
    // --elf without --merge: the bytes the file holds that the build does
    // not, the first at `beyond_from`.
    uint64_t beyond = 0, beyond_from = 0;
    // --elf without --mcuboot: the MCUboot header the file holds for the
    // build (at its start, or right before it), not judged.
    std::optional<uint64_t> unjudged_header;
    bool unjudged_opens_bin = false;  // a raw binary that starts with it, placed at the build
    // --elf, a format that carries a start address: FLASH's and the file's.
    bool start_checked = false;
    std::optional<uint64_t> start_wanted, start_held;

    // Where FLASH's .bin of the build starts and ends: its records'
    // images, or without records the build's loadable bytes.
    std::pair<uint64_t, uint64_t> images_range() const;

    // Where a name of the request is the build's: --elf's file.
    const std::string& build_name() const { return *request.elf; }
};

void plan(CheckRun& run, Warnings& warnings, Host& host);
void compute(CheckRun& run);
// The verdict: true when the file is right.
bool report(const CheckRun& run, Reporter& report);

}  // namespace velk::check
