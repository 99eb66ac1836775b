// The kinds of record FLASH and CHECK know: a checksum of its own
// algorithm, an image's length, and the LPC vector-table sum.

#include <algorithm>

#include "../base/byte_order.h"
#include "../checksum/catalogue.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/option_table.h"
#include "plan.h"
#include "producer.h"

namespace velk::records {

namespace {

using text::address;

// The slot's bytes for `value` in the producer's byte order.
Bytes bytes_of(uint64_t value, unsigned width, bool big) {
    Bytes out(width);
    bytes::store(out.data(), width, big ? bytes::Order::big : bytes::Order::little, value);
    return out;
}

class CrcProducer final : public Producer {
public:
    CrcProducer(CrcRole role, const Algorithm& algorithm, Feed feed)
        : role_(role), algorithm_(algorithm), feed_(feed) {}

    const char* kind() const override { return "crc"; }

    Bytes produce(const Plan& plan, const Record& r,
                  const layout::MemoryMap& memory) const override {
        Bytes value = value_of(algorithm_, memory, r.range, plan.computing(feed_));
        if (algorithm_.fixed_order()) return value;
        return bytes_of(number_of(value), r.width, plan.big_endian);
    }

    bool big_endian(const Plan& plan) const override {
        return algorithm_.fixed_order() || plan.big_endian;
    }

    // An STM32 CRC unit fed words takes whole words.
    std::string unfit(const Plan& plan, const Record& r) const override {
        if (feed_ != Feed::words) return {};
        // The rule is each piece's, where --exclude cut the range: the unit
        // is fed the bytes around a hole one after the other.
        const bool pieces = r.range.ranges().size() > 1;
        for (const Interval& part : r.range.ranges())
            if ((part.to - part.from) % 4 != 0)
                return wording::words_rule(plan.asker, part.from, part.to, pieces);
        return {};
    }

    std::string algorithm_name() const override { return algorithm_.name; }
    bool fed_words() const override { return feed_ == Feed::words; }
    const checksum::Crc* crc() const override { return algorithm_.crc.get(); }

    std::string stored_line(const Plan& plan, const Planned& p,
                            const Bytes& value) const override {
        const Record& r = p.record;
        if (role_ != CrcRole::selector)
            return text::format("%s at %s: [%s] over (%s) (%s)", r.label.c_str(),
                                address(r.slot).c_str(), shown(plan, value).c_str(),
                                ranges_text(r.range, r.end()).c_str(),
                                how(plan, true).c_str());
        return text::format(
            "checksum range:(%s) checksum offset address:[0x%08llX] checksum: [%s] (%s)",
            ranges_text(r.range, r.slot).c_str(),
            static_cast<unsigned long long>(r.slot - p.image.start),
            shown(plan, value).c_str(), how(plan).c_str());
    }

    std::string ok_line(const Plan& plan, const Planned& p, const Found& found) const override {
        if (role_ != CrcRole::selector)
            return Producer::ok_line(plan, p, found) + " (" + how(plan, true) + ")";
        return "checksum ok: [" + shown(plan, found.held) + "] at " +
               address(p.record.slot) + named(plan, p) + " (" + how(plan) + ")";
    }

    std::string wrong_line(const Plan& plan, const Planned& p,
                           const Found& found) const override {
        const Record& r = p.record;
        if (role_ == CrcRole::selector)
            return "checksum mismatch at " + address(r.slot) + named(plan, p) +
                   ": stored [" + shown(plan, found.held) + "], computed " +
                   computed(plan, found, true) + " (" + how(plan) + ")";
        return r.label + " at " + address(r.slot) + " holds " + shown(plan, found.held) +
               "; " +
               (role_ == CrcRole::body ? "the body's checksum is "
                                       : "the checksum of the bytes before it is ") +
               computed(plan, found, false) + " (" + how(plan, true) + ")";
    }

