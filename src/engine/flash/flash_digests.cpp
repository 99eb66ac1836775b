#include "flash_digests.h"

#include "../report/text.h"
#include "flash_run.h"

namespace velk::flash {

FileDigests::FileDigests(crypto::Provider& provider, size_t most_queued)
    : provider_(provider),
      most_queued_(most_queued),
      hashing_([this] { hash_chunks(); }) {}

FileDigests::~FileDigests() {
    if (!hashing_.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ending_ = true;
        chunks_ = {};
        queued_ = 0;
    }
    changed_.notify_all();
    hashing_.join();
}

void FileDigests::written(const std::string& target, const char* data, size_t size) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return queued_ < most_queued_ || ending_; });
    if (ending_) return;
    chunks_.push({target, std::string(data, size)});
    queued_ += size;
    changed_.notify_all();
}

void FileDigests::hash_chunks() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [&] { return !chunks_.empty() || ending_; });
        if (chunks_.empty()) return;
        Chunk chunk = std::move(chunks_.front());
        chunks_.pop();
        hold.unlock();
        // After a failure the rest is only taken off the queue.
        if (!failure_) try {
                std::unique_ptr<crypto::Digest>& digest = running_[chunk.target];
                if (!digest) digest = provider_.sha256();
                digest->update(reinterpret_cast<const uint8_t*>(chunk.bytes.data()),
                               chunk.bytes.size());
            } catch (const crypto::Failure& failure) {
                failure_ = failure;
            }
        hold.lock();
        queued_ -= chunk.bytes.size();
        changed_.notify_all();
    }
}

void FileDigests::drain() {
    if (!hashing_.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ending_ = true;
    }
    changed_.notify_all();
    hashing_.join();
    if (failure_) throw *failure_;
    for (auto& [target, digest] : running_) done_[target] = text::hex(digest->finish());
    running_.clear();
}

std::string FileDigests::hex(const std::string& target) {
    drain();
    auto found = done_.find(target);
    if (found != done_.end()) return found->second;
    return text::hex(provider_.sha256()->finish());
}

void digest_files(FlashRun& run, FileDigests& digests) {
    for (const File& file : run.files)
        if (file.written) run.digests.emplace_back(file.name, digests.hex(file.name));
}

}  // namespace velk::flash
