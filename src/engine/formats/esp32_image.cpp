#include "esp32_image.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "../base/byte_order.h"
#include "../report/text.h"

namespace velk::formats::esp32 {

namespace {
// The file's layout: the 8-byte header, the 16-byte extended header, each
// segment's 8-byte head, the footer's checksum at the last byte of a
// 16-byte line.
constexpr size_t entry_at = 4, wp_pin_at = 8, chip_at = 12, min_rev_full_at = 15,
                 max_rev_full_at = 17, reserved_at = 19, reserved_size = 4,
                 hash_appended_at = 23;
constexpr uint8_t magic = 0xE9, wp_pin_disabled = 0xEE;
constexpr uint16_t any_revision = 0xFFFF;
// The 64 KiB MMU page a flash-mapped segment keeps its offset within.
constexpr uint64_t page = 0x10000;
// The ESP32's second-stage bootloader leaves unmapped the last page of a
// flash segment that ends fewer than this many bytes into it.
constexpr uint64_t esp32_tail = 0x24;

constexpr auto little = bytes::Order::little;

// The memory a section is in, for joining neighbours: code or data
// through the flash mapping, or RAM.
enum class Bus { irom, drom, ram };

Bus bus_of(const Chip& chip, uint64_t address) {
    if (chip.irom.holds(address)) return Bus::irom;
    if (chip.drom.holds(address)) return Bus::drom;
    return Bus::ram;
}

}  // namespace

namespace {

// A segment as it is laid out: its address and its parts, the build's
// bytes and zeros.
struct Run {
    uint32_t address;
    std::vector<Part> parts;
    size_t size = 0;

    void add(Part part) {
        if (!part.size) return;
        parts.push_back(part);
        size += part.size;
    }
    // Its first `n` bytes as a run of their own, this one starting after them.
    Run front(size_t n) {
        Run out{address, {}, 0};
        while (n) {
            Part& p = parts.front();
            const size_t k = std::min(n, p.size);
            out.add({p.bytes, k});
            p.bytes = p.bytes ? p.bytes + k : nullptr;
            p.size -= k;
            if (!p.size) parts.erase(parts.begin());
            size -= k, n -= k, address += uint32_t(k);
        }
        return out;
    }
};

// Sections as segments: each padded to 4 bytes, and each joined to the one
// before it in the ELF's order when it starts where that one ends on the
// same bus.
std::vector<Run> joined(const Chip& chip, const std::vector<Section>& sections) {
    std::vector<Run> out;
    for (const Section& s : sections) {
        const size_t padded = (s.size + 3) & ~size_t{3};
        if (out.empty() || uint64_t(out.back().address) + out.back().size != s.address ||
            bus_of(chip, out.back().address) != bus_of(chip, s.address))
            out.push_back({s.address, {}, 0});
        for (const Part& p : s.parts) out.back().add(p);
        out.back().add({nullptr, padded - s.size});
    }
    return out;
}

// The bytes of data a segment written at `at` needs so that the flash
// segment after it starts its data at `address`'s offset within a page
// (0: none, it is there already).
uint64_t padding_before(uint64_t at, uint64_t address) {
    const int64_t past = int64_t(address % page) - int64_t(segment_head);
    int64_t pad = int64_t(page - at % page) + past;
    if (pad == 0 || pad == int64_t(page)) return 0;
    pad -= int64_t(segment_head);
    if (pad < 0) pad += int64_t(page);
    return uint64_t(pad);
}

const uint8_t zeros[4096] = {};

// Hands every byte of `parts` to `take(bytes, size)`, zeros from a block
// of them.
template <class Take>
void each(const std::vector<Part>& parts, Take&& take) {
    for (const Part& p : parts) {
        if (p.bytes) {
            take(p.bytes, p.size);
            continue;
        }
        for (size_t left = p.size; left;) {
            const size_t n = std::min(left, sizeof zeros);
            take(zeros, n);
            left -= n;
        }
    }
}

// Lays out the file's pieces as segments are added.
class Layout {
public:
    explicit Layout(Image& image) : image_(image) {
        header_ = &own(header_size);
        piece(header_->data(), header_size);
    }

