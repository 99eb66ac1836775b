// What a record holds and how a run tells it: one producer for each kind of
// record. A producer computes the slot's bytes from the image and words
// FLASH's line, CHECK's lines and hints, and the --json entry's fields; the
// drivers ask it and never ask what kind a record is. A new kind of record
// is a new producer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../layout/memory_map.h"
#include "../report/json.h"
#include "algorithm.h"
#include "record.h"

namespace velk::records {

struct Plan;
struct Planned;

// A record's value: the bytes of its slot, as they lie in memory.
using Bytes = std::vector<uint8_t>;

// What CHECK found for a record: the bytes the file holds in its slot, the
// bytes the file's own image gives, and with the build the bytes the
// build's gives.
struct Found {
    Bytes held, own;
    std::optional<Bytes> built;
    std::string build;  // the build's file name, with `built`

    // The record holds what the file's bytes give, and what the build's do.
    bool right() const { return held == own && (!built || held == *built); }
};

// What CHECK knows of a file whose record is wrong, for a producer's hints.
struct Mismatch {
    const layout::MemoryMap& memory;  // the file's image
    const Bytes& held;
    bool elf_file;   // the file checked is an ELF file
    bool uf2_alone;  // a UF2 file checked without its build
};

using Hint = std::function<void(const std::string&)>;

class Producer {
public:
    virtual ~Producer() = default;

    // --json's "kind": "crc", "size", "lpc".
    virtual const char* kind() const = 0;
    // Whether the value depends on the bytes of the record's range.
    virtual bool reads_bytes() const { return true; }
    // Whether --exclude may cut bytes out of its range.
    virtual bool takes_exclusions() const { return reads_bytes(); }
    // The bytes the slot holds for the image `memory`.
    virtual Bytes produce(const Plan& plan, const Record& record,
                          const layout::MemoryMap& memory) const = 0;
    // Why the plan cannot compute it; empty when it can.
    virtual std::string unfit(const Plan&, const Record&) const { return {}; }

    // The value is a number stored in the plan's byte order, unless the
    // producer says otherwise.
    virtual bool big_endian(const Plan& plan) const;
    // The number the slot's bytes stand for: --json's "value".
    std::optional<uint64_t> number(const Plan& plan, const Bytes& bytes) const;
    // How lines show a value: "0x1234ABCD".
    std::string shown(const Plan& plan, const Bytes& bytes) const;
    // The algorithm it computes with, as lines and --json name it; empty
    // when the value is none's.
    virtual std::string algorithm_name() const { return {}; }
    // Whether it is fed 32-bit words, as the STM32 CRC unit takes them.
    virtual bool fed_words() const { return false; }
    // The CRC it computes, where its value is that CRC over the range's
    // bytes fed as fed_words() says: a run that changes a few bytes of the
    // range goes on from the register before them. None for other values.
    virtual const checksum::Crc* crc() const { return nullptr; }

    // FLASH's line for the value it stored.
    virtual std::string stored_line(const Plan& plan, const Planned& planned,
                                    const Bytes& value) const = 0;
    // CHECK's line for a record that is right, and for one that is not.
    virtual std::string ok_line(const Plan& plan, const Planned& planned,
                                const Found& found) const;
    virtual std::string wrong_line(const Plan& plan, const Planned& planned,
                                   const Found& found) const = 0;
    // CHECK's hints at a wrong record whose cause is simple (another
    // algorithm, feed or byte order); none by default.
    virtual void explain(const Plan&, const Planned&, const Mismatch&, const Hint&) const {}

protected:
    // What the file's bytes give, and with the build what the build's give
    // when that differs: "[0x1234]", or "[0x1234] from the file's bytes,
    // [0x5678] from fw.elf's" (without the brackets in a field's line).
    std::string computed(const Plan& plan, const Found& found, bool brackets) const;
};

// How a checksum record is told: a selector's (--n, --a, --s), or an image
// header's field over the body after the header or over the header's bytes
// before the field.
enum class CrcRole { selector, body, before_field };

std::shared_ptr<const Producer> crc_producer(CrcRole role, const Algorithm& algorithm,
                                             Feed feed);
// The length of the range, 4 bytes.
std::shared_ptr<const Producer> size_producer();
// The two's complement of the sum of the range's 32-bit words.
std::shared_ptr<const Producer> lpc_producer();

// A record as --json lists it, `value` what it holds.
void describe_record(json::Value& out, const Plan& plan, const Planned& planned,
                     const Bytes& value);

// A record's range as lines give it: "0x08000000~0x08000134", or with
// bytes cut out "0x08000000~0x08000040, 0x08000060~0x08000134"; `end` is
// where an empty range is said to end (a slot's address).
std::string ranges_text(const Intervals& range, uint64_t end);

// "0x1234" with the digits of `width` bytes.
std::string hex_value(uint64_t value, unsigned width);

}  // namespace velk::records
