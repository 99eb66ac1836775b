// An NXP LPC55S/MCX master boot image, the plain-CRC kind the boot ROM
// runs in place: the raw binary with four of the vector table's reserved
// words filled in, the image's length at 0x20, its type at 0x24 (a CRC
// image run in place, TrustZone set up by the image itself), the
// CRC-32/MPEG-2 of every other byte at 0x28 and the address it runs at at
// 0x34. The ROM refuses to boot it when the CRC does not match.
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
    put_word(head.data(), length_at, size);
    put_word(head.data(), type_at, crc_xip_image);
    put_word(head.data(), crc_at, 0);
    put_word(head.data(), address_at, c.from);
    CrcTail tail(header_crc(head.data()));
    layout::copy_range(*c.memory, c.from + header_end, c.to, tail);
    put_word(head.data(), crc_at, tail.crc());
    return head;
}

void write_mbi(const Contents& c, const std::string&, outfile::Sink& sink) {
    Header head = header_of(c);
    sink.take(head.data(), head.size());
    layout::copy_range(*c.memory, c.from + header_end, c.to, sink);
}

// What FLASH wrote against the header made again from the run's memory,
// and the rest against the image itself.
class MbiCheck final : public FileCheck {
public:
    explicit MbiCheck(const Contents& c)
        : wanted_(header_of(c)),
          rest_(binary_check(*c.memory, c.from + header_end, c.to)) {}
    void take(const uint8_t* data, size_t size) override {
        while (size && seen_ < header_end) {
            if (fault_.empty() && *data != wanted_[seen_])
                fault_ = text::format("its byte at offset 0x%zX is 0x%02X, not 0x%02X",
                                      seen_, *data, wanted_[seen_]);
            ++seen_, ++data, --size;
        }
        if (size) rest_->take(data, size);
    }
    std::string finish() override {
        if (!fault_.empty()) return fault_;
        if (seen_ < header_end)
            return text::format("it holds %zu bytes, fewer than its 0x%zX-byte header",
                                seen_, header_end);
        return rest_->finish();
    }

private:
    const Header wanted_;
    std::unique_ptr<FileCheck> rest_;
    size_t seen_ = 0;
    std::string fault_;
};

std::unique_ptr<FileCheck> check_mbi(const Contents& c, const Expected&) {
    return std::make_unique<MbiCheck>(c);
}

// CHECK: the header's type, length and CRC; then the image as the build
// holds it, the words filled in set back to the zeros of the vector table's
// reserved entries they fill.
std::vector<uint8_t> unwrap_mbi(std::vector<uint8_t> bytes) {
    const std::string cannot = "cannot read it as an NXP master boot image: ";
    if (bytes.size() < header_end)
        throw Refusal{cannot + text::format("%zu bytes, fewer than its 0x%zX-byte header",
                                            bytes.size(), header_end)};
    const uint32_t type = word_at(bytes.data(), type_at),
                   length = word_at(bytes.data(), length_at);
    if (type != crc_xip_image)
        throw Refusal{cannot + text::format("its image type at 0x24 is 0x%X, not 0x%X "
                                            "(a plain-CRC image run in place)",
                                            type, crc_xip_image)};
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
    for (size_t at : {length_at, type_at, crc_at, address_at})
        put_word(bytes.data(), at, 0);
    return bytes;
}

}  // namespace

std::string nxp_mbi_overwrites(const Request& request, const layout::MemoryMap& memory,
                               uint64_t from) {
    if (!asked(nxp_mbi_file, request)) return {};
    for (size_t at : {length_at, type_at, crc_at, address_at}) {
        bool held = false;
        memory.walk(from + at, from + at + 4,
                    [&held](const uint8_t* bytes, uint64_t size) {
                        for (uint64_t i = 0; bytes && i < size; ++i)
                            held = held || bytes[i] != 0;
                    });
        if (!held) continue;
        uint8_t word[4];
        memory.read(from + at, word, 4);
        return text::format(
            "%s fills in the image's length, type, CRC and address at 0x20, 0x24, 0x28 "
            "and "
            "0x34 of the image, and the build holds 0x%08X at %s: an LPC55S/MCX build "
            "leaves those reserved vector entries 0",
            request.asker.turned_on(Option::nxp_mbi).c_str(), word_at(word, 0),
            text::address(from + at).c_str());
    }
    return {};
}

void refuse_nxp_mbi(const Request& request, const records::Plan& plan, uint64_t from,
                    uint64_t to) {
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
                          "and address): leave them out of its range"};
    }
}

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of, refuse_asked:
// formats.h says each.
const Format nxp_mbi_file = {
    "NXP master boot image", "an NXP master boot image", "mbi", ".mbi.bin", mbi_endings,
    /* needs_base */ true, /* family */ false, /* build */ false, /* text */ false,
    /* container */ true, /* every_run */ false, /* merged */ false, /* page */ 0,
    nullptr, nullptr, unwrap_mbi, write_mbi, always, check_mbi, "--nxp-mbi", nullptr,
};

}  // namespace velk::formats