    size_t at() const { return image_.size; }
    size_t count() const { return count_; }
    uint8_t* header() { return header_->data(); }
    uint8_t checksum() const { return checksum_; }

    // A segment, the ELF's SHA-256 put in its field when it lies in it;
    // the text says why it cannot be.
    std::string put(Run run, std::optional<uint64_t> sha_at, const ElfDigest& sha,
                    bool& placed, std::optional<uint64_t> field_address) {
        const size_t start = at();
        if (sha_at && *sha_at >= start && *sha_at < start + segment_head + run.size) {
            const uint64_t within = *sha_at - start;
            if (within < segment_head || within + sha256_size > segment_head + run.size)
                return text::format(
                    "the ELF's SHA-256 at 0x%llX would cross the edge of the segment at "
                    "0x%zX",
                    static_cast<unsigned long long>(*sha_at), start);
            Run before = run.front(size_t(within - segment_head));
            // esptool writes at 0xB0 whatever lies there: unless it is the
            // descriptor's field, the SHA-256 would replace the build's
            // zeros elsewhere, and CHECK could not tell it from them.
            if (field_address && run.address != *field_address)
                return text::format(
                    "the app descriptor (.flash.appdesc at 0x%08llX) does not lead the "
                    "image, so the ELF's SHA-256 at 0x%llX would land at 0x%08X, not in "
                    "its field: link .flash.appdesc first in flash data",
                    static_cast<unsigned long long>(*field_address - appdesc_field),
                    static_cast<unsigned long long>(*sha_at), run.address);
            Run field = run.front(sha256_size);
            bool zero = true;
            each(field.parts, [&](const uint8_t* b, size_t n) {
                zero = zero && std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
            });
            if (!zero)
                return text::format(
                    "the 32 bytes at 0x%llX where the ELF's SHA-256 goes are not all "
                    "zero",
                    static_cast<unsigned long long>(*sha_at));
            if (sha) field.parts = {{own(*sha).data(), sha256_size}};
            placed = true;
            for (const Run* r : {&field, &run}) {
                for (const Part& p : r->parts) before.parts.push_back(p);
                before.size += r->size;
            }
            run = std::move(before);
        }
        std::vector<uint8_t>& head = own(segment_head);
        bytes::store(head.data(), 4, little, run.address);
        bytes::store(head.data() + 4, 4, little, run.size);
        piece(head.data(), segment_head);
        for (const Part& p : run.parts) {
            if (p.bytes) checksum_ = xor_of(p.bytes, p.size, checksum_);
            piece(p.bytes, p.size);
        }
        ++count_;
        return "";
    }
    void zeros_then(size_t n, uint8_t byte) {
        piece(nullptr, n);
        piece(own(std::vector<uint8_t>{byte}).data(), 1);
    }
    void append(const std::vector<uint8_t>& bytes) {
        piece(own(bytes).data(), bytes.size());
    }

private:
    std::vector<uint8_t>& own(size_t n) { return own(std::vector<uint8_t>(n, 0)); }
    std::vector<uint8_t>& own(std::vector<uint8_t> bytes) {
        image_.owned.push_back(std::move(bytes));
        return image_.owned.back();
    }
    void piece(const uint8_t* bytes, size_t n) {
        if (!n) return;
        image_.pieces.push_back({bytes, n});
        image_.size += n;
    }

