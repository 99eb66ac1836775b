// FLASH's own check of what it is about to put in place. A file its own
// CHECK would refuse is never renamed into place: the run stops with an
// InternalError naming the file and CHECK's line for what is wrong, and
// every name keeps what it held.
//
// What is checked, over the final bytes:
//   - every record, recomputed by its producer (CHECK's own) over the
//     image each file is written from (the application's, and the merged
//     one), against the bytes its slot holds there;
//   - with --mcuboot, the signed image read back from those images where
//     FLASH put it: the header's fields against the layout, the TLV areas
//     by the format's own reader, the SHA-256 of header, payload and
//     protected TLVs, the key hash (or key) and the signature with the
//     run's own key by CHECK's own walk of the TLVs, and the trailer of a
//     padded slot;
//   - each file's bytes as its writer emits them (its format's check): that
//     they hold that image.
// The records' checks run on the run's own thread once it has written its
// files, while the second thread still writes the HEX (the one wait of a
// run, which they fill); the signed image's, a hash over all of it, on a
// thread of its own beside the writing; the files' checks ride along with
// the writing.
#pragma once

#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../outfile/replacing_file.h"
#include "../formats/file_checks.h"
#include "flash_run.h"

namespace velk::flash {

using formats::FileCheck;
using formats::Span;

// Why a record or the signed image in `memory` is not what CHECK would
// accept, in CHECK's words; empty when all are right. `crypto` hashes and
// verifies the signature (with the key of `pem`, when signed).
std::string records_fault(const records::Plan& plan, const layout::MemoryMap& memory);
std::string mcuboot_fault(const mcuboot::Stage& signing, const layout::MemoryMap& memory,
                          crypto::Provider& crypto);

// A test's planted fault: with VELK_CRC_TEST_FAULT=0x<address> in the
// environment, the byte at that address of the image the application's
// files are written from is changed after the records are stored (with
// merged:0x<address>, of the merged files' image), so that the suite sees
// this check stop the run. Unset, as in every real run, it does nothing.
void plant_test_fault(FlashRun& run);

class SelfCheck final : public outfile::Tap {
public:
    // Starts the signed image's check; `next` is shown every file's bytes
    // too.
    SelfCheck(const FlashRun& run, Host& host, outfile::Tap* next);
    ~SelfCheck();
    SelfCheck(const SelfCheck&) = delete;
    SelfCheck& operator=(const SelfCheck&) = delete;

    void written(const std::string& target, const char* data, size_t size) override;
    // The image's checks (once); throws InternalError naming the first
    // file that would fail.
    void waiting() override;
    // The image's checks if not done yet, and the end of each file's;
    // throws InternalError naming the first file that would fail.
    void all_written() override;

private:
    // The check of the file named `target`, made at its first bytes (null
    // for a file no check reads).
    FileCheck* check_of(const std::string& target);
    // A file's check, against the image it is written from: the
    // application's, or the merged one.
    std::unique_ptr<FileCheck> make_check(const File& file) const;
    void check_images();
    [[noreturn]] void fail(const std::string& file, const std::string& line) const;

    const FlashRun& run_;
    outfile::Tap* next_;
    crypto::Provider* crypto_;  // a signed image's hash and signature
    bool images_checked_ = false;
    // With --mcuboot, the signed image's check on a thread of its own.
    std::thread signed_check_;
    std::string signed_fault_;
    std::exception_ptr signed_thrown_;
    std::vector<Span> spans_;  // the records' slots; the MCUboot header, TLVs, trailer
    std::mutex lock_;
    std::map<std::string, std::unique_ptr<FileCheck>> files_;
};

}  // namespace velk::flash
