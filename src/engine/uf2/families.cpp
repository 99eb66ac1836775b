// The chip families a UF2 file can name, and their names on the command line.
#include <cstring>

#include "../base/closest.h"
#include "../numbers/numbers.h"
#include "uf2.h"

namespace velk::uf2 {

namespace {

// Each family's usual short name in lower case, "_" written "-", and the ID
// its bootloaders check; vendors' names grouped together.
constexpr Family family_rows[] = {
    {"rp2040", 0xE48BFF56, "Raspberry Pi RP2040"},
    {"rp2350-arm-s", 0xE48BFF59, "Raspberry Pi RP2350, Secure Arm image"},
    {"rp2350-riscv", 0xE48BFF5A, "Raspberry Pi RP2350, RISC-V image"},
    {"rp2350-arm-ns", 0xE48BFF5B, "Raspberry Pi RP2350, Non-secure Arm image"},
    {"rp2xxx-absolute", 0xE48BFF57,
     "Raspberry Pi microcontrollers, absolute (unpartitioned) download"},
    {"rp2xxx-data", 0xE48BFF58, "Raspberry Pi microcontrollers, data partition download"},
    {"nrf52840", 0xADA52840, "Nordic nRF52840"},
    {"nrf52833", 0x621E937A, "Nordic nRF52833"},
    {"nrf52", 0x1B57745F, "Nordic nRF52"},
    {"samd21", 0x68ED2B88, "Microchip (Atmel) SAMD21"},
    {"samd51", 0x55114460, "Microchip (Atmel) SAMD51"},
    {"saml21", 0x1851780A, "Microchip (Atmel) SAML21"},
    {"stm32f0", 0x647824B6, "ST STM32F0xx"},
    {"stm32f1", 0x5EE21072, "ST STM32F103"},
    {"stm32f2", 0x5D1A0A2E, "ST STM32F2xx"},
    {"stm32f3", 0x6B846188, "ST STM32F3xx"},
    {"stm32f4", 0x57755A57, "ST STM32F4xx"},
    {"stm32f407", 0x6D0922FA, "ST STM32F407"},
    {"stm32f407vg", 0x8FB060FE, "ST STM32F407VG"},
    {"stm32f7", 0x53B80F00, "ST STM32F7xx"},
    {"stm32g0", 0x300F5633, "ST STM32G0xx"},
    {"stm32g4", 0x4C71240A, "ST STM32G4xx"},
    {"stm32h7", 0x6DB66082, "ST STM32H7xx"},
    {"stm32l0", 0x202E3A91, "ST STM32L0xx"},
    {"stm32l1", 0x1E1F432D, "ST STM32L1xx"},
    {"stm32l4", 0x00FF6919, "ST STM32L4xx"},
    {"stm32l5", 0x04240BDF, "ST STM32L5xx"},
    {"stm32wb", 0x70D16653, "ST STM32WBxx"},
    {"stm32wl", 0x21460FF0, "ST STM32WLxx"},
    {"esp32", 0x1C5F21B0, "Espressif ESP32"},
    {"esp32s2", 0xBFDD4EEE, "Espressif ESP32-S2"},
    {"esp32s3", 0xC47E5767, "Espressif ESP32-S3"},
    {"esp32c3", 0xD42BA06C, "Espressif ESP32-C3"},
    {"esp32c6", 0x540DDF62, "Espressif ESP32-C6"},
    {"esp32h2", 0x332726F6, "Espressif ESP32-H2"},
    {"mimxrt10xx", 0x4FB2D5BD, "NXP i.MX RT10xx"},
    {"lpc55", 0x2ABC77EC, "NXP LPC55xx"},
};

// Other names for a family: the one its users say.
struct Alias {
    const char* name;
    const char* family;
};
constexpr Alias aliases[] = {
    {"rp2350", "rp2350-arm-s"},  // what the boot ROM boots
};

// `given` is `name`, case ignored and "_" taken for "-".
bool is_name(std::string_view given, const char* name) {
    if (given.size() != std::strlen(name)) return false;
    for (size_t i = 0; i < given.size(); ++i) {
        char c = given[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '_') c = '-';
        if (c != name[i]) return false;
    }
    return true;
}

const Family* family_named(std::string_view given) {
    for (const Family& family : family_rows)
        if (is_name(given, family.name)) return &family;
    for (const Alias& alias : aliases)
        if (is_name(given, alias.name)) return family_named(alias.family);
    return nullptr;
}

// "0x" and 1 to 8 hex digits.
bool parse_id(std::string_view text, uint32_t& id) {
    uint64_t value = 0;
    if (text.size() > 10 || !numbers::read_hex_address(text, value)) return false;
    id = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

FamilyTable families() {
    return {family_rows, sizeof family_rows / sizeof family_rows[0]};
}

FamilyChoice find_family(std::string_view name) {
    FamilyChoice choice;
    if (const Family* family = family_named(name)) {
        choice = {true, family->id, family};
    } else if (parse_id(name, choice.id)) {
        choice.found = true;
        choice.family = family_of(choice.id);
    }
    return choice;
}

const Family* family_of(uint32_t id) {
    for (const Family& family : family_rows)
        if (family.id == id) return &family;
    return nullptr;
}

std::vector<std::string> nearest_families(std::string_view name) {
    std::string wanted;
    for (char c : name)
        wanted += c == '_' ? '-' : c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    std::vector<std::string> names;
    for (const Family& family : family_rows) names.emplace_back(family.name);
    for (const Alias& alias : aliases) names.emplace_back(alias.name);
    return base::closest_names(wanted, names);
}

}  // namespace velk::uf2
