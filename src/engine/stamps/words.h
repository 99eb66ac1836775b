// What the stamps' words and the devices' values share: how serials and
// MACs read and print, and how a value becomes a place's bytes.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "../base/byte_order.h"
#include "../values/values.h"
#include "stamps.h"

namespace velk::stamps {

// Throws the refusal "<word as typed>: <what>".
[[noreturn]] void refuse(const StampWord& word, const std::string& what);

// Decimal digits, or 0x and hex digits, nothing else; how it was written
// (base, case, digits) for the ids that count on from it.
bool read_serial_number(const std::string& text, uint64_t& value, bool& hex, bool& lower,
                        size_t& digits);
// `value` written as the stamp's first serial was: 0x00A0 -> 0x00A1.
std::string serial_text(const Stamp& stamp, uint64_t value);

// 6 two-digit hex fields between ':' or '-' (one of them throughout), the
// first field the most significant.
bool read_mac(const std::string& text, uint64_t& mac);
// Lower-case fields between `separator`s, or none with '\0'.
std::string mac_text(uint64_t mac, char separator);
constexpr uint64_t last_mac = 0xFFFFFFFFFFFF;

// A number in `width` bytes; whether it fits them.
std::vector<uint8_t> number_bytes(uint64_t value, uint64_t width, bool big_endian);
bool fits(uint64_t value, uint64_t width);
// "the place's 4 bytes"
std::string places_bytes(uint64_t width);

// Text in `width` bytes (it fits), padded with 0x00.
std::vector<uint8_t> text_bytes(const std::string& text, uint64_t width);

// A blob of exactly `width` bytes: 0, an error number, or -1 when the file
// is shorter; and the refusal's words for a failure.
int read_blob(const std::string& path, uint64_t width, std::vector<uint8_t>& out);
std::string blob_refusal(const std::string& path, uint64_t width, int error);

}  // namespace velk::stamps
