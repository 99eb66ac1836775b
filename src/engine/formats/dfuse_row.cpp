// A DfuSe file, for STM32's ROM bootloader over USB: a prefix ("DfuSe",
// its version, the file's size, its targets), one target named as
// dfu-util's dfuse-pack names it, with one element (address, size, bytes)
// per contiguous run of the image, and the DFU suffix that names the USB
// device and ends in a CRC over everything before it. Its elements hold
// their addresses; it carries no start address.
#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>

#include "../base/byte_order.h"
#include "../checksum/catalogue.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "rows.h"

namespace velk::formats {

// Named, not anonymous: the DFU row's own fields and sizes share a unit
// with these when the engine is built as one.
namespace dfuse {

const char* const dfuse_endings[] = {".dfuse.dfu", nullptr};

// Each part of the file as a table of fields in file order, each
// little-endian, as ST's DfuSe format lays them out; written, checked and
// read back by these tables. A field with a text holds it (a signature, or
// the target's name dfuse-pack gives every file), padded with zeros.
struct Field {
    const char* name;
    unsigned width;
    const char* text = nullptr;
};
// clang-format off
enum PrefixSlot { p_signature, p_version, p_image_size, p_targets, prefix_slots };
constexpr Field prefix_fields[prefix_slots] = {
    {"szSignature", 5, "DfuSe"}, {"bVersion", 1}, {"DFUImageSize", 4}, {"bTargets", 1},
};
enum TargetSlot { t_signature, t_alternate, t_named, t_name, t_size, t_elements, target_slots };
constexpr Field target_fields[target_slots] = {
    {"szSignature", 6, "Target"}, {"bAlternateSetting", 1}, {"bTargetNamed", 4},
    {"szTargetName", 255, "ST..."}, {"dwTargetSize", 4}, {"dwNbElements", 4},
};
enum ElementSlot { e_address, e_size, element_slots };
constexpr Field element_fields[element_slots] = {
    {"dwElementAddress", 4}, {"dwElementSize", 4},
};
enum SuffixSlot {
    s_device, s_product, s_vendor, s_dfu, s_signature, s_length, s_crc, suffix_slots
};
constexpr Field suffix_fields[suffix_slots] = {
    {"bcdDevice", 2}, {"idProduct", 2}, {"idVendor", 2}, {"bcdDFU", 2},
    {"ucDfuSignature", 3, "UFD"}, {"bLength", 1}, {"dwCRC", 4},
};
// clang-format on

template <size_t N>
constexpr size_t offset_of(const Field (&fields)[N], size_t slot) {
    size_t at = 0;
    for (size_t s = 0; s < slot; ++s) at += fields[s].width;
    return at;
}
template <size_t N>
constexpr size_t size_of(const Field (&fields)[N]) {
    return offset_of(fields, N);
}

constexpr size_t prefix_size = size_of(prefix_fields);
constexpr size_t target_size = size_of(target_fields);
constexpr size_t element_head = size_of(element_fields);
constexpr size_t suffix_size = size_of(suffix_fields);
constexpr size_t suffix_crc = offset_of(suffix_fields, s_crc);
constexpr uint64_t dfuse_version = 1;
constexpr uint64_t dfu_1_1a = 0x011A;
constexpr uint64_t named = 1;

constexpr auto little = bytes::Order::little;

// A part's bytes: each field its text, or its value.
std::vector<uint8_t> encode(const Field* fields, std::initializer_list<uint64_t> values) {
    size_t size = 0;
    for (size_t s = 0; s < values.size(); ++s) size += fields[s].width;
    std::vector<uint8_t> out(size, 0);
    uint8_t* at = out.data();
    for (size_t s = 0; s < values.size(); at += fields[s].width, ++s) {
        if (fields[s].text)
            std::memcpy(at, fields[s].text, std::strlen(fields[s].text));
        else
            bytes::store(at, fields[s].width, little, values.begin()[s]);
    }
    return out;
}

template <size_t N>
uint64_t field(const Field (&fields)[N], const uint8_t* part, size_t slot) {
    return bytes::load(part + offset_of(fields, slot), fields[slot].width, little);
}

// Whether a signature field holds its text.
template <size_t N>
bool signed_as(const Field (&fields)[N], const uint8_t* part, size_t slot) {
    return std::memcmp(part + offset_of(fields, slot), fields[slot].text,
                       fields[slot].width) == 0;
}

// The image FLASH writes a DfuSe file of: the HEX's own, so that the file
// is the one dfuse-pack makes from that HEX.
const layout::MemoryMap& image_of(const Contents& c) {
    return c.hex_memory ? *c.hex_memory : *c.memory;
}

// The contiguous runs of the image, in address order: one element each.
std::vector<Span> runs_of(const layout::MemoryMap& memory) {
    std::vector<Span> runs;
    for (const layout::Piece& p : memory.pieces()) {
        if (!runs.empty() && runs.back().end() == p.address)
            runs.back().size += p.size;
        else
            runs.push_back({p.address, p.size});
    }
    return runs;
}

// The suffix's bytes, its CRC left 0 for the writer; the device's release
// 0 unless the run names one, as dfuse-pack writes it.
std::vector<uint8_t> suffix_head(const Request& request) {
    const std::vector<std::optional<uint64_t>>& ids = request.dfuse->numbers;
    return encode(suffix_fields, {ids.size() > 2 ? *ids[2] : 0, *ids[1], *ids[0],
                                  dfu_1_1a, 0, suffix_size, 0});
}

void refuse_ids(const Request& request) {
    refuse_usb_ids(*request.dfuse);
}

// The prefix and the target's head of a file of `runs`, one element each.
std::vector<uint8_t> head_of(const std::vector<Span>& runs) {
    uint64_t elements = 0;
    for (const Span& r : runs) elements += element_head + r.size;
    std::vector<uint8_t> head =
        encode(prefix_fields,
               {0, dfuse_version, prefix_size + target_size + elements + suffix_size, 1});
    const std::vector<uint8_t> target =
        encode(target_fields, {0, 0, named, 0, elements, runs.size()});
    head.insert(head.end(), target.begin(), target.end());
    return head;
}

void write_dfuse(const Contents& c, const std::string&, outfile::Sink& sink) {
    const layout::MemoryMap& memory = image_of(c);
    const std::vector<Span> runs = runs_of(memory);
    CrcTaking out(sink);
    out.put(head_of(runs));
    for (const Span& r : runs) {
        out.put(encode(element_fields, {r.address, r.size}));
        layout::copy_range(memory, r.address, r.end(), out);
    }
    std::vector<uint8_t> suffix = suffix_head(*c.request);
    const uint64_t reg =
        dfu_crc().update(out.reg(), suffix.data(), suffix_crc, checksum::Feed::bytes);
    bytes::store(suffix.data() + suffix_crc, suffix_fields[s_crc].width, little,
                 dfu_crc().finish(reg));
    sink.put(reinterpret_cast<const char*>(suffix.data()), suffix.size());
}

bool looks_like_dfuse(const uint8_t* head, size_t size) {
    return size >= prefix_fields[p_signature].width &&
           signed_as(prefix_fields, head, p_signature);
}

// The file's elements, every one of its wrapping checked: the suffix and
// its CRC, the prefix's size, each target's and element's size within
// what holds it. Refuses the first fault.
Read read_dfuse(const std::vector<uint8_t>& bytes) {
    const std::string cannot = "cannot read it as a DfuSe file: ";
    const size_t size = bytes.size();
    if (size < prefix_size + suffix_size)
        throw Refusal{cannot +
                      text::format("%zu bytes, fewer than its %zu-byte prefix and "
                                   "%zu-byte DFU suffix",
                                   size, prefix_size, suffix_size)};
    const size_t suffix = size - suffix_size;
    const uint8_t* tail = bytes.data() + suffix;
    if (!signed_as(suffix_fields, tail, s_signature) ||
        field(suffix_fields, tail, s_length) != suffix_size)
        throw Refusal{cannot +
                      "it does not end in a 16-byte DFU suffix (\"UFD\"): it is cut "
                      "short or damaged"};
    const uint64_t crc = dfu_crc().of(bytes.data(), suffix + suffix_crc);
    const uint64_t held_crc = field(suffix_fields, tail, s_crc);
    if (held_crc != crc)
        throw Refusal{cannot +
                      text::format("its suffix's CRC (%s) is 0x%08llX, but the "
                                   "bytes before it have CRC-32/JAMCRC 0x%08llX: the "
                                   "file is damaged",
                                   suffix_fields[s_crc].name,
                                   static_cast<unsigned long long>(held_crc),
                                   static_cast<unsigned long long>(crc))};
    // dfu-util takes a file as DfuSe by its suffix's DFU version, then
    // refuses it without the prefix's signature: neither is to be left
    // unchecked in a file said to be right.
    if (field(suffix_fields, tail, s_dfu) != dfu_1_1a)
        throw Refusal{cannot +
                      text::format("its suffix's %s is 0x%04llX, not 0x%04llX (DfuSe): "
                                   "dfu-util takes it for a plain DFU file",
                                   suffix_fields[s_dfu].name,
                                   static_cast<unsigned long long>(
                                       field(suffix_fields, tail, s_dfu)),
                                   static_cast<unsigned long long>(dfu_1_1a))};
    const uint8_t* prefix = bytes.data();
    if (!signed_as(prefix_fields, prefix, p_signature))
        throw Refusal{cannot + "it does not start with the \"DfuSe\" prefix"};
    if (field(prefix_fields, prefix, p_version) != dfuse_version)
        throw Refusal{
            cannot +
            text::format(
                "its prefix's %s is %llu, not %llu", prefix_fields[p_version].name,
                static_cast<unsigned long long>(field(prefix_fields, prefix, p_version)),
                static_cast<unsigned long long>(dfuse_version))};
    if (field(prefix_fields, prefix, p_image_size) != size)
        throw Refusal{cannot +
                      text::format("its prefix gives the file's size as %llu bytes, "
                                   "not %zu",
                                   static_cast<unsigned long long>(
                                       field(prefix_fields, prefix, p_image_size)),
                                   size)};
    Read out;
    size_t offset = prefix_size;
    const uint64_t targets = field(prefix_fields, prefix, p_targets);
    for (unsigned t = 0; t < targets; ++t) {
        const uint8_t* target = bytes.data() + offset;
        if (suffix - offset < target_size ||
            !signed_as(target_fields, target, t_signature))
            throw Refusal{
                cannot +
                text::format("target %u: no \"Target\" prefix at byte %zu", t, offset)};
        const uint64_t held = field(target_fields, target, t_size);
        const uint64_t count = field(target_fields, target, t_elements);
        // dfu-util downloads the targets of the alternate setting it is
        // given (-a 0, the STM32's flash) and skips the others.
        if (const uint64_t alternate = field(target_fields, target, t_alternate))
            out.warnings.push_back(text::format(
                "target %u is for alternate setting %llu, not 0: dfu-util -a 0 skips it "
                "(an STM32's flash is alternate setting 0)",
                t, static_cast<unsigned long long>(alternate)));
        offset += target_size;
        if (held > suffix - offset)
            throw Refusal{cannot + text::format("target %u: its %llu bytes run past the "
                                                "suffix",
                                                t,
                                                static_cast<unsigned long long>(held))};
        const size_t end = offset + size_t(held);
        for (uint64_t e = 0; e < count; ++e) {
            if (end - offset < element_head)
                throw Refusal{cannot + text::format("target %u, element %llu: past the "
                                                    "target's end",
                                                    t,
                                                    static_cast<unsigned long long>(e))};
            const uint64_t address =
                field(element_fields, bytes.data() + offset, e_address);
            const uint64_t length = field(element_fields, bytes.data() + offset, e_size);
            offset += element_head;
            auto run_past = [&](const char* where) {
                return Refusal{cannot +
                               text::format("target %u, element %llu: its %llu "
                                            "bytes at %s run past %s",
                                            t, static_cast<unsigned long long>(e),
                                            static_cast<unsigned long long>(length),
                                            text::address(address).c_str(), where)};
            };
            if (length > end - offset) throw run_past("the target's end");
            if (address + length > (uint64_t{1} << 32)) throw run_past("4 GiB");
            if (length)
                out.data.runs.push_back(
                    {address, length, out.data.runs.size(), out.data.data.size()});
            out.data.data.insert(out.data.data.end(), bytes.begin() + offset,
                                 bytes.begin() + offset + size_t(length));
            offset += size_t(length);
        }
        if (offset != end)
            throw Refusal{cannot +
                          text::format("target %u: %zu bytes after its last element", t,
                                       end - offset)};
    }
    if (offset != suffix)
        throw Refusal{cannot +
                      text::format("%zu bytes between its last target and its suffix",
                                   suffix - offset)};
    if (out.data.runs.empty()) throw Refusal{cannot + "no element holds data"};
    // Elements may come in any order (dfuse-pack keeps its inputs' order);
    // the data is read in address order, and no address twice.
    std::vector<layout::Span>& runs = out.data.runs;
    std::stable_sort(runs.begin(), runs.end(),
                     [](const layout::Span& a, const layout::Span& b) {
                         return a.address < b.address;
                     });
    for (size_t i = 1; i < runs.size(); ++i)
        if (runs[i].address < runs[i - 1].end())
            throw Refusal{cannot +
                          text::format("its elements %zu and %zu (counted across its "
                                       "targets) both hold %s",
                                       runs[i - 1].source, runs[i].source,
                                       text::address(runs[i].address).c_str())};
    return out;
}

// What FLASH wrote, taken as it is written, against the file the image
// makes: the prefix, target and element heads and the suffix as the run
// asked for them, each element's bytes against the image, and the CRC
// over what came before it. Nothing of the file is kept but its CRC.
class DfuseCheck final : public FileCheck {
public:
    explicit DfuseCheck(const Contents& c)
        : memory_(image_of(c)), reg_(dfu_crc().start()) {
        const std::vector<Span> runs = runs_of(memory_);
        add(head_of(runs));
        for (const Span& r : runs) {
            add(encode(element_fields, {r.address, r.size}));
            parts_.push_back({{}, r.address, r.size, false});
        }
        std::vector<uint8_t> suffix = suffix_head(*c.request);
        suffix.resize(suffix_crc);
        add(std::move(suffix), true);
        for (const Part& p : parts_) crc_at_ += p.size;
    }