    Image& image_;
    std::vector<uint8_t>* header_;
    size_t count_ = 0;
    uint8_t checksum_ = checksum_seed;
};

}  // namespace

void Image::each_piece(const std::function<void(const uint8_t*, size_t)>& take) const {
    each(pieces, take);
}

void Image::emit(crypto::Digest& sha256,
                 const std::function<void(const uint8_t*, size_t)>& take) const {
    each_piece([&](const uint8_t* b, size_t n) {
        sha256.update(b, n);
        take(b, n);
    });
    const std::vector<uint8_t> hash = sha256.finish();
    take(hash.data(), hash.size());
}

std::variant<Image, std::string> make_image(const Settings& settings, uint32_t entry,
                                            const std::vector<Section>& sections,
                                            std::optional<uint32_t> appdesc,
                                            const ElfDigest& elf_sha256) {
    const Chip& chip = *settings.chip;
    std::vector<Run> all = joined(chip, sections);
    if (all.empty()) return std::string("the build has no section to load");
    std::stable_sort(all.begin(), all.end(),
                     [](const Run& a, const Run& b) { return a.address < b.address; });
    std::vector<Run> flash, ram;
    for (Run& r : all)
        (bus_of(chip, r.address) == Bus::ram ? ram : flash).push_back(std::move(r));
    for (size_t i = 1; i < flash.size(); ++i)
        if (flash[i].address / page == flash[i - 1].address / page)
            return text::format(
                "its sections at 0x%08X and 0x%08X share a 64 KiB flash page, which the "
                "MMU maps to one place in the image: link them as one section",
                flash[i - 1].address, flash[i].address);

    std::optional<uint64_t> sha_at = settings.elf_sha256_offset;
    std::optional<uint64_t> field_address;
    if (!sha_at && appdesc) {
        sha_at = appdesc_sha256_at;
        field_address = uint64_t(*appdesc) + appdesc_field;
    }
    bool sha_placed = !sha_at;

    Image image;
    Layout out(image);
    size_t next_ram = 0;
    for (Run& f : flash) {
        for (uint64_t pad; (pad = padding_before(out.at(), f.address)) != 0;) {
            Run filler{0, {}, 0};
            if (next_ram < ram.size() && pad > segment_head) {
                // A RAM segment, or its first bytes, in the gap rather than zeros.
                Run& r = ram[next_ram];
                filler = r.front(size_t(std::min<uint64_t>(pad, r.size)));
                if (!r.size) ++next_ram;
            } else {
                filler.add({nullptr, size_t(pad)});
            }
            if (std::string why = out.put(std::move(filler), sha_at, elf_sha256,
                                          sha_placed, field_address);
                !why.empty())
                return why;
        }
        if ((out.at() + segment_head) % page != f.address % page)
            return text::format(
                "its section at 0x%08X cannot be placed at its offset within a 64 KiB "
                "flash page",
                f.address);
        if (chip.id == 0) {
            const uint64_t tail = (out.at() + segment_head + f.size) % page;
            if (tail < esp32_tail) f.add({nullptr, size_t(esp32_tail - tail)});
        }
        if (std::string why =
                out.put(std::move(f), sha_at, elf_sha256, sha_placed, field_address);
            !why.empty())
            return why;
    }
    for (; next_ram < ram.size(); ++next_ram)
        if (std::string why = out.put(std::move(ram[next_ram]), sha_at, elf_sha256,
                                      sha_placed, field_address);
            !why.empty())
            return why;
    if (!sha_placed)
        return text::format("elf_sha256_offset=0x%llX is past the image's segments",
                            static_cast<unsigned long long>(*sha_at));
    if (out.count() > 0xFF)
        return text::format("it would have %zu segments, more than the header's 255",
                            out.count());

    uint8_t* h = out.header();
    h[0] = magic;
    h[1] = uint8_t(out.count());
    h[mode_at] = settings.mode;
    h[size_clock_at] = size_clock(settings);
    bytes::store(h + entry_at, 4, little, entry);
    h[wp_pin_at] = wp_pin_disabled;
    bytes::store(h + chip_at, 2, little, chip.id);
    bytes::store(h + min_rev_full_at, 2, little, settings.min_rev_full);
    bytes::store(h + max_rev_full_at, 2, little, any_revision);
    h[hash_appended_at] = 1;
    out.zeros_then(15 - out.at() % 16, out.checksum());
    return image;
}

std::variant<Parsed, std::string> parse_header(const uint8_t* bytes, size_t size) {
    if (size < header_size)
        return text::format("%zu bytes, fewer than its %zu-byte header", size,
                            header_size);
    if (bytes[0] != magic)
        return text::format("its first byte is 0x%02X, not the image's 0x%02X", bytes[0],
                            magic);
    Parsed p;
    const uint16_t id = uint16_t(bytes::load(bytes + chip_at, 2, little));
    p.chip = chip_by_id(id);
    if (!p.chip)
        return text::format("its header's chip ID at 0x%zX is %u, none of %s's", chip_at,
                            id, chip_names().c_str());
    if (!is_mode(bytes[mode_at]))
        return text::format("its header's flash mode at 0x%zX is 0x%02X, none of %s",
                            mode_at, bytes[mode_at], mode_names().c_str());
    if (!is_size(uint8_t(bytes[size_clock_at] >> 4)))
        return text::format("its header's flash size at 0x%zX is 0x%X, none of %s",
                            size_clock_at, bytes[size_clock_at] >> 4,
                            size_names().c_str());
    const uint8_t clock = bytes[size_clock_at] & 0xF;
    bool known = false;
    for (size_t i = 0; i < p.chip->clock_count; ++i)
        known |= p.chip->clocks[i].code == clock;
    if (!known)
        return text::format(
            "its header's flash frequency code at 0x%zX is 0x%X, none of "
            "the %s's (%s)",
            size_clock_at, clock, p.chip->name, clock_names(*p.chip).c_str());
    for (size_t i = 0; i < reserved_size; ++i)
        if (bytes[reserved_at + i])
            return text::format("its header's reserved byte at 0x%zX is 0x%02X, not 0",
                                reserved_at + i, bytes[reserved_at + i]);
    if (bytes[hash_appended_at] > 1)
        return text::format("its header's hash flag at 0x%zX is 0x%02X, neither 0 nor 1",
                            hash_appended_at, bytes[hash_appended_at]);
    p.entry = uint32_t(bytes::load(bytes + entry_at, 4, little));
    p.count = bytes[1];
    p.hashed = bytes[hash_appended_at] == 1;
    if (p.count == 0) return std::string("its header says it has no segment");
    return p;
}

uint8_t xor_of(const uint8_t* data, size_t size, uint8_t sum) {
    uint64_t wide = 0;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        wide ^= word;
    }
    for (unsigned k = 0; k < 8; ++k) sum ^= uint8_t(wide >> (8 * k));
    for (; i < size; ++i) sum ^= data[i];
    return sum;
}

