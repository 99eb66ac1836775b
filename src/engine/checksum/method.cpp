#include "method.h"

#include <stdexcept>

#include "../base/byte_order.h"

namespace velk::checksum {

namespace {

// `value`'s low `size` bytes, most significant first.
Bytes big_endian_bytes(uint64_t value, unsigned size) {
    Bytes out(size);
    bytes::store(out.data(), size, bytes::Order::big, value);
    return out;
}

// A CRC unit fed words takes whole words: a word split between two pieces
// waits for its last bytes.
class CrcRunning final : public Running {
public:
    CrcRunning(const Crc& crc, Feed feed) : crc_(crc), feed_(feed), reg_(crc.start()) {}

    void update(const uint8_t* data, size_t size) override {
        if (feed_ == Feed::bytes) {
            reg_ = crc_.update(reg_, data, size, feed_);
            return;
        }
        while (size && held_) {
            word_[held_++] = *data++;
            --size;
            if (held_ == 4) {
                reg_ = crc_.update(reg_, word_, 4, feed_);
                held_ = 0;
            }
        }
        const size_t whole = size & ~size_t{3};
        reg_ = crc_.update(reg_, data, whole, feed_);
        for (size_t i = whole; i < size; ++i) word_[held_++] = data[i];
    }

    Bytes finish() override {
        return big_endian_bytes(crc_.finish(reg_), (crc_.width() + 7) / 8);
    }

private:
    const Crc& crc_;
    Feed feed_;
    uint64_t reg_;
    uint8_t word_[4] = {};
    unsigned held_ = 0;
};

// Sum, Fletcher or Adler: `Arithmetic` has update() and finish().
template <class Arithmetic>
class Counting final : public Running {
public:
    Counting(Arithmetic arithmetic, unsigned bytes)
        : arithmetic_(std::move(arithmetic)), bytes_(bytes) {}

    void update(const uint8_t* data, size_t size) override { arithmetic_.update(data, size); }
    Bytes finish() override { return big_endian_bytes(arithmetic_.finish(), bytes_); }

private:
    Arithmetic arithmetic_;
    unsigned bytes_;
};

template <class Arithmetic>
std::unique_ptr<Running> counting(Arithmetic arithmetic, unsigned bytes) {
    return std::make_unique<Counting<Arithmetic>>(std::move(arithmetic), bytes);
}

class DigestRunning final : public Running {
public:
    explicit DigestRunning(std::unique_ptr<crypto::Digest> digest) : digest_(std::move(digest)) {}

    void update(const uint8_t* data, size_t size) override { digest_->update(data, size); }
    Bytes finish() override { return digest_->finish(); }

private:
    std::unique_ptr<crypto::Digest> digest_;
};

}  // namespace

Method::Method(const Algorithm& row)
    : kind_(row.kind), width_(row.width()), sum_(row.sum) {
    if (kind_ == Kind::crc) crc_ = std::make_shared<const Crc>(row.parameters);
}

Method::Method(const CrcParameters& crc)
    : kind_(Kind::crc), width_(crc.width), crc_(std::make_shared<const Crc>(crc)) {}

std::unique_ptr<Running> Method::start(const Setting& s) const {
    switch (kind_) {
        case Kind::crc:
            return std::make_unique<CrcRunning>(*crc_, s.feed);
        case Kind::sum:
            return counting(Sum(width_, sum_, s.big_endian), bytes());
        case Kind::fletcher:
            return counting(Fletcher(width_, s.big_endian), bytes());
        case Kind::adler:
            return counting(Adler(), bytes());
        case Kind::sha256:
            if (!s.sha256) throw crypto::Failure{"this program has no SHA-256"};
            return std::make_unique<DigestRunning>(s.sha256());
        case Kind::wide_crc:
            break;
    }
    throw std::logic_error("a CRC wider than 64 bits is not computed");
}

}  // namespace velk::checksum
