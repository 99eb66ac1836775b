#include "algorithm.h"

#include <algorithm>
#include <cstring>

#include "../report/refusal.h"
#include "../report/text.h"

namespace velk::records {

namespace {

// Hands a range's bytes to the CRC a stretch at a time; a word-fed CRC
// takes whole words, so a word split between two pieces waits for its
// last bytes.
class Stream {
public:
    Stream(const checksum::Crc& crc, Feed feed) : crc_(crc), feed_(feed), reg_(crc.start()) {}

    void bytes(const uint8_t* data, uint64_t size) {
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
        const uint64_t whole = size & ~uint64_t{3};
        reg_ = crc_.update(reg_, data, whole, feed_);
        for (uint64_t i = whole; i < size; ++i) word_[held_++] = data[i];
    }

    uint64_t value() const { return crc_.finish(reg_); }

private:
    const checksum::Crc& crc_;
    Feed feed_;
    uint64_t reg_;
    uint8_t word_[4] = {};
    unsigned held_ = 0;
};

constexpr uint64_t chunk = uint64_t{1} << 20;

}  // namespace

bool Algorithm::is_default() const {
    return row == &checksum::default_algorithm();
}

Algorithm algorithm_of(const checksum::Algorithm& row) {
    Algorithm a;
    a.row = &row;
    a.name = row.name();
    a.width = row.bytes();
    a.crc = std::make_shared<const checksum::Crc>(row.parameters);
    return a;
}

Algorithm find_algorithm(const std::optional<std::string>& name) {
    if (!name) return algorithm_of(checksum::default_algorithm());
    const checksum::Algorithm* row = checksum::find(*name);
    if (!row)
        throw Refusal{"no CRC algorithm named \"" + *name +
                      "\" (velk-crc --list-crc lists the names)"};
    return algorithm_of(*row);
}

std::string catalogue_text() {
    std::string out =
        "CRC algorithms (velk-crc --crc <name>; any name of a line, any case):\n"
        "bytes  check               names\n";
    for (const checksum::Algorithm& row : checksum::catalogue()) {
        std::string names = row.crcmod;
        for (const char* n : row.names)
            if (checksum::folded(n) != row.crcmod) names += std::string(", ") + n;
        if (&row == &checksum::default_algorithm()) names += " (the default)";
        const unsigned bytes = row.bytes();
        out += text::format("%-6u 0x%0*llX%*s %s\n", bytes, static_cast<int>(2 * bytes),
                            static_cast<unsigned long long>(row.check),
                            static_cast<int>(18 - 2 * bytes), "", names.c_str());
    }
    out.pop_back();
    return out;
}

uint64_t checksum_of(const Algorithm& algorithm, const layout::MemoryMap& memory,
                     const Intervals& range, Feed feed, const BetweenChunks& between_chunks) {
    Stream stream(*algorithm.crc, feed);
    uint8_t erased[4096];
    std::memset(erased, memory.fill(), sizeof erased);
    uint64_t since = 0;  // bytes since between_chunks was last called
    for (const Interval& part : range.ranges())
        memory.walk(part.from, part.to, [&](const uint8_t* bytes, uint64_t size) {
            while (size) {
                uint64_t n = std::min(size, chunk - since);
                if (bytes) {
                    stream.bytes(bytes, n);
                    bytes += n;
                } else {
                    for (uint64_t left = n; left;) {
                        uint64_t piece = std::min<uint64_t>(left, sizeof erased);
                        stream.bytes(erased, piece);
                        left -= piece;
                    }
                }
                size -= n;
                since += n;
                if (since == chunk) {
                    since = 0;
                    if (between_chunks) between_chunks();
                }
            }
        });
    return stream.value();
}

}  // namespace velk::records
