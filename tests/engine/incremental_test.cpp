// Records recomputed per device from what changed: a CRC's register moved
// over zero bytes and combined with a later stretch's own register gives
// what the table CRC gives over the bytes one after the other, for every
// CRC of the catalogue, fed bytes or words; and Incremental::store_all
// stores the same bytes as store_all into images stamped at random places,
// on plans FLASH makes from real command lines on the suite's firmware.
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "../../src/engine/checksum/catalogue.h"
#include "../../src/engine/cli/modes.h"
#include "../../src/engine/cli/options.h"
#include "../../src/engine/inputs/input_file.h"
#include "../../src/engine/layout/flash_layout.h"
#include "../../src/engine/records/incremental.h"
#include "../../src/engine/report/refusal.h"
#include "checks.h"

// Named, not anonymous: a unity build joins this file with the test
// program's own.
namespace incremental {

namespace records = velk::records;
using velk::checksum::Crc;
using velk::checksum::Feed;
using velk::layout::MemoryMap;

int failures = 0;

void expect(bool ok, const std::string& what) {
    engine_checks::count(ok, "incremental: ", what, failures);
}

// A and then B through the table against A's register combined with B's
// own, and A's register moved over |B| zero bytes against zeros fed. A
// megabyte of zeros for one row of each width and bit order: the moves
// differ by nothing else, and the suite stays quick unoptimised.
void combine_every_crc() {
    std::mt19937 random(38);
    const size_t megabyte_and_3 = (size_t{1} << 20) + 3;
    std::vector<uint8_t> bytes(1100), zeros(megabyte_and_3);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    const size_t lengths[] = {0, 1, 7, 8, 1000};
    std::set<std::pair<unsigned, bool>> long_done;
    for (const velk::checksum::Algorithm& row : velk::checksum::catalogue()) {
        if (row.kind != velk::checksum::Kind::crc) continue;
        const Crc crc(row.parameters);
        for (Feed feed : {Feed::bytes, Feed::words})
            for (size_t n : lengths) {
                // Words: whole ones, A too.
                const size_t b = feed == Feed::words ? (n + 3) & ~size_t{3} : n;
                const size_t a = feed == Feed::words ? 4 : 5;
                const uint64_t after_a = crc.update(crc.start(), bytes.data(), a, feed);
                const uint64_t whole = crc.update(after_a, bytes.data() + a, b, feed);
                const uint64_t tail = crc.update(0, bytes.data() + a, b, feed);
                const bool combined = crc.combine(after_a, tail, b) == whole;
                const uint64_t over_zeros = crc.update(after_a, zeros.data(), b, feed);
                const bool shifted = crc.shift(after_a, b) == over_zeros &&
                                     crc.shifted(after_a, crc.factor(b)) == over_zeros;
                expect(combined && shifted,
                       std::string(row.name()) + (combined ? " shift" : " combine") +
                           (feed == Feed::words ? ", words, " : ", bytes, ") +
                           std::to_string(b) + " bytes");
            }
        if (!long_done.insert({row.parameters.width, row.parameters.refin}).second) continue;
        const uint64_t reg = crc.update(crc.start(), bytes.data(), 5, Feed::bytes);
        const uint64_t over_zeros = crc.update(reg, zeros.data(), megabyte_and_3, Feed::bytes);
        expect(crc.shift(reg, megabyte_and_3) == over_zeros &&
                   crc.shifted(reg, crc.factor(megabyte_and_3)) == over_zeros,
               std::string(row.name()) + " shift over a megabyte and 3 bytes");
    }
}

// A FLASH command line's plan and the build's image before any record.
struct Planned {
    velk::ElfBuild elf;
    records::Plan plan;
    MemoryMap memory;
};

Planned plan_of(const std::string& data, const std::vector<std::string>& words) {
    const auto parsed = velk::cli::parse(*velk::find_mode("FLASH"), words);
    const velk::Request request = std::get<velk::cli::Parsed>(parsed).request;
    Planned p{velk::read_build(velk::read_input(data + "/" + words.front())), {}, MemoryMap()};
    p.plan = records::plan_records(request, &p.elf, p.elf.loadable);
    p.memory = velk::layout::memory_of(p.elf.loadable, p.plan.images(), p.elf.file_buffer,
                                       p.plan.fill);
    return p;
}

// Every byte of the plan's images.
std::vector<uint8_t> image_bytes(const records::Plan& plan, const MemoryMap& memory) {
    std::vector<uint8_t> out;
    for (const auto& [from, to] : plan.images()) {
        std::vector<uint8_t> part(to - from);
        memory.read(from, part.data(), part.size());
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Places where a stamp tells most: a range's first bytes, its middle, its
// last, either side of a slot, in a hole, and anywhere in an image
// (outside every range too).
std::vector<uint64_t> stamp_places(const records::Plan& plan, std::mt19937& random) {
    std::vector<uint64_t> places;
    for (const records::Planned& p : plan.records) {
        const records::Record& r = p.record;
        places.push_back(r.start());
        places.push_back(r.start() + r.range.size() / 2);
        places.push_back(r.end() - 1);
        places.push_back(r.slot - 2);
        places.push_back(r.slot_end());
        // Inside a hole --exclude cut: bytes the record leaves out.
        const auto& parts = r.range.ranges();
        for (size_t k = 1; k < parts.size(); ++k) places.push_back(parts[k - 1].to);
    }
    for (const auto& [from, to] : plan.images()) {
        places.push_back(to - 1);
        places.push_back(from + random() % (to - from));
    }
    return places;
}

void same_as_store_all(const std::string& data, const std::string& what,
                       const std::vector<std::string>& words) {
    Planned p = plan_of(data, words);
    std::mt19937 random(static_cast<unsigned>(what.size()) * 38u);
    const std::vector<uint64_t> places = stamp_places(p.plan, random);
    int wrong = 0, rounds = 0;
    for (unsigned count = 1; count <= 3; ++count)
        for (int round = 0; round < 20; ++round, ++rounds) {
            std::vector<std::pair<uint64_t, uint64_t>> changing;
            for (unsigned k = 0; k < count; ++k) {
                const uint64_t at = places[random() % places.size()];
                changing.push_back({at, at + 1 + random() % 6});
            }
            const records::Incremental incremental(p.plan, p.memory, changing);
            // Two devices on one Incremental: nothing of one stays for the
            // next.
            for (int device = 0; device < 2; ++device) {
                MemoryMap plain = p.memory, combined = p.memory;
                for (const auto& [from, to] : changing)
                    for (uint64_t at = from; at < to; ++at) {
                        const uint8_t byte = static_cast<uint8_t>(random());
                        plain.overlay(at, &byte, 1);
                        combined.overlay(at, &byte, 1);
                    }
                std::vector<records::Bytes> want, got;
                records::store_all(p.plan, plain, want);
                incremental.store_all(combined, got);
                if (want != got ||
                    image_bytes(p.plan, plain) != image_bytes(p.plan, combined))
                    ++wrong;
            }
        }
    expect(wrong == 0, what + ": " + std::to_string(wrong) + " of " +
                           std::to_string(2 * rounds) + " devices differ from store_all");
}

struct Case {
    const char* what;
    std::vector<std::string> words;
};

int run(const std::string& data) {
    combine_every_crc();
    const std::string two_checks_header = "app_header:size@4,crc@8=crc-32/iso-hdlc";
    const Case cases[] = {
        {"one CRC-32/MPEG-2", {"fw_boot.elf", "--ncrc_value"}},
        {"a CRC-16 stored big-endian",
         {"fw_boot.elf", "--ncrc_value", "--crc", "crc-16/xmodem", "--be"}},
        {"a reflected CRC-64", {"fw_boot.elf", "--ncrc_value", "--crc", "crc-64/xz"}},
        {"a sum", {"fw_boot.elf", "--ncrc_value", "--crc", "sum-32/words/neg", "--be"}},
        {"fed words", {"fw_words.elf", "--ncrc_value", "--words"}},
        {"with holes",
         {"fw_boot.elf", "--ncrc_value", "--exclude", "0x08000010-0x08000020", "--exclude",
          "0x08000100-0x08000103"}},
        {"the LPC vector sum", {"fw_boot.elf", "--lpc-vectors", "--ncrc_value"}},
        {"a header: length, crc and hcrc over crc",
         {"fw_header_crc32.elf", "--header", "app_header:size@8,crc@12,hcrc@16", "--crc",
          "crc-32/iso-hdlc"}},
        {"a big-endian header of CRC-16s",
         {"fw_header_xmodem_be.elf", "--header", "app_header:size@8,crc@12,hcrc@14",
          "--crc", "crc-16/xmodem", "--be"}},
        {"a header and the unit fed words around a hole",
         {"fw_two_checks.elf", "--header", two_checks_header, "--napp_crc", "--words",
          "--exclude", "0x08000048-0x0800004C"}},
    };
    for (const Case& c : cases) {
        try {
            same_as_store_all(data, c.what, c.words);
        } catch (const velk::Refusal& refusal) {
            expect(false, std::string(c.what) + ": refused: " + refusal.text);
        }
    }
    return failures;
}

}  // namespace incremental

int incremental_test(const std::string& data) {
    return incremental::run(data);
}
