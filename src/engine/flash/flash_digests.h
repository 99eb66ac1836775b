// FLASH's manifest with --mcuboot: the SHA-256 of every file written, so
// that a release can publish what it ships and anyone can hold a download
// against it. Each file is hashed from the bytes the run writes into it,
// on a thread of its own while the writing goes on, rather than read back
// once all are in place.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <thread>

#include "../outfile/replacing_file.h"
#include "../run/crypto.h"

namespace velk::flash {

class FileDigests final : public outfile::Tap {
public:
    // How far the hashing may fall behind the writing, by default: a few of
    // the writers' chunks.
    static constexpr size_t queued_by_default = size_t{8} << 20;

    explicit FileDigests(crypto::Provider& provider,
                         size_t most_queued = queued_by_default);
    // A run that ends early stops the hashing unfinished.
    ~FileDigests();
    FileDigests(const FileDigests&) = delete;
    FileDigests& operator=(const FileDigests&) = delete;

    // Copied, so that the writer goes on with its buffer; the writer waits
    // while the hashing is far behind.
    void written(const std::string& target, const char* data, size_t size) override;

    // Each file's digest in lowercase hex, once all were written; a file
    // nothing was written into has the digest of no bytes.
    std::string hex(const std::string& target);

private:
    struct Chunk {
        std::string target;
        std::string bytes;
    };
    void hash_chunks();
    // Waits until every chunk is hashed; a failure there is thrown here.
    void drain();

    crypto::Provider& provider_;
    size_t most_queued_;
    std::map<std::string, std::unique_ptr<crypto::Digest>> running_;
    std::map<std::string, std::string> done_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::queue<Chunk> chunks_;
    size_t queued_ = 0;  // bytes in chunks_
    bool ending_ = false;
    std::optional<crypto::Failure> failure_;
    std::thread hashing_;
};

}  // namespace velk::flash
