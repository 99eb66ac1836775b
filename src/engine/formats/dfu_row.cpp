// A DFU file: the raw binary's bytes and the 16-byte suffix dfu-util's
// dfu-suffix appends, which names the USB device the image is for and ends
// in a CRC over everything before it. Like the raw binary it holds no
// addresses: it is placed where the device's DFU loader is told to write it.
#include <array>

#include "rows.h"

#include "../base/byte_order.h"
#include "../checksum/catalogue.h"
#include "../report/refusal.h"
#include "../report/text.h"

namespace velk::formats {

namespace {

const char* const dfu_endings[] = {".dfu", nullptr};

// The suffix's fields in file order, each little-endian: the device's
// release, product and vendor, the DFU release the suffix follows, the
// "UFD" signature, the suffix's length, and the CRC of every byte before
// the CRC itself. Written, checked as written and read back by this table.
struct Field {
    const char* name;
    unsigned width;
};
enum Slot { device, product, vendor, dfu_release, signature, length, crc, slots };
constexpr Field fields[slots] = {
    {"bcdDevice", 2}, {"idProduct", 2}, {"idVendor", 2}, {"bcdDFU", 2},
    {"ucDfuSignature", 3}, {"bLength", 1}, {"dwCRC", 4},
};
constexpr size_t suffix_size = 16;
// "UFD" as its three bytes read little-endian.
constexpr uint64_t dfu_signature = 'U' | 'F' << 8 | 'D' << 16;
constexpr uint64_t dfu_1_0 = 0x0100;
// A device's release when the run names none: any, as dfu-suffix writes it.
constexpr uint64_t any_release = 0xFFFF;

size_t offset_of(Slot slot) {
    size_t at = 0;
    for (int s = 0; s < slot; ++s) at += fields[s].width;
    return at;
}

using Suffix = std::array<uint8_t, suffix_size>;
using Values = std::array<uint64_t, slots>;

uint64_t field(const uint8_t* suffix, Slot slot) {
    return bytes::load(suffix + offset_of(slot), fields[slot].width, bytes::Order::little);
}

// The device's IDs the run asks for, <vid>:<pid>[:<bcd>], as the suffix's
// values before its CRC.
Values asked_values(const Request& request) {
    const std::vector<std::optional<uint64_t>>& ids = request.dfu->numbers;
    return {ids.size() > 2 ? *ids[2] : any_release, *ids[1], *ids[0], dfu_1_0,
            dfu_signature, suffix_size, 0};
}

void refuse_ids(const Request& request) {
    refuse_usb_ids(*request.dfu);
}

}  // namespace

const checksum::Crc& dfu_crc() {
    static const checksum::Crc crc(checksum::find("CRC-32/JAMCRC")->parameters);
    return crc;
}

void refuse_usb_ids(const HexFields& ids) {
    bool fit = ids.numbers.size() == 2 || ids.numbers.size() == 3;
    for (const std::optional<uint64_t>& id : ids.numbers) fit = fit && id && *id <= 0xFFFF;
    for (size_t digits : ids.digits) fit = fit && digits <= 4;
    if (!fit)
        throw Refusal{ids.word +
                      ": not <vid>:<pid>[:<bcd>], the device's USB vendor and product IDs "
                      "and its release, each 1 to 4 hex digits, as in 0483:df11"};
}

namespace {

// The suffix's bytes: its values, then the CRC of `reg` (the register
// after the bytes before the suffix) and the suffix's own bytes before it.
Suffix suffix_of(Values values, uint64_t reg) {
    Suffix out{};
    for (int s = 0; s < crc; ++s)
        bytes::store(out.data() + offset_of(Slot(s)), fields[s].width, bytes::Order::little,
                     values[s]);
    reg = dfu_crc().update(reg, out.data(), offset_of(crc), checksum::Feed::bytes);
    bytes::store(out.data() + offset_of(crc), fields[crc].width, bytes::Order::little,
                 dfu_crc().finish(reg));
    return out;
}

void write_dfu(const Contents& c, const std::string&, outfile::Sink& sink) {
    CrcTaking image(sink);
    layout::copy_range(*c.memory, c.from, c.to, image);
    const Suffix suffix = suffix_of(asked_values(*c.request), image.reg());
    sink.put(reinterpret_cast<const char*>(suffix.data()), suffix.size());
}

// What FLASH wrote: the raw binary's bytes, checked as a raw binary is,
// then the suffix, each field against what the run asked and the CRC
// against the bytes written before it.
class DfuCheck final : public FileCheck {
public:
    explicit DfuCheck(const Contents& c)
        : image_(binary_check(*c.memory, c.from, c.to)),
          image_size_(c.to - c.from),
          values_(asked_values(*c.request)),
          reg_(dfu_crc().start()) {}

