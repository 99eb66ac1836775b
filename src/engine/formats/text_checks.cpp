// FLASH's checks of Intel HEX and S-record text as it is written
// (file_checks.h).
#include <algorithm>
#include <cstring>

#include "../layout/file_data.h"
#include "../numbers/numbers.h"
#include "../report/text.h"
#include "file_checks.h"
#include "image_bytes.h"

namespace velk::formats {

namespace {

// The byte two hex digits stand for, by the pair of characters: one
// lookup a byte; -1 for a pair that is not two hex digits.
struct DigitPairs {
    int16_t value[1 << 16];
    DigitPairs() {
        for (int high = 0; high < 256; ++high)
            for (int low = 0; low < 256; ++low) {
                const int h = numbers::hex_digit(static_cast<char>(high));
                const int l = numbers::hex_digit(static_cast<char>(low));
                value[high << 8 | low] =
                    h < 0 || l < 0 ? int16_t{-1} : static_cast<int16_t>(h << 4 | l);
            }
    }
};
const DigitPairs pairs;

int byte_at(const uint8_t* p) {
    return pairs.value[p[0] << 8 | p[1]];
}

// How a text format's lines start and how long each is: the byte count's
// two digits at `count_at`, and `fixed` characters besides the counted
// bytes' digits.
struct Grammar {
    const char* starts;  // the characters a line starts with
    size_t count_at, fixed;
    const char* record;      // "an Intel HEX record"
    const char* end_record;  // "end-of-file record"
};

// Text made of lines, each its own length from its first characters; a
// line cut between two chunks is completed in `carry_`. `Lines` reads one
// line (line()) and skims lines that need no more look (skim()); the walk
// calls it directly, so that a line that holds no checked byte costs a few
// comparisons.
template <class Lines>
class TextCheck : public FileCheck {
public:
    TextCheck(const layout::MemoryMap& memory, std::vector<Span> spans, Grammar grammar)
        : memory_(memory), spans_(std::move(spans)), seen_(spans_.size(), 0),
          grammar_(grammar) {
        std::sort(spans_.begin(), spans_.end(),
                  [](const Span& a, const Span& b) { return a.address < b.address; });
        next_start_ = spans_.empty() ? UINT64_MAX : spans_.front().address;
    }

    void take(const uint8_t* data, size_t size) override {
        Lines& lines = static_cast<Lines&>(*this);
        size_t at = 0;
        while (!carry_.empty() && at < size && fault_.empty()) {
            // Enough of the next chunk to complete the cut line.
            size_t n = std::min(size - at, longest - carry_.size());
            const size_t before = carry_.size();
            carry_.insert(carry_.end(), data + at, data + at + n);
            size_t length = line_length(carry_.data(), carry_.size());
            if (!length) {
                at += n;
                if (carry_.size() >= longest) fault_ = "a line is longer than any can be";
                continue;
            }
            lines.line(carry_.data(), length);
            at += length - before;
            offset_ += length;
            carry_.clear();
        }
        while (at < size && fault_.empty()) {
            const size_t skimmed = lines.skim(data + at, size - at);
            at += skimmed;
            offset_ += skimmed;
            if (at == size) break;
            const uint8_t* p = data + at;
            if (*p == '\n' || *p == '\r') {
                ++at;
                ++offset_;
                continue;
            }
            size_t length = line_length(p, size - at);
            if (!length) {
                carry_.assign(p, data + size);
                return;
            }
            lines.line(p, length);
            offset_ += length;
            at += length;
        }
    }

    std::string finish() override {
        if (!fault_.empty()) return fault_;
        if (!carry_.empty()) return "it ends inside a line";
        if (!ended_) return std::string("it has no ") + grammar_.end_record;
        for (size_t k = 0; k < spans_.size(); ++k)
            if (seen_[k] < spans_[k].size)
                return "no line holds " + text::address(spans_[k].address) + " to " +
                       text::address(spans_[k].end() - 1);
        return {};
    }

protected:
    static constexpr size_t longest = 4 + 2 * 256 + 2 * 16;

    // A data line of `count` bytes at `address`, the first digit pair at
    // `p`: decoded and compared when it holds a checked byte. `sum` is
    // the line's checksum over its other fields, `checksum` its checksum's
    // digits; all of them sum to `wanted_sum`.
    void data_line(uint64_t address, const uint8_t* p, size_t count, unsigned sum,
                   const uint8_t* checksum, unsigned wanted_sum) {
        if (address >= last_ && address + count <= next_start_) {
            last_ = address;
            return;
        }
        checked_line(address, p, count, sum, checksum, wanted_sum);
    }

