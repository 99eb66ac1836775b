// Writing a memory map as UF2 blocks, and reading a UF2 file back into memory.
#include "uf2.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "../base/byte_order.h"

namespace velk::uf2 {

namespace {

// Where a block's words are.
enum Word : size_t {
    start0 = 0,
    start1 = 4,
    flags_at = 8,
    target_at = 12,
    payload_size_at = 16,
    block_no_at = 20,
    num_blocks_at = 24,
    family_at = 28,
    data_at = 32,
    end_at = 508,
};

// Hands `visit(page, first)` every page that holds a byte of the map, in
// address order: its address and the first piece reaching into it.
template <class Visit>
void for_each_page(const std::vector<layout::Piece>& pieces, Visit&& visit) {
    constexpr uint64_t page_mask = ~uint64_t{page_size - 1};
    uint64_t done = 0;  // every page below is written
    size_t i = 0;
    for (;;) {
        while (i < pieces.size() && (pieces[i].size == 0 || pieces[i].end() <= done)) ++i;
        if (i == pieces.size()) return;
        const uint64_t page = std::max(done, pieces[i].address) & page_mask;
        visit(page, i);
        done = page + page_size;
    }
}

// Blocks made in a buffer that goes to the sink when full.
class BlockBuffer {
public:
    // Blocks handed to the sink at a time: 1 MiB.
    static constexpr uint64_t chunk_blocks = 2048;

    BlockBuffer(layout::TextSink& out, uint64_t blocks)
        : out_(out),
          capacity_(static_cast<size_t>(std::min(blocks, chunk_blocks))),
          bytes_(new uint8_t[capacity_ * block_size]) {}

    uint8_t* next() {
        if (used_ == capacity_) flush();
        return bytes_.get() + block_size * used_++;
    }

    void flush() {
        if (used_ == 0) return;
        out_.put(reinterpret_cast<const char*>(bytes_.get()), used_ * block_size);
        used_ = 0;
    }

private:
    layout::TextSink& out_;
    size_t capacity_;
    std::unique_ptr<uint8_t[]> bytes_;
    size_t used_ = 0;
};

// A block's payload bound for flash: data_at bytes into block `block`.
struct Payload {
    uint64_t address;
    uint32_t size;
    size_t block;