std::variant<Parsed, std::string> parse(const uint8_t* bytes, size_t size) {
    auto header = parse_header(bytes, size);
    if (std::holds_alternative<std::string>(header)) return header;
    Parsed p = std::get<Parsed>(header);
    const size_t count = p.count;
    size_t at = header_size;
    uint8_t sum = checksum_seed;
    for (size_t i = 0; i < count; ++i) {
        if (size - at < segment_head)
            return text::format(
                "segment %zu of %zu would start at 0x%zX, past the file's "
                "%zu bytes: the file is cut short or its segment count "
                "is wrong",
                i, count, at, size);
        const uint32_t address = uint32_t(bytes::load(bytes + at, 4, little));
        const uint32_t length = uint32_t(bytes::load(bytes + at + 4, 4, little));
        if (length > size - at - segment_head)
            return text::format(
                "segment %zu at 0x%zX says it holds %u bytes, past the "
                "file's end at 0x%zX",
                i, at, length, size);
        p.segments.push_back({address, at + segment_head, length});
        sum = xor_of(bytes + at + segment_head, length, sum);
        at += segment_head + length;
    }
    const size_t checksum_at = at + 15 - at % 16;
    const size_t end = checksum_at + 1 + (bytes[hash_appended_at] ? sha256_size : 0);
    if (end != size)
        return text::format(
            "its segments end at 0x%zX, so the file would be %zu bytes "
            "with its checksum%s, but it holds %zu",
            at, end, bytes[hash_appended_at] ? " and SHA-256" : "", size);
    if (sum != bytes[checksum_at])
        return text::format(
            "its checksum byte at 0x%zX is 0x%02X, but its segments' data "
            "XOR to 0x%02X: a segment or the checksum is damaged",
            checksum_at, bytes[checksum_at], sum);
    if (bytes[hash_appended_at]) p.hash_at = checksum_at + 1;
    return p;
}

}  // namespace velk::formats::esp32