    // The other feed, another byte order or algorithm, a UF2 file's pages,
    // the linker's output before FLASH: each about the file's own bytes.
    void explain(const Plan& plan, const Planned& p, const Mismatch& m,
                 const Hint& hint) const override {
        const Record& r = p.record;
        const std::optional<uint64_t> held = number(plan, m.held);
        if (!held) return;  // a digest: no other algorithm or order gives it
        const uint64_t stored = *held;
        if (algorithm_.is_default() && r.range.size() % 4 == 0) {
            Feed other = feed_ == Feed::words ? Feed::bytes : Feed::words;
            if (checksum_of(algorithm_, m.memory, r.range, other, plan.between_chunks) ==
                stored) {
                hint(std::string(
                         feed_ == Feed::words
                             ? "the stored value is the byte-fed checksum: leave out "
                             : "the stored value is the checksum fed 32-bit words: "
                               "add ") +
                     spelled(Option::words));
                return;
            }
        }
        if (other_algorithm(plan, r, m, stored, hint)) return;
        // A UF2 file's blocks are whole 256-byte pages: below an image that
        // starts inside a page, its lowest address is the page's. A range the
        // user placed with '@' is no guess of ours.
        if (m.uf2_alone && !p.starts_at_from && r.start() % 256 == 0)
            hint(std::string("a UF2 file starts on a 256-byte page, perhaps below the "
                             "image: give the build with ") +
                 spelled(Option::elf) + " to place the checksum's range");
        const bool placeholder =
            stored == (r.width == 8 ? UINT64_MAX : (uint64_t{1} << (8 * r.width)) - 1);
        if (placeholder && m.elf_file)
            hint("the file holds the placeholder " + hex_value(stored, r.width) +
                 ": is it the linker's output? FLASH writes the checksummed copy as "
                 "<name>_CRC.elf");
    }

private:
    // "fed bytes", and the algorithm (always with `named`, and where the
    // run's records have several) and byte order when they are not the
    // default: how a line says how a checksum was made.
    std::string how(const Plan& plan, bool named = false) const {
        std::string out = algorithm_.is_default() && !named && !plan.mixed
                              ? ""
                              : algorithm_.name + ", ";
        out += feed_ == Feed::words ? "fed words" : "fed bytes";
        if (plan.big_endian && !algorithm_.fixed_order()) out += ", big-endian";
        return out;
    }

    // Among several records, which one a checksum line is about.
    static std::string named(const Plan& plan, const Planned& p) {
        return plan.records.size() > 1 ? " (" + p.record.label + ")" : "";
    }

    // The stored value is this checksum in the other byte order, or what
    // another catalogue algorithm of the same width gives for the same
    // bytes.
    bool other_algorithm(const Plan& plan, const Record& r, const Mismatch& m,
                         uint64_t stored, const Hint& hint) const {
        const uint64_t swapped = bytes::load(
            m.held.data(), r.width, plan.big_endian ? bytes::Order::little : bytes::Order::big);
        const char* order_other = plan.big_endian ? "little-endian" : "big-endian";
        const std::string order_word =
            std::string(plan.big_endian ? "leave out " : "add ") + spelled(Option::be);
        // With --be the words of a sum are read big-endian too.
        const uint64_t computed =
            number_of(value_of(algorithm_, m.memory, r.range, plan.computing(feed_)));
        if (computed == swapped && r.width > 1) {
            hint(text::format("the value at %s is this checksum stored %s: %s",
                              address(r.slot).c_str(), order_other, order_word.c_str()));
            return true;
        }
        // A slot that still holds its placeholder (all 0x00, or erased)
        // matches many rows by chance, the CRC of zeros being zero for
        // every row without init and xorout: no algorithm is named.
        if (std::all_of(m.held.begin(), m.held.end(), [](uint8_t b) { return b == 0x00; }) ||
            std::all_of(m.held.begin(), m.held.end(), [](uint8_t b) { return b == 0xFF; }))
            return false;
        static const std::vector<Algorithm> catalogue = [] {
            std::vector<Algorithm> all;
            for (const checksum::Algorithm& row : checksum::catalogue())
                if (row.computed() && !row.fixed_order()) all.push_back(algorithm_of(row));
            return all;
        }();
        for (const Algorithm& a : catalogue) {
            if (a.width != r.width || a.row == algorithm_.row) continue;
            uint64_t value =
                checksum_of(a, m.memory, r.range, Feed::bytes, plan.between_chunks);
            if (value != stored && value != swapped) continue;
            bool stored_big = value == stored ? plan.big_endian : !plan.big_endian;
            hint(
                text::format("the value at %s is what %s gives for the same bytes, "
                             "stored %s: %s %s%s%s",
                             address(r.slot).c_str(), a.name.c_str(),
                             stored_big ? "big-endian" : "little-endian",
                             spelled(Option::crc), a.name.c_str(), stored_big ? " " : "",
                             stored_big ? spelled(Option::be) : ""));
            return true;
        }
        return false;
    }