    uint64_t end() const { return address + size; }
};

// The second block in file order whose payload holds `address`.
size_t second_holder(const std::vector<Payload>& payloads, uint64_t address) {
    size_t first = SIZE_MAX, second = SIZE_MAX;
    for (const Payload& p : payloads) {
        if (address < p.address || address >= p.end()) continue;
        if (p.block < first) {
            second = first;
            first = p.block;
        } else if (p.block < second) {
            second = p.block;
        }
    }
    return second;
}

}  // namespace

bool write_uf2(const layout::MemoryMap& memory, uint32_t family_id, uint8_t fill,
               layout::TextSink& out) {
    if (memory.end() > address_limit) return false;
    const std::vector<layout::Piece>& pieces = memory.pieces();
    // Every block carries the total, so the pages are counted first.
    uint64_t count = 0;
    for_each_page(pieces, [&](uint64_t, size_t) { ++count; });
    if (count == 0) return true;

    BlockBuffer blocks(out, count);
    uint32_t number = 0;
    for_each_page(pieces, [&](uint64_t page, size_t first) {
        uint8_t* block = blocks.next();
        bytes::put_le32(block + start0, magic_start0);
        bytes::put_le32(block + start1, magic_start1);
        bytes::put_le32(block + flags_at, family_present);
        bytes::put_le32(block + target_at, static_cast<uint32_t>(page));
        bytes::put_le32(block + payload_size_at, page_size);
        bytes::put_le32(block + block_no_at, number++);
        bytes::put_le32(block + num_blocks_at, static_cast<uint32_t>(count));
        bytes::put_le32(block + family_at, family_id);
        uint8_t* payload = block + data_at;
        std::memset(payload, fill, page_size);
        std::memset(payload + page_size, 0, data_area - page_size);
        const uint64_t page_end = page + page_size;
        for (size_t k = first; k < pieces.size() && pieces[k].address < page_end; ++k) {
            const layout::Piece& piece = pieces[k];
            const uint64_t from = std::max(piece.address, page);
            const uint64_t to = std::min(piece.end(), page_end);
            if (from < to)
                piece.copy(from - piece.address, static_cast<size_t>(to - from),
                           payload + (from - page));
        }
        bytes::put_le32(block + end_at, magic_end);
    });
    blocks.flush();
    return true;
}

layout::Expected<Contents, Fault> read_uf2(const uint8_t* bytes, size_t size) {
    if (size % block_size != 0) return Fault{Fault::bad_size};
    const size_t count = size / block_size;
    Contents out;
    std::vector<Payload> payloads;
    // (blockNo, place in the file) of every block
    std::vector<std::pair<uint32_t, size_t>> numbers;
    numbers.reserve(count);
    uint32_t total = 0;
    bool flash_seen = false;

    for (size_t b = 0; b < count; ++b) {
        const uint8_t* block = bytes + b * block_size;
        auto fault = [b](Fault::Kind kind, uint32_t value = 0, uint64_t address = 0) {
            return Fault{kind, b, address, value};
        };
        if (bytes::le32(block + start0) != magic_start0 ||
            bytes::le32(block + start1) != magic_start1 ||
            bytes::le32(block + end_at) != magic_end)
            return fault(Fault::bad_magic);
        const uint32_t flags = bytes::le32(block + flags_at);
        const uint32_t target = bytes::le32(block + target_at);
        const uint32_t payload_size = bytes::le32(block + payload_size_at);
        const uint32_t block_no = bytes::le32(block + block_no_at);
        const uint32_t num_blocks = bytes::le32(block + num_blocks_at);
        if (payload_size > data_area) return fault(Fault::bad_payload_size, payload_size);
        if (flags & file_container) return fault(Fault::in_file_container);
        bool flash = !(flags & not_main_flash);
        if (flash) {
            const bool has_family = flags & family_present;
            const uint32_t family = has_family ? bytes::le32(block + family_at) : 0;
            if (!flash_seen) {
                out.has_family = has_family;
                out.family = family;
                flash_seen = true;
            } else if (has_family != out.has_family || family != out.family) {
                if (!out.skipped)
                    out.skipped = Contents::Skipped{b, has_family, family, target,
                                                    payload_size};
                ++out.skipped_count;
                flash = false;
            }
        }
        if (block_no >= num_blocks) return fault(Fault::bad_block_number, block_no);
        if (b == 0)
            total = num_blocks;
        else if (num_blocks != total)
            return fault(Fault::count_differs, num_blocks);
        if (flash) {
            if (uint64_t{target} + payload_size > address_limit)
                return fault(Fault::address_overflow, 0, target);
            if (payload_size) payloads.push_back({target, payload_size, b});
            if (payload_size && !out.off_page &&
                (payload_size != page_size || target % page_size != 0))
                out.off_page = Contents::OffPage{b, payload_size, target};
        }
        numbers.emplace_back(block_no, b);
    }

    // Every number below the total once: sorted, a repeat stands beside the
    // first block with its number.
    std::sort(numbers.begin(), numbers.end());
    size_t repeat = count;
    uint32_t repeated = 0;
    for (size_t i = 1; i < numbers.size(); ++i)
        if (numbers[i].first == numbers[i - 1].first && numbers[i].second < repeat) {
            repeat = numbers[i].second;
            repeated = numbers[i].first;
        }
    if (repeat < count) return Fault{Fault::block_twice, repeat, 0, repeated};
    uint32_t expected = 0;
    for (const auto& number : numbers) {
        if (number.first != expected) break;
        ++expected;
    }
    if (expected < total) return Fault{Fault::block_missing, 0, 0, expected};

    std::stable_sort(
        payloads.begin(), payloads.end(),
        [](const Payload& a, const Payload& b) { return a.address < b.address; });
    uint64_t reach = 0;  // one past the highest address so far
    for (size_t i = 0; i < payloads.size(); ++i) {
        const Payload& p = payloads[i];
        if (i > 0 && p.address < reach)
            return Fault{Fault::overlap, second_holder(payloads, p.address), p.address};
        reach = std::max(reach, p.end());
    }
    if (payloads.empty()) return Fault{Fault::no_data};

    layout::FileData& data = out.data;
    size_t held = 0;
    for (const Payload& p : payloads) held += p.size;
    data.data.reserve(held);
    for (const Payload& p : payloads) {
        if (!data.runs.empty() && data.runs.back().end() == p.address)
            data.runs.back().size += p.size;
        else
            data.runs.push_back({p.address, p.size, data.runs.size(), data.data.size()});
        const uint8_t* payload = bytes + p.block * block_size + data_at;
        data.data.insert(data.data.end(), payload, payload + p.size);
    }
    return out;
}

bool looks_like_uf2(const uint8_t* head, size_t size) {
    return size >= 8 && bytes::le32(head + start0) == magic_start0 &&
           bytes::le32(head + start1) == magic_start1;
}

}  // namespace velk::uf2
