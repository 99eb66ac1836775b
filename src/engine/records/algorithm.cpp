#include "algorithm.h"

#include <algorithm>
#include <cstring>
#include <variant>

#include "../base/byte_order.h"
#include "../checksum/notation.h"
#include "../numbers/numbers.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../report/wording.h"

namespace velk::records {

namespace {

constexpr uint64_t chunk = uint64_t{1} << 20;

Algorithm from_parameters(const std::string& text) {
    auto read = checksum::read_notation(text);
    if (auto* why = std::get_if<std::string>(&read))
        throw Refusal{"\"" + text + "\": " + *why};
    const checksum::Notation& n = std::get<checksum::Notation>(read);
    if (const checksum::Algorithm* row = checksum::crc_with(n.parameters)) {
        Algorithm a = algorithm_of(*row);
        if (n.check) {
            uint64_t check = 0;
            numbers::read_number(row->check, 16, check);
            if (*n.check != check)
                throw Refusal{text::format(
                    "\"%s\": check=0x%llx, but these parameters (%s's) give 0x%llx for "
                    "\"123456789\": is a parameter mistyped?",
                    text.c_str(), static_cast<unsigned long long>(*n.check), row->name(),
                    static_cast<unsigned long long>(check))};
        }
        return a;
    }
    Algorithm a;
    a.method = std::make_shared<const checksum::Method>(n.parameters);
    a.crc = a.method->crc();
    a.width = a.method->bytes();
    a.name = checksum::notation_of(n.parameters);
    if (n.check) {
        const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        const uint64_t check = a.crc->of(digits, sizeof digits);
        if (*n.check != check)
            throw Refusal{text::format(
                "\"%s\": check=0x%llx, but these parameters give 0x%llx for \"123456789\": "
                "is a parameter mistyped?",
                text.c_str(), static_cast<unsigned long long>(*n.check),
                static_cast<unsigned long long>(check))};
    }
    return a;
}

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

Algorithm find_algorithm(const std::optional<std::string>& name) {
    if (!name) return algorithm_of(checksum::default_algorithm());
    if (checksum::is_notation(*name)) return from_parameters(*name);
    const checksum::Algorithm* row = checksum::find(*name);
    if (!row)
        throw Refusal{"no checksum algorithm named \"" + *name + "\"" +
                      wording::did_you_mean(checksum::nearest(*name)) +
                      "; velk-crc --list-crc lists the names"};
    if (!row->computed())
        throw Refusal{"\"" + *name + "\": " + row->name() + " is " +
                      std::to_string(row->width()) +
                      " bits wide; velk-crc computes CRCs of up to 64 bits"};
    return algorithm_of(*row);
}

std::string catalogue_text() {
    std::string out =
        "Checksum algorithms: velk-crc --crc <name>, any name of a line in any case, or a "
        "CRC's\nparameters: --crc width=16,poly=0x1021,init=0xffff,refin=true,refout=true,"
        "xorout=0xffff\n"
        "bits  check                   names\n";
    for (const checksum::Algorithm& row : checksum::catalogue()) {
        std::string names;
        for (const std::string& n : checksum::names_of(row))
            names += (names.empty() ? "" : ", ") + n;
        if (&row == &checksum::default_algorithm()) names += " (the default)";
        if (!row.computed()) names += " (listed only: wider than 64 bits)";
        if (row.fixed_order()) names += " (the digest's byte order, whatever --be says)";
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
