#include "intel_hex.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace velk::hexfile {

namespace {

constexpr size_t max_data = 16;
// ":" + count + address + type + 16 data bytes + checksum, 2 digits a byte, "\n"
constexpr size_t max_line = 1 + 2 * (4 + max_data + 1) + 1;

struct HexDigits {
    char pairs[256][2];
    constexpr HexDigits() : pairs{} {
        const char digits[] = "0123456789ABCDEF";
        for (int i = 0; i < 256; ++i) {
            pairs[i][0] = digits[i >> 4];
            pairs[i][1] = digits[i & 15];
        }
    }
};
constexpr HexDigits hex_digits;

// Collects lines and hands them to the sink a chunk at a time.
class LineBuffer {
public:
    // Left uninitialised: a small image touches only the pages it fills.
    explicit LineBuffer(TextSink& sink)
        : sink_(sink), text_(new char[chunk_size + max_line]) {}

    // One record: `count` payload bytes after the count, address and type.
    void record(uint8_t type, uint16_t address, const uint8_t* payload, size_t count) {
        if (used_ + max_line > chunk_size) flush();
        char* out = text_.get() + used_;
        unsigned sum =
            static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
        *out++ = ':';
        out = put_byte(out, static_cast<uint8_t>(count));
        out = put_byte(out, static_cast<uint8_t>(address >> 8));
        out = put_byte(out, static_cast<uint8_t>(address));
        out = put_byte(out, type);
        for (size_t i = 0; i < count; ++i) {
            sum += payload[i];
            out = put_byte(out, payload[i]);
        }
        out = put_byte(out, static_cast<uint8_t>(0x100 - (sum & 0xFF)));
        *out++ = '\n';
        used_ = static_cast<size_t>(out - text_.get());
    }

    void flush() {
        if (used_ == 0) return;
        sink_.put(text_.get(), used_);
        used_ = 0;
    }

private:
    static char* put_byte(char* out, uint8_t value) {
        std::memcpy(out, hex_digits.pairs[value], 2);
        return out + 2;
    }

    TextSink& sink_;
    std::unique_ptr<char[]> text_;
    size_t used_ = 0;
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
            if (piece.bytes)
                std::memcpy(out + taken, piece.bytes + offset_, take);
            else
                std::memset(out + taken, layout::erased, take);
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
    const uint8_t payload[] = {static_cast<uint8_t>(page >> 8),
                               static_cast<uint8_t>(page)};
    lines.record(0x04, 0, payload, 2);
}

}  // namespace

void write_intel_hex(const MemoryMap& memory, uint32_t start_linear, TextSink& sink) {
    LineBuffer lines(sink);
    const uint8_t start[] = {static_cast<uint8_t>(start_linear >> 24),
                             static_cast<uint8_t>(start_linear >> 16),
                             static_cast<uint8_t>(start_linear >> 8),
                             static_cast<uint8_t>(start_linear)};
    lines.record(0x05, 0, start, 4);

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
