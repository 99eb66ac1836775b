// The ESP32 chips esptool 5.6 makes app images for, with their header
// codes and flash buses, and --esp32's value read against them.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

#include "esp32_image.h"

namespace velk::formats::esp32 {

namespace {

constexpr uint16_t em_xtensa = 94, em_riscv = 243;

// Each chip's flash clocks as esptool 5.6 codes them: the C6 codes 80m as
// 0 as it does 40m, its flash running at 80 MHz either way.
constexpr Clock common_clocks[] = {
    {"80m", 0xF}, {"40m", 0x0}, {"26m", 0x1}, {"20m", 0x2}};
constexpr Clock c2_clocks[] = {{"60m", 0xF}, {"30m", 0x0}, {"20m", 0x1}, {"15m", 0x2}};
constexpr Clock c6_clocks[] = {{"80m", 0x0}, {"40m", 0x0}, {"20m", 0x2}};
constexpr Clock h2_clocks[] = {{"48m", 0xF}, {"24m", 0x0}, {"16m", 0x1}, {"12m", 0x2}};

#define VELK_CLOCKS(list) list, sizeof(list) / sizeof(list[0])
// The chips, with the buses esptool 5.6 takes for flash-mapped (checked by
// where its images pad), code first.
constexpr Chip chip_rows[] = {
    {"esp32",
     0,
     em_xtensa,
     {0x400D0000, 0x40400000},
     {0x3F400000, 0x3F800000},
     VELK_CLOCKS(common_clocks),
     "40m"},
    {"esp32s2",
     2,
     em_xtensa,
     {0x40080000, 0x40B80000},
     {0x3F000000, 0x3F3F0000},
     VELK_CLOCKS(common_clocks),
     "40m"},
    {"esp32s3",
     9,
     em_xtensa,
     {0x42000000, 0x44000000},
     {0x3C000000, 0x3E000000},
     VELK_CLOCKS(common_clocks),
     "40m"},
    {"esp32c2",
     12,
     em_riscv,
     {0x42000000, 0x42400000},
     {0x3C000000, 0x3C400000},
     VELK_CLOCKS(c2_clocks),
     "30m"},
    {"esp32c3",
     5,
     em_riscv,
     {0x42000000, 0x42800000},
     {0x3C000000, 0x3C800000},
     VELK_CLOCKS(common_clocks),
     "40m"},
    {"esp32c6",
     13,
     em_riscv,
     {0x42000000, 0x42800000},
     {0x42800000, 0x43000000},
     VELK_CLOCKS(c6_clocks),
     "80m"},
    {"esp32h2",
     16,
     em_riscv,
     {0x42000000, 0x42800000},
     {0x42800000, 0x43000000},
     VELK_CLOCKS(h2_clocks),
     "24m"},
};
#undef VELK_CLOCKS

constexpr const char* modes[] = {"qio", "qout", "dio", "dout"};
constexpr const char* sizes[] = {"1MB",  "2MB",  "4MB",  "8MB",
                                 "16MB", "32MB", "64MB", "128MB"};

bool equal_folded(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

template <class T, size_t N>
std::string listed(const T (&words)[N]) {
    std::string out;
    for (const T& w : words) out += (out.empty() ? "" : ", ") + std::string(w);
    return out;
}

std::optional<uint64_t> number_of(const std::string& text, int base) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    size_t at = 0;
    if (base == 0 && text.size() > 2 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X'))
        at = 2, base = 16;
    else if (base == 0)
        base = 10;
    uint64_t value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : std::isxdigit(static_cast<unsigned char>(c))
                        ? std::tolower(c) - 'a' + 10
                        : 99;
        if (digit >= base) return std::nullopt;
        value = value * uint64_t(base) + uint64_t(digit);
    }
    return value;
}

// A chip as esptool's --chip takes it: in any case, with or without its
// dash (ESP32-C3).
const Chip* chip_named(std::string name) {
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    for (const Chip& c : chip_rows)
        if (equal_folded(name, c.name)) return &c;
    return nullptr;
}

// A setting by its name here or by esptool's option for it, as esptool 5
// spells them (flash-mode for --flash-mode, min-rev-full for min_rev).
std::string setting_named(std::string key) {
    std::replace(key.begin(), key.end(), '-', '_');
    return key == "min_rev_full" ? "min_rev" : key;
}

}  // namespace

std::string chip_names() {
    std::string out;
    for (const Chip& c : chip_rows)
        out += (out.empty() ? "" : ", ") + std::string(c.name);
    return out;
}

std::string clock_names(const Chip& chip) {
    std::string out;
    for (size_t i = 0; i < chip.clock_count; ++i)
        out += (out.empty() ? "" : ", ") + std::string(chip.clocks[i].name);
    return out;
}

std::string mode_names() {
    return listed(modes);
}

std::string size_names() {
    return listed(sizes);
}

const Chip* chip_by_id(uint16_t id) {
    for (const Chip& c : chip_rows)
        if (c.id == id) return &c;
    return nullptr;
}

bool is_mode(uint8_t code) {
    return code < std::size(modes);
}

bool is_size(uint8_t code) {
    return code < std::size(sizes);
}

const Chip* chips_begin() {
    return std::begin(chip_rows);
}
const Chip* chips_end() {
    return std::end(chip_rows);
}

std::variant<Settings, std::string> settings_of(const std::string& text) {
    Settings s;
    std::optional<std::string> clock;
    std::vector<std::string> seen;
    size_t from = 0;
    while (from <= text.size()) {
        size_t comma = text.find(',', from);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(from, comma - from);
        from = comma + 1;
        const size_t eq = item.find('=');
        if (eq == std::string::npos)
            return "'" + item + "' is no <setting>=<value> (" +
                   (chip_named(item) ? "the chip is chip=" + item
                                     : "chip=esp32c3,flash_mode=dio,...") +
                   ")";
        const std::string key = setting_named(item.substr(0, eq)),
                          value = item.substr(eq + 1);
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            return key + "= is given twice";
        seen.push_back(key);
        if (key == "chip") {
            s.chip = chip_named(value);
            if (!s.chip) return "no such chip '" + value + "' (" + chip_names() + ")";
        } else if (key == "flash_mode") {
            size_t i = 0;
            while (i < 4 && !equal_folded(value, modes[i])) ++i;
            if (i == 4)
                return "no such flash_mode '" + value + "' (" + listed(modes) + ")";
            s.mode = uint8_t(i);
        } else if (key == "flash_size") {
            size_t i = 0;
            while (i < 8 && !equal_folded(value, sizes[i])) ++i;
            if (i == 8)
                return "no such flash_size '" + value + "' (" + listed(sizes) + ")";
            s.size_code = uint8_t(i);
        } else if (key == "flash_freq") {
            clock = value;
        } else if (key == "min_rev") {
            std::optional<uint64_t> n = number_of(value, 10);
            if (!n || *n > 0xFFFF)
                return "min_rev=" + value +
                       " is no chip revision major * 100 + minor, 0 to 65535, in decimal";
            s.min_rev_full = uint16_t(*n);
        } else if (key == "elf_sha256_offset") {
            std::optional<uint64_t> n = number_of(value, 0);
            if (!n || *n > 0xFFFFFFFF)
                return "elf_sha256_offset=" + value + " is no offset in the image file";
            s.elf_sha256_offset = *n;
        } else {
            return "no such setting '" + key +
                   "' (chip, flash_mode, flash_freq, flash_size, min_rev, "
                   "elf_sha256_offset)";
        }
    }
    if (!s.chip) return "chip=<name> is needed (" + chip_names() + ")";
    const std::string wanted = clock ? *clock : s.chip->default_clock;
    size_t i = 0;
    while (i < s.chip->clock_count && !equal_folded(wanted, s.chip->clocks[i].name)) ++i;
    if (i == s.chip->clock_count)
        return "no flash_freq '" + wanted + "' on the " + s.chip->name + " (" +
               clock_names(*s.chip) + ")";
    s.clock_code = s.chip->clocks[i].code;
    return s;
}

}  // namespace velk::formats::esp32
