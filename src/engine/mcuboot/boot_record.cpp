#include "boot_record.h"

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

}  // namespace

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
