#include "srec_reader.h"

#include "../base/byte_order.h"
#include "../numbers/numbers.h"

namespace velk::srecord {

namespace {

using layout::ReadFault;
using layout::Records;

// Each record type as the faults name it, by its digit.
const char* const names[] = {"S0", "S1", "S2", "S3", "S4",
                             "S5", "S6", "S7", "S8", "S9"};

// "S<type><count><address><data><checksum>".
class Parser {
public:
    // A line that starts as an S-record does: one after the termination
    // record is read by some tools and not by others.
    static bool is_record(const char* record, size_t length) {
        return length >= 2 && (record[0] == 'S' || record[0] == 's') && record[1] >= '0' &&
               record[1] <= '9';
    }

    bool parse(size_t line, const char* record, size_t length, Records& r) {
        if (length < 4 || (record[0] != 'S' && record[0] != 's') ||
            !numbers::hex_bytes({record + 2, length - 2}, raw_) || raw_.size() < 2 ||
            raw_.size() != 1u + raw_[0])
            return r.fail(ReadFault::bad_record, line);
        const char type = record[1];
        if (type < '0' || type > '9' || type == '4')
            return r.fail(ReadFault::bad_type, line);
        uint8_t sum = 0;
        for (uint8_t b : raw_) sum = static_cast<uint8_t>(sum + b);
        if (sum != 0xFF) return r.fail(ReadFault::bad_checksum, line);
        // Address bytes by type: S0 S1 S2 S3 (S4) S5 S6 S7 S8 S9.
        static const size_t widths[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
        const size_t width = widths[type - '0'];
        const size_t count = raw_.size() - 2;  // address and data
        if (count < width) return r.fail(ReadFault::bad_field, line);
        const uint64_t address =
            bytes::load(raw_.data() + 1, static_cast<unsigned>(width), bytes::Order::big);
        const uint8_t* payload = raw_.data() + 1 + width;
        const size_t payload_size = count - width;
        switch (type) {
            case '0':  // header: text, not memory
                return true;
            case '1':
            case '2':
            case '3':  // past 4 GiB, srec_cat wraps to address 0
                ++data_records_;
                return r.windowed(line, 0, uint64_t{1} << 32, address, payload,
                                  payload_size);
            case '5':
            case '6': {  // the number of data records so far; the file may end here
                if (payload_size != 0) return r.fail(ReadFault::bad_field, line);
                if (address != data_records_) {
                    ReadFault fault{ReadFault::count_differs, line};
                    fault.record = names[type - '0'];
                    fault.count = address;
                    fault.counted = data_records_;
                    return r.fail(fault);
                }
                r.may_end();
                return true;
            }
            default:  // S7, S8, S9: the termination record, with the entry point
                if (payload_size != 0) return r.fail(ReadFault::bad_field, line);
                // 0 where the file has none: what tools write without one.
                if (address != 0 && !r.entry(line, address)) return false;
                return r.end(names[type - '0']);
        }
    }

private:
    std::vector<uint8_t> raw_;
    uint64_t data_records_ = 0;
};

}  // namespace

layout::Expected<layout::FileData, ReadFault> read_srecord(const char* text,
                                                           size_t size) {
    return Records::read<Parser>(text, size);
}

}  // namespace velk::srecord