    // The line's length when all of it is in [p, p + size); 0 when it is
    // not. A character no line starts with is a fault, and a length of 1.
    size_t line_length(const uint8_t* p, size_t size) {
        if (p[0] == 0 || !std::strchr(grammar_.starts, p[0]) || ended_) {
            fail_here(ended_ ? std::string("follows the ") + grammar_.end_record
                             : std::string("is no ") + grammar_.record);
            return 1;
        }
        if (size < grammar_.count_at + 2) return 0;
        const int count = byte_at(p + grammar_.count_at);
        if (count < 0) {
            fail_here("has no byte count");
            return 1;
        }
        const size_t length = grammar_.fixed + 2 * static_cast<size_t>(count);
        return length <= size ? length : 0;
    }

    uint64_t next_start() const { return next_start_; }
    // How many of the bytes at `p` are whole lines that need no more look
    // than their shape; none by default.
    size_t skim(const uint8_t*, size_t) { return 0; }
    // Lines that go back to lower addresses: every span is looked at again.
    void look_again() {
        next_ = 0;
        last_ = 0;
        next_start_ = spans_.empty() ? UINT64_MAX : spans_.front().address;
    }

    void fail_here(const std::string& what) {
        fault_ = text::format("the line at offset %llu ",
                              static_cast<unsigned long long>(offset_)) +
                 what;
    }

    bool ended_ = false;
    uint64_t last_ = 0;  // the address of the latest data line

private:
    void checked_line(uint64_t address, const uint8_t* p, size_t count, unsigned sum,
                      const uint8_t* checksum, unsigned wanted_sum) {
        if (address < last_) next_ = 0;  // lines out of order: look again from the first
        last_ = address;
        while (next_ < spans_.size() && spans_[next_].end() <= address) ++next_;
        next_start_ = next_ < spans_.size() ? spans_[next_].address : UINT64_MAX;
        const uint64_t end = address + count;
        bool checked = false;
        for (size_t k = next_; k < spans_.size() && spans_[k].address < end; ++k) {
            const uint64_t a = std::max(address, spans_[k].address);
            const uint64_t b = std::min(end, spans_[k].end());
            if (b > a) {
                seen_[k] += b - a;
                checked = true;
            }
        }
        if (!checked) return;
        uint8_t bytes[256];
        for (size_t i = 0; i < count; ++i) {
            int byte = byte_at(p + 2 * i);
            if (byte < 0) return fail(address, "holds a character that is no hex digit");
            bytes[i] = static_cast<uint8_t>(byte);
            sum += static_cast<unsigned>(byte);
        }
        int check = byte_at(checksum);
        if (check < 0 || ((sum + static_cast<unsigned>(check)) & 0xFF) != wanted_sum)
            return fail(address, "has a wrong checksum");
        int64_t i = first_unlike(memory_, address, bytes, count);
        if (i >= 0)
            fault_ = "the line for " + text::address(address) + " " +
                     unlike_text(memory_, address + i, bytes[i]);
    }

    void fail(uint64_t address, const char* what) {
        fault_ = "the line for " + text::address(address) + " " + what;
    }

    const layout::MemoryMap& memory_;
    std::vector<Span> spans_;
    std::vector<uint64_t> seen_;
    size_t next_ = 0;
    uint64_t next_start_ = UINT64_MAX;  // the lowest address a line must reach to be checked
    uint64_t offset_ = 0;  // the line's in the file, for a fault's words
    std::vector<uint8_t> carry_;
    const Grammar grammar_;

protected:
    std::string fault_;
};

class HexCheck final : public TextCheck<HexCheck> {
public:
    HexCheck(const layout::MemoryMap& memory, std::vector<Span> spans)
        : TextCheck(memory, std::move(spans), {":", 1, 11, "an Intel HEX record",
                                                 "end-of-file record"}) {}

    // Data lines alike in a 64 KiB page below every checked byte still
    // ahead, a group at a time: each starts with ':' and the group's byte
    // count, is a data record and ends in a line end where that count
    // says. The lines of a group are looked at independently of each
    // other, so the walk keeps pace with the writing.
    size_t skim(const uint8_t* p, size_t size) {
        constexpr size_t group = 8;
        size_t at = 0;
        if (base_ + page + 0xFF > next_start()) return 0;
        while (size - at >= 3 && p[at] == ':') {
            const int count = byte_at(p + at + 1);
            if (count < 0) break;
            const size_t stride = 12 + 2 * static_cast<size_t>(count);
            if (size - at < group * stride) break;
            const uint8_t c1 = p[at + 1], c2 = p[at + 2];
            bool alike = true;
            for (size_t i = 0; i < group; ++i) {
                const uint8_t* q = p + at + i * stride;
                alike &= (q[0] == ':') & (q[1] == c1) & (q[2] == c2) & (q[7] == '0') &
                         (q[8] == '0') & (q[stride - 1] == '\n');
            }
            if (!alike) break;
            at += group * stride;
        }
        return at;
    }

