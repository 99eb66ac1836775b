#include "srec_writer.h"

#include <algorithm>

#include "../base/byte_order.h"
#include "../layout/record_text.h"

namespace velk::srecord {

namespace {

constexpr size_t max_data = 16;
// "S" + type + count + 4 address bytes + 252 payload bytes + checksum, "\n"
constexpr size_t max_line = 2 + 2 * (1 + 4 + 252 + 1) + 1;

// S-records a line at a time.
class Lines {
public:
    explicit Lines(layout::TextSink& sink) : text_(sink, max_line) {}

    // One record: type digit, address of `width` bytes, payload.
    void record(char type, int width, uint64_t address, const uint8_t* payload,
                size_t count) {
        using layout::RecordText;
        char* out = text_.line();
        *out++ = 'S';
        *out++ = type;
        unsigned length = static_cast<unsigned>(width + count + 1);
        unsigned sum = length;
        out = RecordText::put_byte(out, static_cast<uint8_t>(length));
        uint8_t at[4];
        bytes::store(at, static_cast<unsigned>(width), bytes::Order::big, address);
        for (int i = 0; i < width; ++i) {
            sum += at[i];
            out = RecordText::put_byte(out, at[i]);
        }
        for (size_t i = 0; i < count; ++i) {
            sum += payload[i];
            out = RecordText::put_byte(out, payload[i]);
        }
        out = RecordText::put_byte(out, static_cast<uint8_t>(~sum));
        *out++ = '\n';
        text_.end_line(out);
    }

    void flush() { text_.flush(); }

private:
    layout::RecordText text_;
};

// The address bytes S1/S2/S3 (and S9/S8/S7) need for `highest`.
int width_for(uint64_t highest) {
    return highest <= 0xFFFF ? 2 : highest <= 0xFFFFFF ? 3 : 4;
}

}  // namespace

void write_srecord(const layout::MemoryMap& memory, std::optional<uint32_t> start,
                   const std::string& header, layout::TextSink& sink) {
    Lines lines(sink);
    const size_t header_size = std::min<size_t>(header.size(), 252);
    lines.record('0', 2, 0, reinterpret_cast<const uint8_t*>(header.data()), header_size);

    const uint64_t entry = start.value_or(0);
    uint64_t highest = std::max<uint64_t>(memory.empty() ? 0 : memory.end() - 1, entry);
    const int width = width_for(highest);
    const char data_type = static_cast<char>('0' + width - 1);  // S1, S2, S3
    const char end_type = static_cast<char>('0' + 11 - width);  // S9, S8, S7

    uint8_t payload[max_data];
    size_t count = 0;
    uint64_t record_at = 0;
    auto flush_record = [&] {
        if (count) lines.record(data_type, width, record_at, payload, count);
        count = 0;
    };
    uint64_t expected = 0;  // the address that continues the current record
    for (const layout::Piece& piece : memory.pieces()) {
        if (count && piece.address != expected) flush_record();
        for (uint64_t done = 0; done < piece.size;) {
            if (count == 0) record_at = piece.address + done;
            size_t take = static_cast<size_t>(
                std::min<uint64_t>(max_data - count, piece.size - done));
            piece.copy(done, take, payload + count);
            count += take;
            done += take;
            if (count == max_data) flush_record();
        }
        expected = piece.end();
    }
    flush_record();
    lines.record(end_type, width, entry, nullptr, 0);
    lines.flush();
}

}  // namespace velk::srecord
