// What writes a batch of devices' files: the stage's answers while they
// are written, the tap that hands each file's bytes to its device's own
// check and to the batch's digests, and the names a device's files have.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "../flash/flash_digests.h"
#include "../flash/flash_run.h"
#include "../flash/flash_verify.h"
#include "../outfile/outputs.h"
#include "../report/reporter.h"
#include "../run/host.h"

namespace velk::devices {

// The stage's questions while a batch is written.
class BatchWriting final : public outfile::Writing {
public:
    BatchWriting(Reporter& report, Host& host) : report_(report), host_(host) {}

    void between_chunks() override { host_.stop_if_asked(); }
    void waiting_long(const std::string& lock_file) override {
        report_.note("waiting for " + lock_file +
                     ": another velk-crc run is writing these files");
    }
    void terminated_while_waiting(const std::string& lock_file) override {
        report_.error("terminated while waiting for " + lock_file +
                      "; this batch's files were not written");
    }

private:
    Reporter& report_;
    Host& host_;
};

// Every file's bytes go to its device's own check and to the batch's
// digests.
class BatchTap final : public outfile::Tap {
public:
    explicit BatchTap(flash::FileDigests& digests) : digests_(digests) {}

    void add(const std::string& target, flash::SelfCheck* check) {
        checks_[target] = check;
        if (std::find(all_.begin(), all_.end(), check) == all_.end()) all_.push_back(check);
    }
    void written(const std::string& target, const char* data, size_t size) override {
        auto found = checks_.find(target);
        if (found != checks_.end()) found->second->written(target, data, size);
        digests_.written(target, data, size);
    }
    void waiting() override {
        for (flash::SelfCheck* check : all_) check->waiting();
    }
    void all_written() override {
        for (flash::SelfCheck* check : all_) check->all_written();
    }

private:
    flash::FileDigests& digests_;
    std::map<std::string, flash::SelfCheck*> checks_;
    std::vector<flash::SelfCheck*> all_;
};

// "cannot write out/fw_1000_CRC.hex: Permission denied"
[[noreturn]] void refuse_os_failure(const outfile::OsFailure& failure);

// The formats a device gets, own and merged: what FLASH writes for the
// build, by name.
std::vector<std::pair<const formats::Format*, bool>> asked_files(const flash::FlashRun& run);

// Every name a device's files can have, asked for or not: an earlier
// run's file of a format this one does not write is the device's too.
std::vector<std::string> every_name(const std::string& root);

}  // namespace velk::devices