    void take(const uint8_t* data, size_t size) override {
        const size_t in_image = size_t(std::min<uint64_t>(size, image_size_ - taken_));
        if (in_image) {
            image_->take(data, in_image);
            reg_ = dfu_crc().update(reg_, data, in_image, checksum::Feed::bytes);
            taken_ += in_image;
        }
        tail_.insert(tail_.end(), data + in_image, data + size);
    }

    std::string finish() override {
        std::string fault = image_->finish();
        if (!fault.empty()) return fault;
        if (tail_.size() != suffix_size)
            return text::format("it ends %zu bytes after the image, not %zu: its DFU suffix",
                                tail_.size(), suffix_size);
        const Suffix wanted = suffix_of(values_, reg_);
        for (int s = 0; s < slots; ++s) {
            const uint64_t found = field(tail_.data(), Slot(s));
            const uint64_t meant = field(wanted.data(), Slot(s));
            if (found != meant)
                return text::format("its DFU suffix's %s is 0x%llX, not 0x%llX", fields[s].name,
                                    static_cast<unsigned long long>(found),
                                    static_cast<unsigned long long>(meant));
        }
        return "";
    }

private:
    std::unique_ptr<FileCheck> image_;
    uint64_t image_size_, taken_ = 0;
    Values values_;
    uint64_t reg_;
    std::vector<uint8_t> tail_;
};

std::unique_ptr<FileCheck> check_dfu(const Contents& c, const Expected&) {
    return std::make_unique<DfuCheck>(c);
}

// CHECK: the suffix's length and CRC, then the image before it.
std::vector<uint8_t> unwrap_dfu(std::vector<uint8_t> bytes) {
    const std::string cannot = "cannot read it as a DFU file: ";
    if (bytes.size() < suffix_size)
        throw Refusal{cannot + text::format("%zu bytes, fewer than its %zu-byte suffix",
                                            bytes.size(), suffix_size)};
    const uint8_t* suffix = bytes.data() + bytes.size() - suffix_size;
    if (field(suffix, signature) != dfu_signature)
        throw Refusal{cannot + "it does not end in a DFU suffix (its " +
                      fields[signature].name + " is not \"UFD\")"};
    if (field(suffix, length) != suffix_size)
        throw Refusal{cannot + text::format("its suffix's length (%s) is %llu, not %zu",
                                            fields[length].name,
                                            static_cast<unsigned long long>(
                                                field(suffix, length)),
                                            suffix_size)};
    const size_t covered = bytes.size() - fields[crc].width;
    const uint64_t computed = dfu_crc().of(bytes.data(), covered);
    if (field(suffix, crc) != computed)
        throw Refusal{cannot + text::format(
                                   "its suffix's CRC (%s) is 0x%08llX, but the bytes before "
                                   "it have CRC-32/JAMCRC 0x%08llX: the file is damaged",
                                   fields[crc].name,
                                   static_cast<unsigned long long>(field(suffix, crc)),
                                   static_cast<unsigned long long>(computed))};
    bytes.resize(bytes.size() - suffix_size);
    return bytes;
}

}  // namespace

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of, refuse_asked:
// formats.h says each.
const Format dfu_file = {
    "DFU", "a DFU file", "dfu", ".dfu", dfu_endings,
    /* needs_base */ true, /* family */ false, /* build */ false, /* text */ false,
    /* container */ true, /* every_run */ false, /* merged */ true, /* page */ 0,
    nullptr, nullptr, unwrap_dfu, write_dfu, always, check_dfu, "--dfu <vid>:<pid>[:<bcd>]",
    nullptr, refuse_ids,
};

}  // namespace velk::formats
