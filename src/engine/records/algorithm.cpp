#include "algorithm.h"

#include <algorithm>
#include <cstring>

#include "../base/byte_order.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"

namespace velk::records {

namespace {

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
    if (row.computed()) {
        a.method = std::make_shared<const checksum::Method>(row);
        a.crc = a.method->crc();
    }
    return a;
}

Algorithm find_algorithm(const std::optional<AlgorithmChoice>& choice) {
    if (!choice) return algorithm_of(checksum::default_algorithm());
    if (choice->row) return algorithm_of(*choice->row);
    if (!choice->parameters) throw Refusal{choice->refusal};
    Algorithm a;
    a.method = choice->parameters;
    a.crc = a.method->crc();
    a.width = a.method->bytes();
    a.name = choice->name;
    return a;
}

std::string catalogue_text() {
    const std::string crc = spelled(Option::crc);
    std::string out =
        "Checksum algorithms: velk-crc " + crc +
        " <name>, any name of a line in any case, or a CRC's\nparameters: " + crc +
        " width=16,poly=0x1021,init=0xffff,refin=true,refout=true,xorout=0xffff\n"
        "bits  check                   names\n";
    for (const checksum::Algorithm& row : checksum::catalogue()) {
        std::string names;
        for (const std::string& n : checksum::names_of(row))
            names += (names.empty() ? "" : ", ") + n;
        if (&row == &checksum::default_algorithm()) names += " (the default)";
        if (!row.computed()) names += " (listed only: wider than 64 bits)";
        if (row.fixed_order())
            names += std::string(" (the digest's byte order, whatever ") +
                     spelled(Option::be) + " says)";
        std::string check = "0x";
        for (const char* c = row.check + 2; *c; ++c)
            check += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
        out += text::format("%4u  %-23s %s\n", row.width(), check.c_str(), names.c_str());
    }
    out.pop_back();
    return out;
}

checksum::Bytes value_of(const Algorithm& algorithm, const layout::MemoryMap& memory,
                         const Intervals& range, const Computing& computing) {
    std::unique_ptr<checksum::Running> running;
    try {
        running = algorithm.method->start(
            {computing.feed, computing.big_endian, computing.sha256});
    } catch (const crypto::Failure& failure) {
        throw Refusal{algorithm.name + ": " + failure.why};
    }
    uint8_t erased[4096];
    std::memset(erased, memory.fill(), sizeof erased);
    uint64_t since = 0;  // bytes since between_chunks was last called
    for (const Interval& part : range.ranges())
        memory.walk(part.from, part.to, [&](const uint8_t* bytes, uint64_t size) {
            while (size) {
                uint64_t n = std::min(size, chunk - since);
                if (bytes) {
                    running->update(bytes, n);
                    bytes += n;
                } else {
                    for (uint64_t left = n; left;) {
                        uint64_t piece = std::min<uint64_t>(left, sizeof erased);
                        running->update(erased, piece);
                        left -= piece;
                    }
                }
                size -= n;
                since += n;
                if (since == chunk) {
                    since = 0;
                    if (computing.between_chunks) computing.between_chunks();
                }
            }
        });
    return running->finish();
}

uint64_t number_of(const checksum::Bytes& value) {
    return bytes::load(value.data(), static_cast<unsigned>(value.size()), bytes::Order::big);
}

uint64_t checksum_of(const Algorithm& algorithm, const layout::MemoryMap& memory,
                     const Intervals& range, Feed feed, const BetweenChunks& between_chunks) {
    return number_of(value_of(algorithm, memory, range, {feed, false, {}, between_chunks}));
}

}  // namespace velk::records