    void take(const uint8_t* data, size_t size) override {
        size_t i = 0;
        while (i < size && taken_ < crc_at_) {
            const Part& p = parts_[part_];
            const uint64_t into = taken_ - done_;
            const size_t n = size_t(std::min<uint64_t>(p.size - into, size - i));
            if (fault_.empty()) compare(p, into, data + i, n);
            reg_ = dfu_crc().update(reg_, data + i, n, checksum::Feed::bytes);
            i += n;
            taken_ += n;
            if (taken_ - done_ == p.size) {
                done_ += p.size;
                ++part_;
            }
        }
        const size_t keep = std::min(size - i, crc_.size() < 4 ? 4 - crc_.size() : 0);
        crc_.insert(crc_.end(), data + i, data + i + keep);
        after_ += size - i;
    }

    std::string finish() override {
        if (!fault_.empty()) return fault_;
        if (taken_ + after_ != crc_at_ + 4)
            return text::format("it is %llu bytes, not %llu",
                                static_cast<unsigned long long>(taken_ + after_),
                                static_cast<unsigned long long>(crc_at_ + 4));
        const uint64_t held = bytes::load(crc_.data(), 4, little);
        const uint64_t computed = dfu_crc().finish(reg_);
        if (held != computed)
            return text::format(
                "its suffix's CRC (%s) is 0x%08llX, but the bytes before it have "
                "CRC-32/JAMCRC 0x%08llX",
                suffix_fields[s_crc].name, static_cast<unsigned long long>(held),
                static_cast<unsigned long long>(computed));
        return "";
    }

private:
    // A stretch of the file: bytes of its own, or the image's from an address.
    struct Part {
        std::vector<uint8_t> bytes;
        uint64_t address, size;
        bool suffix;
    };

