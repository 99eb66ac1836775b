// FLASH mode: `velk-crc FLASH <elf> --n|--a|--s...` writes the whole flash
// image of a build, checksummed, in every file the run asks for. A run is
// four stages over one FlashRun:
//   plan     the build read, its records planned, the layout checked;
//   compute  the records stored into the image, other files merged in;
//   files    every file written, checked as its own CHECK would check it
//            (flash_verify.h), and put in place together;
//   report   the lines, warnings, notes and --json's object.
// Each stage refuses what it cannot do (Refusal) before any file is
// touched, the files stage aside.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../elf/elf_build.h"
#include "../formats/formats.h"
#include "../mcuboot/signing.h"
#include "../records/incremental.h"
#include "../records/plan.h"
#include "../report/reporter.h"
#include "../request/request.h"
#include "../run/host.h"
#include "crc_elf.h"
#include "flash_digests.h"
#include "../merged/merge.h"

namespace velk::flash {

// A layout check and whether FLASH refuses it unless forced.
struct Finding {
    std::string text;
    bool refused;
};

// A file of a format: the application's own, or merged with others.
struct File {
    const formats::Format* format;
    bool merged;
    std::string name;
    bool written;  // asked for, and can be made; otherwise an earlier one goes
};

struct FlashRun {
    explicit FlashRun(const Request& r) : request(r) {}

    const Request& request;
    // plan
    ElfBuild elf;
    records::Plan plan;
    // The build's image, sharing the ELF file's bytes, with its load
    // segments; compute stores the records in it.
    layout::MemoryMap memory;
    uint32_t family = 0;       // the UF2 files' chip family
    std::vector<Finding> findings;
    mcuboot::Stage signing;  // MCUboot: plan places the image, compute signs it
    std::optional<mcuboot::HexImage> hex_image;  // MCUboot's hex-addr=: the HEX's own
    // A devices run's own values for one device, stamped before compute:
    // the checksummed ELF holds them as it holds the records.
    std::vector<std::pair<uint64_t, records::Bytes>> stamped;
    // The records of images that differ from the build's only there,
    // computed from what they share: none stores them from scratch.
    std::shared_ptr<const records::Incremental> incremental;
    // The files --merge names, read once for every device.
    std::shared_ptr<const std::vector<ImageFile>> merge_read;
    // The SoftDevice --nrf-settings names, read once for every device.
    std::shared_ptr<const formats::nrf::Image> nrf_softdevice;
    // compute
    std::vector<records::Bytes> stored;  // each record's bytes, as memory holds them
    std::optional<Merged> merged;
    CrcElf crc_elf;
    records::Bytes planted;  // a test's planted fault (plant_test_fault)
    // files
    std::vector<File> files;  // a row of the table each, own and merged
    std::vector<std::string> removed;
    // With --mcuboot: each file written and its SHA-256, for a release's
    // manifest.
    std::vector<std::pair<std::string, std::string>> digests;

    bool asked(const formats::Format& format) const { return formats::asked(format, request); }
    // Whether the run asks for files of a format with `trait`.
    bool asked(bool formats::Format::*trait) const;
    // What the application's .bin holds: the records' images, and the
    // signed image's slot with --mcuboot.
    std::pair<uint64_t, uint64_t> bin_range() const;
    // What the application's files hold, or (`merged`, with --merge) the
    // merged files.
    formats::Contents contents(bool merged) const;
    // The application's HEX: the file every run writes.
    const File& primary() const;
    // The application's file of the first format with `trait`.
    const File& own_file(bool formats::Format::*trait) const;
};

void plan(FlashRun& run, Host& host);
void compute(FlashRun& run, Host& host);
// The error line of a run a termination signal ends while it waits for
// another run's files: said at once, as the signal ends the process.
using LastWords = std::function<void(const std::string&)>;
// `tap`, when given, is shown every file's bytes.
void write_files(FlashRun& run, Warnings& warnings, Host& host, const LastWords& last_words,
                 outfile::Tap* tap);
// The first of two signing steps (--mcuboot sign=): `file` holds what the
// key's holder signs, and every file of an earlier run goes.
void write_to_sign(FlashRun& run, const std::string& file, Warnings& warnings, Host& host,
                   const LastWords& last_words);
// With --mcuboot: the SHA-256 of every file written, from what `digests`
// was shown.
void digest_files(FlashRun& run, FileDigests& digests);
void report(const FlashRun& run, Reporter& report);
// The first step's report: the records, what was written to sign and for
// which key, the files of an earlier run removed.
void report_to_sign(const FlashRun& run, const std::string& file, Reporter& report);
// The first of two signing steps, after plan(): the records stored, the
// image hashed, what the key's holder signs written, and no image.
int run_to_sign(FlashRun& run, Reporter& report, Host& host);

}  // namespace velk::flash
