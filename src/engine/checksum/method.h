// A checksum algorithm ready to compute: a CRC with its tables built once,
// a sum, Fletcher, Adler, or SHA-256 from the digest the program supplies.
// Each computation is fed the bytes of a range in pieces of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "../run/crypto.h"
#include "catalogue.h"

namespace velk::checksum {

using Bytes = std::vector<uint8_t>;

// One computation under way.
class Running {
public:
    virtual ~Running() = default;
    virtual void update(const uint8_t* data, size_t size) = 0;
    // The value, most significant byte first (SHA-256: the digest).
    virtual Bytes finish() = 0;
};

// Where SHA-256 comes from: the program's digest, fed in pieces.
using DigestSource = std::function<std::unique_ptr<crypto::Digest>()>;

// How one computation reads the bytes: as a CRC unit fed words takes them
// (CRC only); words of sums and Fletcher-32 big-endian.
struct Setting {
    Feed feed = Feed::bytes;
    bool big_endian = false;
    DigestSource sha256;
};

class Method {
public:
    explicit Method(const Algorithm& row);
    explicit Method(const CrcParameters& crc);

    // Starts a computation; SHA-256 throws crypto::Failure when the
    // program has no digest.
    std::unique_ptr<Running> start(const Setting& setting) const;

    Kind kind() const { return kind_; }
    // The value's bytes.
    unsigned bytes() const { return (width_ + 7) / 8; }
    // A CRC's tables; null for any other algorithm.
    const std::shared_ptr<const Crc>& crc() const { return crc_; }

private:
    Kind kind_;
    unsigned width_;
    SumParameters sum_;
    std::shared_ptr<const Crc> crc_;
};

}  // namespace velk::checksum
