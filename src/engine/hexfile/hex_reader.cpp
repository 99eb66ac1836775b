#include "hex_reader.h"

#include "../base/byte_order.h"
#include "../numbers/numbers.h"

namespace velk::hexfile {

namespace {

using layout::ReadFault;
using layout::Records;

uint64_t big_endian(const uint8_t* at, int count) {
    return bytes::load(at, static_cast<unsigned>(count), bytes::Order::big);
}

// ":LLAAAATT<data>CC", the base address carried from record to record.
class Parser {
    static constexpr uint64_t window = uint64_t{1} << 16;

public:
    // Nothing after the end-of-file record is read, record or not.
    static bool is_record(const char*, size_t) { return false; }

    bool parse(size_t line, const char* record, size_t length, Records& r) {
        if (record[0] != ':' || length < 11 ||
            !numbers::hex_bytes({record + 1, length - 1}, raw_) ||
            raw_.size() != 5u + raw_[0])
            return r.fail(ReadFault::bad_record, line);
        uint8_t sum = 0;
        for (uint8_t b : raw_) sum = static_cast<uint8_t>(sum + b);
        if (sum != 0) return r.fail(ReadFault::bad_checksum, line);
        const uint8_t count = raw_[0], type = raw_[3];
        const uint64_t address = big_endian(raw_.data() + 1, 2);
        const uint8_t* payload = raw_.data() + 4;
        switch (type) {
            case 0x00:  // a 16-bit offset from the base: a 64 KiB window
                return r.windowed(line, base_, window, base_ + address, payload, count);
            case 0x01:
                if (count != 0) return r.fail(ReadFault::bad_field, line);
                return r.end();
            case 0x02:  // extended segment address: base = segment * 16
            case 0x04:  // extended linear address: the upper 16 bits
                if (count != 2 || address != 0) return r.fail(ReadFault::bad_field, line);
                base_ = big_endian(payload, 2) << (type == 0x02 ? 4 : 16);
                return true;
            case 0x03:  // start segment address, CS:IP
                if (count != 4 || address != 0) return r.fail(ReadFault::bad_field, line);
                return r.entry(
                    line, (big_endian(payload, 2) << 4) + big_endian(payload + 2, 2));
            case 0x05:  // start linear address
                if (count != 4 || address != 0) return r.fail(ReadFault::bad_field, line);
                return r.entry(line, big_endian(payload, 4));
            default:
                return r.fail(ReadFault::bad_type, line);
        }
    }

private:
    std::vector<uint8_t> raw_;
    uint64_t base_ = 0;
};

}  // namespace

layout::Expected<layout::FileData, ReadFault> read_intel_hex(const char* text,
                                                             size_t size) {
    return Records::read<Parser>(text, size);
}

}  // namespace velk::hexfile
