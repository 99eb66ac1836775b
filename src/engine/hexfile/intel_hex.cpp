#include "intel_hex.h"

#include <algorithm>
#include <vector>

#include "../base/byte_order.h"
#include "../layout/record_text.h"

namespace velk::hexfile {

namespace {

constexpr size_t max_data = 16;
// ":" + count + address + type + 16 data bytes + checksum, 2 digits a byte, "\n"
constexpr size_t max_line = 1 + 2 * (4 + max_data + 1) + 1;

// Intel HEX records a line at a time.
class LineBuffer {
public:
    explicit LineBuffer(TextSink& sink) : text_(sink, max_line) {}

    // One record: `count` payload bytes after the count, address and type.
    void record(uint8_t type, uint16_t address, const uint8_t* payload, size_t count) {
        using layout::RecordText;
        char* out = text_.line();
        unsigned sum =
            static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
        *out++ = ':';
        out = RecordText::put_byte(out, static_cast<uint8_t>(count));
        out = RecordText::put_byte(out, static_cast<uint8_t>(address >> 8));
        out = RecordText::put_byte(out, static_cast<uint8_t>(address));
        out = RecordText::put_byte(out, type);
        for (size_t i = 0; i < count; ++i) {
            sum += payload[i];
            out = RecordText::put_byte(out, payload[i]);
        }
        out = RecordText::put_byte(out, static_cast<uint8_t>(0x100 - (sum & 0xFF)));
        *out++ = '\n';
        text_.end_line(out);
    }

    void flush() { text_.flush(); }

private:
    layout::RecordText text_;
};

// Walks the map's bytes in address order across adjacent pieces.
class Cursor {
public:
    explicit Cursor(const std::vector<layout::Piece>& pieces) : pieces_(pieces) {}

    bool done() const { return index_ == pieces_.size(); }
    uint64_t address() const { return pieces_[index_].address + offset_; }

    // Up to `limit` bytes from here, stopping at a hole.
    size_t take(size_t limit, uint8_t* out) {
        size_t taken = 0;
        while (taken < limit) {
            const layout::Piece& piece = pieces_[index_];
            size_t take = static_cast<size_t>(
                std::min<uint64_t>(limit - taken, piece.size - offset_));
            piece.copy(offset_, take, out + taken);
            taken += take;
            offset_ += take;
            if (offset_ < piece.size) break;
            bool adjacent =
                index_ + 1 < pieces_.size() && pieces_[index_ + 1].address == piece.end();
            ++index_;
            offset_ = 0;
            if (!adjacent) break;
        }
        return taken;
    }

private:
    const std::vector<layout::Piece>& pieces_;
    size_t index_ = 0;
    uint64_t offset_ = 0;
};

void extended_linear_address(LineBuffer& lines, uint64_t page) {
    uint8_t payload[2];
    bytes::store(payload, 2, bytes::Order::big, page);
    lines.record(0x04, 0, payload, 2);
}

}  // namespace

std::optional<uint32_t> start_address(uint64_t entry) {
    if (entry >= address_limit) return std::nullopt;
    return static_cast<uint32_t>(entry);
}

void write_intel_hex(const MemoryMap& memory, std::optional<uint32_t> start_linear,
                     TextSink& sink) {
    LineBuffer lines(sink);
    if (start_linear) {
        uint8_t start[4];
        bytes::store(start, 4, bytes::Order::big, *start_linear);
        lines.record(0x05, 0, start, 4);
    }

    if (!memory.empty()) {
        const uint64_t last = memory.end() - 1;
        const bool paged = last > 0xFFFF;
        Cursor cursor(memory.pieces());
        uint8_t payload[max_data];
        while (!cursor.done()) {
            uint64_t page = cursor.address() >> 16;
            if (paged) extended_linear_address(lines, page);
            // Records within one 64 KiB page (all of memory when unpaged).
            while (!cursor.done() && (!paged || cursor.address() >> 16 == page)) {
                uint64_t address = cursor.address();
                uint64_t low = address & 0xFFFF;
                size_t limit = static_cast<size_t>(
                    std::min<uint64_t>({max_data, 0x10000 - low, last - address + 1}));
                size_t count = cursor.take(limit, payload);
                lines.record(0x00, static_cast<uint16_t>(low), payload, count);
            }
        }
    }
    lines.record(0x01, 0, nullptr, 0);
    lines.flush();
}

}  // namespace velk::hexfile