    void add(std::vector<uint8_t> bytes, bool suffix = false) {
        const uint64_t size = bytes.size();
        parts_.push_back({std::move(bytes), 0, size, suffix});
    }

    void compare(const Part& p, uint64_t into, const uint8_t* data, size_t n) {
        const uint8_t* wanted = p.bytes.data() + into;
        if (p.bytes.empty()) {
            image_.resize(n);
            memory_.read(p.address + into, image_.data(), n);
            wanted = image_.data();
        }
        if (std::memcmp(data, wanted, n) == 0) return;
        size_t b = 0;
        while (data[b] == wanted[b]) ++b;
        if (p.suffix)
            fault_ = "its DFU suffix does not name the device asked for";
        else if (p.bytes.empty())
            fault_ = text::format("it holds 0x%02X at %s, not 0x%02X", data[b],
                                  text::address(p.address + into + b).c_str(), wanted[b]);
        else
            fault_ = text::format(
                "its byte %llu is 0x%02X, not 0x%02X, in its prefix, "
                "target or an element's head",
                static_cast<unsigned long long>(done_ + into + b), data[b], wanted[b]);
    }

    const layout::MemoryMap& memory_;
    std::vector<Part> parts_;
    size_t part_ = 0;
    uint64_t done_ = 0;    // the file's bytes in the parts before part_
    uint64_t taken_ = 0;   // the file's bytes compared, up to the CRC
    uint64_t after_ = 0;   // the bytes from the CRC on
    uint64_t crc_at_ = 0;  // where the suffix's CRC starts
    uint64_t reg_;
    std::vector<uint8_t> crc_, image_;
    std::string fault_;
};

std::unique_ptr<FileCheck> check_dfuse(const Contents& c, const Expected&) {
    return std::make_unique<DfuseCheck>(c);
}

}  // namespace dfuse

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of, refuse_asked:
// formats.h says each.
// clang-format off
const Format dfuse_file = {
    "DfuSe", "a DfuSe file", "dfuse", ".dfuse.dfu", dfuse::dfuse_endings,
    /* needs_base */ false, /* family */ false, /* build */ false, /* text */ false,
    /* container */ false, /* every_run */ false, /* merged */ true, /* page */ 0,
    dfuse::looks_like_dfuse, dfuse::read_dfuse, nullptr, dfuse::write_dfuse, always,
    dfuse::check_dfuse, "--dfuse <vid>:<pid>[:<bcd>]", nullptr, dfuse::refuse_ids,
};
// clang-format on

}  // namespace velk::formats