    CrcRole role_;
    Algorithm algorithm_;
    Feed feed_;
};

class SizeProducer final : public Producer {
public:
    const char* kind() const override { return "size"; }
    bool reads_bytes() const override { return false; }

    Bytes produce(const Plan& plan, const Record& r,
                  const layout::MemoryMap&) const override {
        return bytes_of(r.range.size(), r.width, plan.big_endian);
    }

    std::string stored_line(const Plan& plan, const Planned& p,
                            const Bytes& value) const override {
        const Record& r = p.record;
        return text::format("%s at %s: [%s] the length of (%s~%s)", r.label.c_str(),
                            address(r.slot).c_str(), shown(plan, value).c_str(),
                            address(r.start()).c_str(), address(r.end()).c_str());
    }

    std::string wrong_line(const Plan& plan, const Planned& p,
                           const Found& found) const override {
        const Record& r = p.record;
        return r.label + " at " + address(r.slot) + " holds " + shown(plan, found.held) +
               "; " +
               text::format("the body is 0x%08llX bytes",
                            static_cast<unsigned long long>(*number(plan, found.own)));
    }
};

// The Cortex-M core sums the first seven vectors: the eighth makes the sum
// 0, read little-endian as the core reads words whatever --be says: the
// catalogue's sum-32/words/neg over them.
class LpcProducer final : public Producer {
public:
    const char* kind() const override { return "lpc"; }
    // The core sums the seven vectors whatever else is left out.
    bool takes_exclusions() const override { return false; }
    bool big_endian(const Plan&) const override { return false; }

    Bytes produce(const Plan& plan, const Record& r,
                  const layout::MemoryMap& memory) const override {
        static const Algorithm vector_sum =
            algorithm_of(*checksum::find("sum-32/words/neg"));
        Computing little = plan.computing(Feed::bytes);
        little.big_endian = false;
        Bytes value = value_of(vector_sum, memory, r.range, little);
        std::reverse(value.begin(), value.end());
        return value;
    }

    std::string stored_line(const Plan& plan, const Planned& p,
                            const Bytes& value) const override {
        const Record& r = p.record;
        return text::format("%s at %s: [%s] makes the words of (%s~%s) sum to 0",
                            r.label.c_str(), address(r.slot).c_str(),
                            shown(plan, value).c_str(), address(r.start()).c_str(),
                            address(r.slot_end()).c_str());
    }

    std::string wrong_line(const Plan& plan, const Planned& p,
                           const Found& found) const override {
        const Record& r = p.record;
        return r.label + " at " + address(r.slot) + " holds " + shown(plan, found.held) +
               "; the vectors need " + computed(plan, found, false);
    }
};

}  // namespace

std::shared_ptr<const Producer> crc_producer(CrcRole role, const Algorithm& algorithm,
                                             Feed feed) {
    return std::make_shared<const CrcProducer>(role, algorithm, feed);
}

std::shared_ptr<const Producer> size_producer() {
    static const auto size = std::make_shared<const SizeProducer>();
    return size;
}

std::shared_ptr<const Producer> lpc_producer() {
    static const auto lpc = std::make_shared<const LpcProducer>();
    return lpc;
}

}  // namespace velk::records
