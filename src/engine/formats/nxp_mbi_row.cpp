// An NXP LPC55S/MCX master boot image, the plain-CRC kind the boot ROM
// runs in place: the raw binary with four of the vector table's reserved
// words filled in, the image's length at 0x20, its type at 0x24 (a CRC
// image run in place, TrustZone set up by the image itself), the
// CRC-32/MPEG-2 of every other byte at 0x28 and the address it runs at at
// 0x34. The ROM refuses to boot it when the CRC does not match.
#include <algorithm>
#include <array>
#include <cstring>

#include "../base/byte_order.h"
#include "../checksum/catalogue.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"
#include "file_checks.h"
#include "nxp_mbi.h"
#include "rows.h"

namespace velk::formats {

namespace {

const char* const mbi_endings[] = {".mbi.bin", nullptr};

constexpr size_t length_at = 0x20, type_at = 0x24, crc_at = 0x28, address_at = 0x34;
// The words the header fills in; 0x2C and 0x30 between them are the
// SVCall and DebugMon vectors, the image's own.
constexpr size_t filled_words[] = {length_at, type_at, crc_at, address_at};
constexpr size_t header_from = 0x20, header_end = 0x38;
// A CRC image (5) the ROM runs in place, with TrustZone left to the image
// (0x4000); 0x4002 would be one loaded to RAM.
constexpr uint32_t crc_xip_image = 0x4005;

const checksum::Crc& mbi_crc() {
    static const checksum::Crc crc(checksum::find("CRC-32/MPEG-2")->parameters);
    return crc;
}

uint32_t word_at(const uint8_t* bytes, size_t at) {
    return uint32_t(bytes::load(bytes + at, 4, bytes::Order::little));
}

void put_word(uint8_t* bytes, size_t at, uint64_t value) {
    bytes::store(bytes + at, 4, bytes::Order::little, value);
}

// The register after the header's bytes but its CRC word.
uint64_t header_crc(const uint8_t* head) {
    const uint64_t reg =
        mbi_crc().update(mbi_crc().start(), head, crc_at, checksum::Feed::bytes);
    return mbi_crc().update(reg, head + crc_at + 4, header_end - crc_at - 4,
                            checksum::Feed::bytes);
}

// The CRC of a whole file's bytes but its CRC word.
uint32_t crc_of(const std::vector<uint8_t>& image) {
    const uint64_t reg =
        mbi_crc().update(header_crc(image.data()), image.data() + header_end,
                         image.size() - header_end, checksum::Feed::bytes);
    return uint32_t(mbi_crc().finish(reg));
}

using Header = std::array<uint8_t, header_end>;

// The ROM reads the image by words: nxpimage pads it with zeros to a
// whole word, and counts them in its length and its CRC.
constexpr uint64_t word_size = 4;
uint64_t padding_of(uint64_t size) {
    return (word_size - size % word_size) % word_size;
}
uint64_t padding_of(const Contents& c) {
    return padding_of(c.to - c.from);
}

// The image's bytes after the header, into the CRC.
class CrcTail final : public layout::ChunkSink {
public:
    explicit CrcTail(uint64_t reg) : reg_(reg) {}
    void take(uint8_t* chunk, size_t size) override {
        reg_ = mbi_crc().update(reg_, chunk, size, checksum::Feed::bytes);
    }
    uint32_t crc() const { return uint32_t(mbi_crc().finish(reg_)); }

private:
    uint64_t reg_;
};

class Into final : public layout::ChunkSink {
public:
    explicit Into(uint8_t* at) : at_(at) {}
    void take(uint8_t* chunk, size_t size) override {
        std::memcpy(at_, chunk, size);
        at_ += size;
    }

private:
    uint8_t* at_;
};

// The file's first 0x38 bytes: the image's, its header words filled in.
// The rest of the file is the image's own bytes, read once here for the
// CRC and once more as it is written, never held whole. Refused before the
// build is computed when the image is too short (refuse_nxp_mbi).
Header header_of(const Contents& c) {
    const uint64_t size = c.to - c.from;
    if (size < header_end)
        throw Refusal{
            text::format("an NXP master boot image needs at least 0x%zX bytes, "
                         "and the image has 0x%llX",
                         header_end, static_cast<unsigned long long>(size))};
    Header head{};
    Into into(head.data());
    layout::copy_range(*c.memory, c.from, c.from + header_end, into);
    uint8_t padding[word_size] = {};
    put_word(head.data(), length_at, size + padding_of(c));
    put_word(head.data(), type_at, crc_xip_image);
    put_word(head.data(), crc_at, 0);
    put_word(head.data(), address_at, c.from);
    CrcTail tail(header_crc(head.data()));
    layout::copy_range(*c.memory, c.from + header_end, c.to, tail);
    tail.take(padding, size_t(padding_of(c)));
    put_word(head.data(), crc_at, tail.crc());
    return head;
}

void write_mbi(const Contents& c, const std::string&, outfile::Sink& sink) {
    Header head = header_of(c);
    sink.take(head.data(), head.size());
    layout::copy_range(*c.memory, c.from + header_end, c.to, sink);
    uint8_t padding[word_size] = {};
    sink.take(padding, size_t(padding_of(c)));
}

// What FLASH wrote against the header made again from the run's memory,
// and the rest against the image itself.
class MbiCheck final : public FileCheck {
public:
    explicit MbiCheck(const Contents& c)
        : wanted_(header_of(c)),
          rest_(binary_check(*c.memory, c.from + header_end, c.to)),
          image_(c.to - c.from),
          padding_(padding_of(c)) {}
    void take(const uint8_t* data, size_t size) override {
        while (size && seen_ < header_end) {
            if (fault_.empty() && *data != wanted_[seen_])
                fault_ = text::format("its byte at offset 0x%zX is 0x%02X, not 0x%02X",
                                      size_t(seen_), *data, wanted_[seen_]);
            ++seen_, ++data, --size;
        }
        const size_t image = size_t(std::min<uint64_t>(size, image_ - std::min(seen_, image_)));
        if (image) rest_->take(data, image);
        seen_ += image, data += image, size -= image;
        // The padding's zeros; anything after them is the image's file run long.
        for (; size && seen_ < image_ + padding_; ++seen_, ++data, --size)
            if (fault_.empty() && *data != 0)
                fault_ = text::format("its padding byte at offset 0x%llX is 0x%02X, not 0x00",
                                      static_cast<unsigned long long>(seen_), *data);
        if (size) rest_->take(data, size);
        seen_ += size;
    }
    std::string finish() override {
        if (!fault_.empty()) return fault_;
        if (seen_ < header_end)
            return text::format("it holds %llu bytes, fewer than its 0x%zX-byte header",
                                static_cast<unsigned long long>(seen_), header_end);
        if (seen_ > image_ && seen_ < image_ + padding_)
            return text::format("it ends %llu bytes into its %llu bytes of padding",
                                static_cast<unsigned long long>(seen_ - image_),
                                static_cast<unsigned long long>(padding_));
        return rest_->finish();
    }

private:
    const Header wanted_;
    std::unique_ptr<FileCheck> rest_;
    const uint64_t image_, padding_;
    uint64_t seen_ = 0;
    std::string fault_;
};

std::unique_ptr<FileCheck> check_mbi(const Contents& c, const Expected&) {
    return std::make_unique<MbiCheck>(c);
}

const char* const cannot_read = "cannot read it as an NXP master boot image: ";

// The header's type, length and CRC, each refused when it is not right.
void refuse_damaged(const std::vector<uint8_t>& bytes) {
    const std::string cannot = cannot_read;
    if (bytes.size() < header_end)
        throw Refusal{cannot + text::format("%zu bytes, fewer than its 0x%zX-byte header",
                                            bytes.size(), header_end)};
    const uint32_t type = word_at(bytes.data(), type_at),
                   length = word_at(bytes.data(), length_at);
    if (type != crc_xip_image) {
        // Another file given this name by mistake is named as what it is.
        const Format* other = by_content(bytes.data(), bytes.size());
        throw Refusal{cannot + (other ? std::string("it is ") + other->a_file +
                                            " by its first bytes, and "
                                      : std::string()) +
                      text::format("its image type at 0x24 is 0x%X, not 0x%X "
                                   "(a plain-CRC image run in place)",
                                   type, crc_xip_image)};
    }
    if (length != bytes.size())
        throw Refusal{cannot + text::format("its image length at 0x20 is %u, but the "
                                            "file holds %zu bytes",
                                            length, bytes.size())};
    const uint32_t held = word_at(bytes.data(), crc_at), computed = crc_of(bytes);
    if (held != computed)
        throw Refusal{cannot + text::format("its CRC at 0x28 is 0x%08X, but its other "
                                            "bytes have CRC-32/MPEG-2 0x%08X: the file "
                                            "is damaged",
                                            held, computed)};
}

// The header checked; then the image as flash holds it, the header's
// words in place: a bootloader's master boot image merged into another
// run's files must keep them for the ROM to boot it, and CHECK --elf
// takes them apart from the build's bytes (filled_in_mbi).
std::vector<uint8_t> unwrap_mbi(std::vector<uint8_t> bytes) {
    refuse_damaged(bytes);
    return bytes;
}

// The ROM runs the image at the address its header names: a file placed
// elsewhere is not the image of the build there.
void refuse_placed_mbi(const std::vector<uint8_t>& bytes, uint64_t base) {
    refuse_damaged(bytes);
    const uint32_t held = word_at(bytes.data(), address_at);
    if (held != base)
        throw Refusal{std::string(cannot_read) +
                      text::format("its execution address at 0x34 is %s, but it is "
                                   "placed at %s",
                                   text::address(held).c_str(),
                                   text::address(base).c_str())};
}

// The header's words as the file holds them, checked above: the build's
// own words there, when it holds any, are what FLASH --force wrote over.
// And the padding to a whole word, zeros.
uint64_t filled_in_mbi(uint64_t from, uint64_t to, const layout::MemoryMap& held,
                       layout::MemoryMap& expected) {
    if (to - from < header_end) return to;
    for (size_t at : filled_words) {
        uint8_t word[word_size];
        if (held.read(from + at, word, sizeof word) == sizeof word)
            expected.overlay(from + at, word, sizeof word);
    }
    const uint8_t padding[word_size] = {};
    const uint64_t size = padding_of(to - from);
    expected.overlay(to, padding, size);
    return to + size;
}

}  // namespace

std::string nxp_mbi_overwrites(const Request& request, const layout::MemoryMap& memory,
                               uint64_t from) {
    if (!asked(nxp_mbi_file, request)) return {};
    for (size_t at : filled_words) {
        bool held = false;
        memory.walk(from + at, from + at + word_size,
                    [&held](const uint8_t* bytes, uint64_t size) {
                        for (uint64_t i = 0; bytes && i < size; ++i)
                            held = held || bytes[i] != 0;
                    });
        if (!held) continue;
        uint8_t word[word_size];
        memory.read(from + at, word, sizeof word);
        return text::format(
            "%s fills in the image's length, type, CRC and address at 0x20, 0x24, 0x28 "
            "and 0x34 of the image, and the build holds 0x%08X at %s: an LPC55S/MCX "
            "build leaves those reserved vector entries 0",
            request.asker.turned_on(Option::nxp_mbi).c_str(), word_at(word, 0),
            text::address(from + at).c_str());
    }
    return {};
}

void refuse_nxp_mbi(const Request& request, const records::Plan& plan, uint64_t from,
                    uint64_t to, uint64_t entry) {
    if (!asked(nxp_mbi_file, request)) return;
    const std::string option = request.asker.turned_on(Option::nxp_mbi);
    // MCUboot boots a signed slot by its own header and hash: the ROM's
    // words at the slot's 0x20 would break them.
    if (request.mcuboot)
        throw Refusal{option + " and " + request.asker.name(Option::mcuboot) +
                      ": an MCUboot slot is checked by MCUboot, not by the NXP boot "
                      "ROM's CRC; ask for the master boot image of the bootloader's "
                      "build"};
    // An ESP32 app image's run may store no record: there is no image.
    if (from >= to)
        throw Refusal{option + ": this run stores no record, so there is no checksummed "
                               "image to make a master boot image of; give a record"};
    if (to - from < header_end)
        throw Refusal{text::format(
            "%s: the image %s-%s is 0x%llX bytes, shorter than the 0x%zX bytes an NXP "
            "master boot image's header needs",
            option.c_str(), text::address(from).c_str(), text::address(to).c_str(),
            static_cast<unsigned long long>(to - from), header_end)};
    // The ROM starts the image from its vector table, which the image with
    // the reset handler holds: the records' image far from it (a
    // calibration block) would have its own bytes written over.
    const uint64_t reset = entry & ~uint64_t{1};
    if (entry && (reset < from || reset >= to) && !request.force)
        throw Refusal{option + ": the image " + text::address(from) + "-" +
                      text::address(to) + " does not hold the build's entry point " +
                      text::address(entry) +
                      ": the boot ROM starts a master boot image from its vector table; give "
                      "the image that holds it a record (" +
                      request.asker.turned_on(Option::force) + " writes it anyway)"};
    const uint64_t words = from + header_from, words_end = from + header_end;
    for (const records::Planned& p : plan.records) {
        const records::Record& r = p.record;
        const bool holds = r.slot < words_end && words < r.slot_end();
        const bool reads = r.reads_bytes() && r.range.overlaps(words, words_end);
        if (holds || reads)
            throw Refusal{r.label + (holds ? " is stored in" : " covers") + " " +
                          text::address(words) + "-" + text::address(words_end) +
                          ", the words " + option +
                          " fills in after every record (the image's length, type, CRC "
                          "and address): leave them out of its range (--exclude " +
                          text::address(words) + "-" + text::address(words_end) + ")"};
    }
}

void refuse_nxp_mbi_stamp(const Request& request, const std::string& named, uint64_t address,
                          uint64_t size, uint64_t from) {
    if (!asked(nxp_mbi_file, request)) return;
    for (size_t at : filled_words)
        if (address < from + at + 4 && from + at < address + size)
            throw Refusal{named + " lies in the header words " +
                          request.asker.turned_on(Option::nxp_mbi) +
                          " writes over (the image's length, type and CRC at " +
                          text::address(from + length_at) + "-" +
                          text::address(from + crc_at + 4) + ", its address at " +
                          text::address(from + address_at) +
                          "): the master boot image would not hold it"};
}

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of, refuse_asked,
// self_checked, refuse_placed, filled_in: formats.h says each.
const Format nxp_mbi_file = {
    "NXP master boot image", "an NXP master boot image", "mbi", ".mbi.bin", mbi_endings,
    /* needs_base */ true, /* family */ false, /* build */ false, /* text */ false,
    /* container */ true, /* every_run */ false, /* merged */ false, /* page */ 0,
    nullptr, nullptr, unwrap_mbi, write_mbi, always, check_mbi, "--nxp-mbi", nullptr,
    nullptr, /* self_checked */ false, refuse_placed_mbi, filled_in_mbi,
};

}  // namespace velk::formats