    void line(const uint8_t* p, size_t length) {
        if (length < 11) return;  // a fault, said
        // A data line in a 64 KiB page below every checked byte still
        // ahead: its length was all there was to read.
        if (p[7] == '0' && p[8] == '0' && base_ + page + 0xFF <= next_start())
            return;
        const int count = byte_at(p + 1), type = byte_at(p + 7);
        if (type == 0x00) {
            const int high = byte_at(p + 3), low = byte_at(p + 5);
            if (high < 0 || low < 0) return fail_here("has no address");
            return data_line(base_ + static_cast<unsigned>(high << 8 | low), p + 9,
                             static_cast<size_t>(count),
                             static_cast<unsigned>(count + high + low), p + length - 2, 0);
        }
        if (type == 0x01) {
            ended_ = true;
        } else if (type == 0x02 || type == 0x04) {
            int sum = 0;
            for (size_t i = 1; i + 1 < length; i += 2) {
                int byte = byte_at(p + i);
                if (byte < 0) return fail_here("has a character that is no hex digit");
                sum += byte;
            }
            if (count != 2 || (sum & 0xFF) != 0)
                return fail_here("is an address record with a wrong checksum");
            const uint64_t value = static_cast<uint64_t>(byte_at(p + 9) << 8 | byte_at(p + 11));
            const uint64_t base = type == 0x04 ? value << 16 : value << 4;
            if (base < base_) look_again();  // pages out of order
            base_ = base;
        } else if (type < 0) {
            fail_here("has no record type");
        }
    }

private:
    static constexpr uint64_t page = 0x10000;
    uint64_t base_ = 0;
};

class SrecCheck final : public TextCheck<SrecCheck> {
public:
    SrecCheck(const layout::MemoryMap& memory, std::vector<Span> spans)
        : TextCheck(memory, std::move(spans),
                    {"Ss", 2, 4, "an S-record", "termination record"}) {}

    // Data lines alike, below every checked byte still ahead and in
    // address order, a group at a time, as for Intel HEX; each line's
    // address is read, independently of the others.
    size_t skim(const uint8_t* p, size_t size) {
        constexpr size_t group = 8;
        size_t at = 0;
        while (size - at >= 4 && p[at] == 'S') {
            const uint8_t type = p[at + 1];
            if (type < '1' || type > '3') break;
            const size_t width = static_cast<size_t>(type - '0') + 1;
            const int count = byte_at(p + at + 2);
            if (count < 0 || static_cast<size_t>(count) < width + 1) break;
            const uint64_t data = static_cast<uint64_t>(count) - width - 1;
            const size_t stride = 5 + 2 * static_cast<size_t>(count);
            if (size - at < group * stride) break;
            const uint8_t c1 = p[at + 2], c2 = p[at + 3];
            bool alike = true;
            uint64_t previous = last_;
            for (size_t i = 0; i < group; ++i) {
                const uint8_t* q = p + at + i * stride;
                alike &= (q[0] == 'S') & (q[1] == type) & (q[2] == c1) & (q[3] == c2) &
                         (q[stride - 1] == '\n');
                uint64_t address = 0;
                int digits_ok = 0;
                for (size_t j = 0; j < width; ++j) {
                    const int byte = byte_at(q + 4 + 2 * j);
                    digits_ok |= byte;
                    address = address << 8 | static_cast<uint64_t>(byte & 0xFF);
                }
                alike &= (digits_ok >= 0) & (address >= previous) &
                         (address + data <= next_start());
                previous = address;
            }
            if (!alike) break;
            last_ = previous;
            at += group * stride;
        }
        return at;
    }

    void line(const uint8_t* p, size_t length) {
        if (length < 4) return;  // a fault, said
        const int type = p[1] - '0';
        const int count = byte_at(p + 2);
        if (type >= 7 && type <= 9) {
            ended_ = true;
            return;
        }
        if (type < 1 || type > 3) return;
        const size_t width = static_cast<size_t>(type) + 1;  // S1: 2 address bytes
        if (static_cast<size_t>(count) < width + 1) return fail_here("is too short");
        uint64_t address = 0;
        unsigned sum = static_cast<unsigned>(count);
        for (size_t i = 0; i < width; ++i) {
            int byte = byte_at(p + 4 + 2 * i);
            if (byte < 0) return fail_here("has no address");
            address = address << 8 | static_cast<uint64_t>(byte);
            sum += static_cast<unsigned>(byte);
        }
        data_line(address, p + 4 + 2 * width, static_cast<size_t>(count) - width - 1, sum,
                  p + length - 2, 0xFF);
    }
};

}  // namespace

std::unique_ptr<FileCheck> hex_check(const layout::MemoryMap& memory, std::vector<Span> spans) {
    return std::make_unique<HexCheck>(memory, std::move(spans));
}

std::unique_ptr<FileCheck> srec_check(const layout::MemoryMap& memory,
                                      std::vector<Span> spans) {
    return std::make_unique<SrecCheck>(memory, std::move(spans));
}

}  // namespace velk::formats
