// The nRF5 SDK bootloader's settings page as a table of fields, and what
// makes one: --nrf-settings' value read, an image's CRC-32 and SHA-256, the
// page's bytes. Shared by the row that writes it and CHECK, which reads it.
#pragma once

#include <string>
#include <vector>

#include "../base/byte_order.h"
#include "../checksum/crc.h"
#include "../checksum/method.h"
#include "../layout/memory_map.h"
#include "../request/request.h"
#include "../run/crypto.h"

namespace velk::formats::nrf {

// The families nrfutil 6.1.7's --family names, where their settings page
// is (the last page of their flash), and the nRF52833, whose 512 KiB put it
// where the nRF52832's is. The backup page is the page below.
struct Family {
    const char* name;
    uint64_t settings;
};
constexpr Family families[] = {
    {"nrf51", 0x3FC00},    {"nrf52", 0x7F000},    {"nrf52832", 0x7F000},
    {"nrf52qfab", 0x3F000}, {"nrf52810", 0x2F000}, {"nrf52833", 0x7F000},
    {"nrf52840", 0xFF000},
};
constexpr uint64_t backup_below = 0x1000;
constexpr uint64_t flash_page = 0x1000;

// Where the SoftDevice starts: after the MBR's page.
constexpr uint64_t softdevice_start = 0x1000;
// The SoftDevice's information structure: its magic number, and the word
// after it, the SoftDevice's end, where the application starts.
constexpr uint64_t softdevice_magic_at = 0x3004, softdevice_end_at = 0x3008;
constexpr uint32_t softdevice_magic = 0x51B1E5DB;
// Where flash ends and the UICR and FICR begin.
constexpr uint64_t uicr_start = 0x10000000;
// UICR's BOOTLOADERADDR: where a merged bootloader starts.
constexpr uint64_t bootloader_address_at = 0x10001014;

// The page's fields, each little-endian, as nrf_dfu_types.h lays them out;
// written and checked by this table.
struct Field {
    const char* name;
    size_t at, width;
};
enum Slot {
    f_crc, f_version, f_app_version, f_bl_version, f_bank_layout, f_bank_current,
    f_app_size, f_app_crc, f_bank_code, f_sd_size, f_validation_crc,
    f_sd_validation, f_app_validation, f_bl_validation, slots
};
// clang-format off
constexpr Field fields[slots] = {
    {"the settings' CRC", 0x00, 4},        {"the settings version", 0x04, 4},
    {"the application version", 0x08, 4}, {"the bootloader version", 0x0C, 4},
    {"the bank layout", 0x10, 4},          {"the current bank", 0x14, 4},
    {"bank 0's image size", 0x18, 4},      {"bank 0's image CRC", 0x1C, 4},
    {"bank 0's bank code", 0x20, 4},       {"the SoftDevice size", 0x34, 4},
    {"the boot validation CRC", 0x25C, 4},
    {"the SoftDevice's boot validation", 0x260, 65},
    {"the application's boot validation", 0x2A1, 65},
    {"the bootloader's boot validation", 0x2E2, 65},
};
// clang-format on
// The settings' CRC covers the version 1 fields after it; the boot
// validation CRC the three entries. Version 2's page ends in one erased
// byte, which makes it whole words.
constexpr size_t settings_crc_from = 0x04, v1_size = 0x5C;
constexpr size_t validation_from = 0x260, validation_to = 0x323, v2_size = 0x324;
constexpr uint32_t valid_app = 1;  // bank 0 holds a valid application

// A boot-validation entry: its type, then its value.
enum class Validation : uint8_t { none = 0, crc = 1, sha256 = 2, ecdsa = 3 };
constexpr const char* validation_words[] = {"none", "crc", "sha256"};

constexpr auto little = bytes::Order::little;

const checksum::Crc& zlib_crc();

inline size_t page_size(uint32_t version) {
    return version == 1 ? v1_size : v2_size;
}

// --nrf-settings' value, read.
struct Asked {
    const Family* family = nullptr;
    uint32_t version = 0, app_version = 0, bl_version = 0;
    std::optional<std::string> softdevice;
    Validation app = Validation::none, sd = Validation::none;
};

// --nrf-settings' value: FLASH's whole one, or (`family_alone`) CHECK's
// family. Refuses, in one line, what cannot be.
Asked read_asked(const Request& request, bool family_alone);

// An image whose CRC-32 and SHA-256 the page holds: where it starts, its
// size, and what it gives.
struct Image {
    uint64_t from = 0, size = 0;
    uint32_t crc = 0;
    crypto::Bytes sha256;
};

// The CRC-32 and, when `sha`, the SHA-256 of [from, to) of `memory`.
Image image_of(const layout::MemoryMap& memory, uint64_t from, uint64_t to, bool sha,
               const checksum::DigestSource* sha256);

inline void put(std::vector<uint8_t>& page, Slot s, uint64_t value) {
    bytes::store(page.data() + fields[s].at, fields[s].width, little, value);
}

inline uint32_t get(const std::vector<uint8_t>& page, Slot s) {
    return uint32_t(bytes::load(page.data() + fields[s].at, 4, little));
}

// The page's bytes for the images `app` and `sd` (none: size 0), its CRCs
// computed last.
std::vector<uint8_t> page_of(const Asked& a, const Image& app, const Image& sd);

}  // namespace velk::formats::nrf
