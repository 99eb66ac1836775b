#include "boot_record.h"

#include "../report/text.h"

namespace velk::mcuboot {

namespace {

// The property keys of a software component, as attestation numbers them.
enum Property : uint8_t {
    sw_type_key = 1,
    measurement_value = 2,
    sw_version = 4,
    signer_id = 5,
    measurement_description = 6,
};

// CBOR's major types the record uses.
enum Major : uint8_t { unsigned_int = 0, byte_string = 2, text_string = 3, map = 5 };

// An item's head: its major type and its argument, in the shortest form.
void head(std::vector<uint8_t>& out, Major major, uint64_t argument) {
    const uint8_t type = static_cast<uint8_t>(major << 5);
    if (argument < 24) {
        out.push_back(static_cast<uint8_t>(type | argument));
        return;
    }
    unsigned width = argument <= 0xFF ? 1 : argument <= 0xFFFF ? 2 : argument <= 0xFFFFFFFF ? 4 : 8;
    const uint8_t extra = width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27;
    out.push_back(static_cast<uint8_t>(type | extra));
    for (unsigned i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(argument >> (8 * i)));
}

void text(std::vector<uint8_t>& out, const std::string& value) {
    head(out, text_string, value.size());
    out.insert(out.end(), value.begin(), value.end());
}

void bytes(std::vector<uint8_t>& out, const std::vector<uint8_t>& value) {
    head(out, byte_string, value.size());
    out.insert(out.end(), value.begin(), value.end());
}

// One item of the record's map, as read: a key, and a text, bytes or a
// number.
struct Item {
    uint64_t key;
    Major major;
    uint64_t number;            // unsigned_int
    std::vector<uint8_t> data;  // text_string, byte_string
};

// The definite-length items the record holds, read from its bytes.
class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    bool head(Major& major, uint64_t& argument) {
        if (at_ >= bytes_.size()) return false;
        const uint8_t first = bytes_[at_++];
        major = static_cast<Major>(first >> 5);
        const uint8_t low = first & 0x1F;
        if (low < 24) {
            argument = low;
            return true;
        }
        if (low > 27) return false;
        const unsigned width = 1u << (low - 24);
        if (bytes_.size() - at_ < width) return false;
        argument = 0;
        for (unsigned i = 0; i < width; ++i) argument = argument << 8 | bytes_[at_++];
        return true;
    }

    bool item(Item& out) {
        Major key_major;
        uint64_t key;
        if (!head(key_major, key) || key_major != unsigned_int) return false;
        out.key = key;
        uint64_t argument;
        if (!head(out.major, argument)) return false;
        if (out.major == unsigned_int) {
            out.number = argument;
            return true;
        }
        if ((out.major != text_string && out.major != byte_string) ||
            argument > bytes_.size() - at_)
            return false;
        out.data.assign(bytes_.begin() + static_cast<ptrdiff_t>(at_),
                        bytes_.begin() + static_cast<ptrdiff_t>(at_ + argument));
        at_ += argument;
        return true;
    }

    bool done() const { return at_ == bytes_.size(); }

private:
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
};

}  // namespace

std::vector<RecordFault> boot_record_faults(const std::vector<uint8_t>& record,
                                            const std::string& version,
                                            const std::vector<uint8_t>& signer,
                                            size_t digest_size) {
    const std::string shape =
        "a CBOR map of the software's properties that ends in its measurement, " +
        std::to_string(digest_size) + " bytes the bootloader writes the image's hash over";
    Reader reader(record);
    Major major;
    uint64_t count = 0;
    std::vector<Item> items;
    bool read = reader.head(major, count) && major == map && count <= record.size();
    for (uint64_t i = 0; read && i < count; ++i) {
        items.emplace_back();
        read = reader.item(items.back());
    }
    if (!read || !reader.done() || items.empty() || items.back().key != measurement_value ||
        items.back().major != byte_string || items.back().data.size() != digest_size)
        return {{"", record.size() > 16 ? text::hex(record.data(), 16) + "..."
                                        : text::hex(record),
                 shape}};
    std::vector<RecordFault> out;
    for (const Item& item : items) {
        if (item.key == sw_version && item.major == text_string &&
            std::string(item.data.begin(), item.data.end()) != version)
            out.push_back({"version", std::string(item.data.begin(), item.data.end()),
                           version + " (the header's)"});
        if (item.key == signer_id && item.major == byte_string && !signer.empty() &&
            item.data != signer)
            out.push_back({"signer", text::hex(item.data), text::hex(signer) + " (the key's hash)"});
    }
    return out;
}

size_t characters(const std::string& text) {
    size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++count;
    return count;
}

std::vector<uint8_t> boot_record(const std::string& sw_type, const std::string& version,
                                 const std::vector<uint8_t>& signer,
                                 const std::string& measured_by, size_t digest_size) {
    std::vector<uint8_t> out;
    head(out, map, 5);
    head(out, unsigned_int, sw_type_key);
    text(out, sw_type);
    head(out, unsigned_int, sw_version);
    text(out, version);
    head(out, unsigned_int, signer_id);
    bytes(out, signer);
    head(out, unsigned_int, measurement_description);
    text(out, measured_by);
    // Last: the bootloader writes the image's hash over these zeros.
    head(out, unsigned_int, measurement_value);
    bytes(out, std::vector<uint8_t>(digest_size, 0));
    return out;
}

}  // namespace velk::mcuboot
