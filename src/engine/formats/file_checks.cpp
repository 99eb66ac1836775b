#include "file_checks.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "../base/byte_order.h"
#include "../report/text.h"
#include "../uf2/uf2.h"
#include "image_bytes.h"

namespace velk::formats {

namespace {

class BinaryCheck final : public FileCheck {
public:
    BinaryCheck(const layout::MemoryMap& memory, uint64_t from, uint64_t to)
        : memory_(memory), at_(from), to_(to) {}

    void take(const uint8_t* data, size_t size) override {
        if (!fault_.empty()) return;
        if (size > to_ - at_) {
            fault_ = "its bytes go on past " + text::address(to_);
            return;
        }
        int64_t i = first_unlike(memory_, at_, data, size);
        if (i >= 0) fault_ = "it " + unlike_text(memory_, at_ + i, data[i]);
        at_ += size;
    }

    std::string finish() override {
        if (fault_.empty() && at_ != to_)
            fault_ = "it ends at " + text::address(at_) + ", before " + text::address(to_);
        return fault_;
    }

private:
    const layout::MemoryMap& memory_;
    uint64_t at_, to_;
    std::string fault_;
};

class Uf2Check final : public FileCheck {
public:
    explicit Uf2Check(const layout::MemoryMap& memory) : memory_(memory) {}

    void take(const uint8_t* data, size_t size) override {
        // Whole blocks are read where they lie; one cut between two pieces
        // is put together first.
        while (size && fault_.empty()) {
            if (filled_ == 0 && size >= uf2::block_size) {
                block(data);
                ++blocks_;
                data += uf2::block_size;
                size -= uf2::block_size;
                continue;
            }
            size_t n = std::min(size, uf2::block_size - filled_);
            std::memcpy(block_.data() + filled_, data, n);
            filled_ += n;
            data += n;
            size -= n;
            if (filled_ == uf2::block_size) {
                block(block_.data());
                filled_ = 0;
                ++blocks_;
            }
        }
    }

    std::string finish() override {
        if (fault_.empty() && filled_) fault_ = "it ends inside a block";
        return fault_;
    }

private:
    void block(const uint8_t* b) {
        auto which = [this] { return text::format("block %zu", blocks_); };
        if (bytes::le32(b) != uf2::magic_start0 || bytes::le32(b + 4) != uf2::magic_start1 ||
            bytes::le32(b + 508) != uf2::magic_end) {
            fault_ = which() + " has a wrong magic number";
            return;
        }
        if (bytes::le32(b + 8) & uf2::not_main_flash) return;
        const uint64_t address = bytes::le32(b + 12);
        const uint32_t size = bytes::le32(b + 16);
        if (size > uf2::data_area) {
            fault_ = which() + text::format(" has a payload of %u bytes", size);
            return;
        }
        int64_t i = first_unlike(memory_, address, b + 32, size);
        if (i >= 0) fault_ = which() + " " + unlike_text(memory_, address + i, b[32 + i]);
    }

    const layout::MemoryMap& memory_;
    std::array<uint8_t, uf2::block_size> block_{};
    size_t filled_ = 0, blocks_ = 0;
    std::string fault_;
};

class OffsetsCheck final : public FileCheck {
public:
    explicit OffsetsCheck(std::vector<AtOffset> expected) : expected_(std::move(expected)) {
        for (const AtOffset& e : expected_) found_.emplace_back(e.bytes.size(), 0);
        seen_.assign(expected_.size(), 0);
    }

    void take(const uint8_t* data, size_t size) override {
        for (size_t k = 0; k < expected_.size(); ++k) {
            const AtOffset& e = expected_[k];
            const uint64_t a = std::max(at_, e.offset);
            const uint64_t b = std::min(at_ + size, e.offset + e.bytes.size());
            if (b <= a) continue;
            std::memcpy(found_[k].data() + (a - e.offset), data + (a - at_), b - a);
            seen_[k] += b - a;
        }
        at_ += size;
    }

    std::string finish() override {
        for (size_t k = 0; k < expected_.size(); ++k) {
            const AtOffset& e = expected_[k];
            if (seen_[k] < e.bytes.size())
                return text::format("it ends before offset 0x%llX, where the bytes for %s lie",
                                    static_cast<unsigned long long>(e.offset),
                                    text::address(e.address).c_str());
            for (size_t i = 0; i < e.bytes.size(); ++i)
                if (found_[k][i] != e.bytes[i])
                    return text::format("it holds 0x%02X at %s (offset 0x%llX) where the image "
                                        "has 0x%02X",
                                        found_[k][i], text::address(e.address + i).c_str(),
                                        static_cast<unsigned long long>(e.offset + i),
                                        e.bytes[i]);
        }
        return {};
    }

private:
    std::vector<AtOffset> expected_;
    std::vector<std::vector<uint8_t>> found_;
    std::vector<uint64_t> seen_;
    uint64_t at_ = 0;
};

}  // namespace

std::unique_ptr<FileCheck> binary_check(const layout::MemoryMap& memory, uint64_t from,
                                        uint64_t to) {
    return std::make_unique<BinaryCheck>(memory, from, to);
}

std::unique_ptr<FileCheck> uf2_check(const layout::MemoryMap& memory) {
    return std::make_unique<Uf2Check>(memory);
}

std::unique_ptr<FileCheck> offsets_check(std::vector<AtOffset> expected) {
    return std::make_unique<OffsetsCheck>(std::move(expected));
}

}  // namespace velk::formats
