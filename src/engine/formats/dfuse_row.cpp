// A DfuSe file, for STM32's ROM bootloader over USB: a prefix ("DfuSe",
// its version, the file's size, its targets), one target named as
// dfu-util's dfuse-pack names it, with one element (address, size, bytes)
// per contiguous run of the image, and the DFU suffix that names the USB
// device and ends in a CRC over everything before it. Its elements hold
// their addresses; it carries no start address.
#include <algorithm>
#include <array>
#include <cstring>

#include "../base/byte_order.h"
#include "../checksum/catalogue.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "rows.h"

namespace velk::formats {

namespace {

const char* const dfuse_endings[] = {".dfuse.dfu", nullptr};

constexpr size_t prefix_size = 11;   // "DfuSe", bVersion, DFUImageSize, bTargets
constexpr size_t target_size = 274;  // "Target", bAlternateSetting, bTargetNamed,
                                     // szTargetName[255], dwTargetSize, dwNbElements
constexpr size_t element_head = 8;   // dwElementAddress, dwElementSize
constexpr size_t suffix_size = 16;
constexpr size_t name_size = 255;
constexpr uint8_t dfuse_version = 1;
constexpr uint64_t dfu_1_1a = 0x011A;
// The target's name dfuse-pack gives every file it makes.
const char target_name[] = "ST...";

constexpr auto little = bytes::Order::little;

// The suffix's CRC: zlib's CRC-32 without its final inversion.
const checksum::Crc& dfu_crc() {
    static const checksum::Crc crc(checksum::find("CRC-32/JAMCRC")->parameters);
    return crc;
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

// The suffix's fields before its CRC: bcdDevice, idProduct, idVendor,
// bcdDFU, "UFD", bLength; the device's release 0 unless the run names one.
std::array<uint8_t, suffix_size - 4> suffix_head(const Request& request) {
    const std::vector<std::optional<uint64_t>>& ids = request.dfuse->numbers;
    std::array<uint8_t, suffix_size - 4> out{};
    bytes::store(out.data(), 2, little, ids.size() > 2 ? *ids[2] : 0);
    bytes::store(out.data() + 2, 2, little, *ids[1]);
    bytes::store(out.data() + 4, 2, little, *ids[0]);
    bytes::store(out.data() + 6, 2, little, dfu_1_1a);
    std::memcpy(out.data() + 8, "UFD", 3);
    out[11] = suffix_size;
    return out;
}

void refuse_ids(const Request& request) {
    const HexFields& ids = *request.dfuse;
    bool fit = ids.numbers.size() == 2 || ids.numbers.size() == 3;
    for (const std::optional<uint64_t>& id : ids.numbers)
        fit = fit && id && *id <= 0xFFFF;
    for (size_t digits : ids.digits) fit = fit && digits <= 4;
    if (!fit)
        throw Refusal{
            ids.word +
            ": not <vid>:<pid>[:<bcd>], the device's USB vendor and product IDs "
            "and its release, each 1 to 4 hex digits, as in 0483:df11"};
}

// Bytes on to the file, their CRC taken on the way.
class CrcTaking final : public layout::ChunkSink {
public:
    explicit CrcTaking(outfile::Sink& sink) : sink_(sink), reg_(dfu_crc().start()) {}
    void take(uint8_t* chunk, size_t size) override {
        reg_ = dfu_crc().update(reg_, chunk, size, checksum::Feed::bytes);
        sink_.take(chunk, size);
    }
    void put(std::vector<uint8_t> bytes) { take(bytes.data(), bytes.size()); }
    uint64_t reg() const { return reg_; }

private:
    outfile::Sink& sink_;
    uint64_t reg_;
};

void write_dfuse(const Contents& c, const std::string&, outfile::Sink& sink) {
    const layout::MemoryMap& memory = image_of(c);
    const std::vector<Span> runs = runs_of(memory);
    uint64_t elements = 0;
    for (const Span& r : runs) elements += element_head + r.size;
    CrcTaking out(sink);

    std::vector<uint8_t> head(prefix_size + target_size, 0);
    std::memcpy(head.data(), "DfuSe", 5);
    head[5] = dfuse_version;
    bytes::store(head.data() + 6, 4, little,
                 prefix_size + target_size + elements + suffix_size);
    head[10] = 1;  // one target
    uint8_t* target = head.data() + prefix_size;
    std::memcpy(target, "Target", 6);
    target[6] = 0;  // the alternate setting
    target[7] = 1;  // named: a 4-byte field, bytes 7 to 10
    std::memcpy(target + 11, target_name, sizeof target_name - 1);
    bytes::store(target + 11 + name_size, 4, little, elements);
    bytes::store(target + 15 + name_size, 4, little, runs.size());
    out.put(std::move(head));

    for (const Span& r : runs) {
        std::vector<uint8_t> element(element_head);
        bytes::store(element.data(), 4, little, r.address);
        bytes::store(element.data() + 4, 4, little, r.size);
        out.put(std::move(element));
        layout::copy_range(memory, r.address, r.end(), out);
    }
    const auto suffix = suffix_head(*c.request);
    uint64_t reg =
        dfu_crc().update(out.reg(), suffix.data(), suffix.size(), checksum::Feed::bytes);
    sink.put(reinterpret_cast<const char*>(suffix.data()), suffix.size());
    uint8_t crc[4];
    bytes::store(crc, 4, little, dfu_crc().finish(reg));
    sink.put(reinterpret_cast<const char*>(crc), sizeof crc);
}

bool looks_like_dfuse(const uint8_t* head, size_t size) {
    return size >= 5 && std::memcmp(head, "DfuSe", 5) == 0;
}

uint64_t at(const std::vector<uint8_t>& bytes, size_t offset, unsigned width) {
    return bytes::load(bytes.data() + offset, width, little);
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
    if (std::memcmp(bytes.data() + suffix + 8, "UFD", 3) != 0 ||
        bytes[suffix + 11] != suffix_size)
        throw Refusal{cannot +
                      "it does not end in a 16-byte DFU suffix (\"UFD\"): it is cut "
                      "short or damaged"};
    const uint64_t crc = dfu_crc().of(bytes.data(), size - 4);
    if (at(bytes, size - 4, 4) != crc)
        throw Refusal{
            cannot + text::format("its suffix's CRC (dwCRC) is 0x%08llX, but the "
                                  "bytes before it have CRC-32/JAMCRC 0x%08llX: the "
                                  "file is damaged",
                                  static_cast<unsigned long long>(at(bytes, size - 4, 4)),
                                  static_cast<unsigned long long>(crc))};
    if (bytes[5] != dfuse_version)
        throw Refusal{cannot + text::format("its prefix's version is %u, not %u",
                                            bytes[5], dfuse_version)};
    if (at(bytes, 6, 4) != size)
        throw Refusal{cannot +
                      text::format("its prefix gives the file's size as %llu bytes, "
                                   "not %zu",
                                   static_cast<unsigned long long>(at(bytes, 6, 4)),
                                   size)};
    Read out;
    size_t offset = prefix_size;
    for (unsigned t = 0; t < bytes[10]; ++t) {
        if (suffix - offset < target_size ||
            std::memcmp(bytes.data() + offset, "Target", 6))
            throw Refusal{
                cannot +
                text::format("target %u: no \"Target\" prefix at byte %zu", t, offset)};
        const uint64_t held = at(bytes, offset + 11 + name_size, 4);
        const uint64_t count = at(bytes, offset + 15 + name_size, 4);
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
            const uint64_t address = at(bytes, offset, 4);
            const uint64_t length = at(bytes, offset + 4, 4);
            offset += element_head;
            if (length > end - offset)
                throw Refusal{
                    cannot +
                    text::format("target %u, element %llu: its %llu bytes at %s run "
                                 "past the target's end",
                                 t, static_cast<unsigned long long>(e),
                                 static_cast<unsigned long long>(length),
                                 text::address(address).c_str())};
            if (address + length > (uint64_t{1} << 32))
                throw Refusal{
                    cannot +
                    text::format("target %u, element %llu: its %llu bytes at %s run "
                                 "past 4 GiB",
                                 t, static_cast<unsigned long long>(e),
                                 static_cast<unsigned long long>(length),
                                 text::address(address).c_str())};
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

// What FLASH wrote, read back as CHECK reads it: every element the image's
// run, with its bytes, and the suffix the run asked for.
class DfuseCheck final : public FileCheck {
public:
    explicit DfuseCheck(const Contents& c)
        : memory_(image_of(c)), suffix_(suffix_head(*c.request)) {}

    void take(const uint8_t* data, size_t size) override {
        bytes_.insert(bytes_.end(), data, data + size);
    }

    std::string finish() override {
        Read read;
        try {
            read = read_dfuse(bytes_);
        } catch (const Refusal& r) {
            return r.text;
        }
        if (std::memcmp(bytes_.data() + bytes_.size() - suffix_size, suffix_.data(),
                        suffix_.size()) != 0)
            return "its DFU suffix does not name the device asked for";
        const std::vector<Span> runs = runs_of(memory_);
        const std::vector<layout::Span>& found = read.data.runs;
        if (found.size() != runs.size())
            return text::format("it holds %zu elements, not %zu", found.size(),
                                runs.size());
        std::vector<uint8_t> wanted;
        for (size_t i = 0; i < runs.size(); ++i) {
            if (found[i].address != runs[i].address || found[i].size != runs[i].size)
                return text::format("its element %zu is not the image's run at %s", i,
                                    text::address(runs[i].address).c_str());
            wanted.resize(size_t(runs[i].size));
            memory_.read(runs[i].address, wanted.data(), runs[i].size);
            const uint8_t* held = read.data.data.data() + found[i].offset;
            for (size_t b = 0; b < wanted.size(); ++b)
                if (held[b] != wanted[b])
                    return text::format("it holds 0x%02X at %s, not 0x%02X", held[b],
                                        text::address(runs[i].address + b).c_str(),
                                        wanted[b]);
        }
        return "";
    }

private:
    const layout::MemoryMap& memory_;
    std::array<uint8_t, suffix_size - 4> suffix_;
    std::vector<uint8_t> bytes_;
};

std::unique_ptr<FileCheck> check_dfuse(const Contents& c, const Expected&) {
    return std::make_unique<DfuseCheck>(c);
}

}  // namespace

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of, refuse_asked:
// formats.h says each.
const Format dfuse_file = {
    "DfuSe",
    "a DfuSe file",
    "dfuse",
    ".dfuse.dfu",
    dfuse_endings,
    /* needs_base */ false,
    /* family */ false,
    /* build */ false,
    /* text */ false,
    /* container */ false,
    /* every_run */ false,
    /* merged */ true,
    /* page */ 0,
    looks_like_dfuse,
    read_dfuse,
    nullptr,
    write_dfuse,
    always,
    check_dfuse,
    "--dfuse <vid>:<pid>[:<bcd>]",
    nullptr,
    refuse_ids,
};

}  // namespace velk::formats
