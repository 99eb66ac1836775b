// The nRF5 SDK bootloader's settings page (nrf_dfu_settings_t), the
// <root>_CRC.settings.hex that `nrfutil settings generate` makes from the
// application's HEX: at the family's last flash page, the application's
// size and CRC-32 in bank 0 marked valid, the versions, the settings' own
// CRC-32 and, in settings version 2, the boot-validation entries with their
// CRC-32. The bootloader starts the application only when these match; a
// copy of the page at the page below is its backup, which the bootloader
// restores from when the page is found damaged.
#include <algorithm>
#include <array>
#include <cstring>

#include "nrf_settings.h"
#include "rows.h"

#include "../base/byte_order.h"
#include "../base/split.h"
#include "../checksum/catalogue.h"
#include "../hexfile/intel_hex.h"
#include "../inputs/image_file.h"
#include "../layout/flash_layout.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"
#include "../run/crypto.h"

namespace velk::formats {

// Named, not anonymous: its names share a unit with the other rows' when
// the engine is built as one.
namespace nrf {

const char* const settings_endings[] = {".settings.hex", nullptr};

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

const checksum::Crc& zlib_crc() {
    static const checksum::Crc crc(checksum::find("CRC-32/ISO-HDLC")->parameters);
    return crc;
}

size_t page_size(uint32_t version) {
    return version == 1 ? v1_size : v2_size;
}

// --nrf-settings' value, read.
struct Asked {
    const Family* family = nullptr;
    uint32_t version = 0, app_version = 0, bl_version = 0;
    std::optional<std::string> softdevice;
    Validation app = Validation::none, sd = Validation::none;
};

const Family* family_named(std::string name) {
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const Family& f : families)
        if (name == f.name) return &f;
    return nullptr;
}

std::string family_list() {
    std::string out;
    for (const Family& f : families) out += (out.empty() ? "" : ", ") + std::string(f.name);
    return out;
}

class Reader {
public:
    explicit Reader(const Request& r) : r_(r), option_(r.asker.name(Option::nrf_settings)) {}

    // FLASH's whole value, or (`family_alone`) CHECK's family.
    Asked read(bool family_alone) const {
        const std::string& value = *r_.nrf_settings;
        const std::vector<std::string> parts = base::split(value, ',');
        Asked a;
        a.family = family_named(parts.front());
        if (!a.family)
            refuse("\"" + parts.front() + "\" is no family nrfutil names (" + family_list() +
                   ")");
        if (family_alone) {
            if (parts.size() > 1)
                refuse("CHECK takes the family alone; the rest is read from the page");
            return a;
        }
        std::optional<Validation> app, sd;
        bool version = false, app_version = false, bl_version = false;
        for (size_t i = 1; i < parts.size(); ++i) {
            const std::string& p = parts[i];
            const size_t eq = p.find('=');
            const std::string key = p.substr(0, eq), v = eq == std::string::npos ? "" : p.substr(eq + 1);
            if (eq == std::string::npos || v.empty())
                refuse("\"" + p + "\" needs a value, as in " + key + "=1");
            if (key == "app-version")
                a.app_version = number(p, v), app_version = true;
            else if (key == "bl-version")
                a.bl_version = number(p, v), bl_version = true;
            else if (key == "bl-settings-version") {
                a.version = number(p, v), version = true;
                if (a.version != 1 && a.version != 2)
                    refuse("\"" + p + "\": the settings version is 1 (SDK 12.0 to 15.2) or 2 "
                           "(SDK 15.3 on)");
            } else if (key == "softdevice")
                a.softdevice = v;
            else if (key == "app-boot-validation")
                app = validation(p, v);
            else if (key == "sd-boot-validation")
                sd = validation(p, v);
            else
                refuse("unknown setting \"" + key + "\" (app-version, bl-version, "
                       "bl-settings-version, softdevice, app-boot-validation, "
                       "sd-boot-validation)");
        }
        if (!app_version || !bl_version || !version)
            refuse(std::string("needs ") + (!app_version ? "app-version=" : !bl_version ? "bl-version=" : "bl-settings-version=") +
                   ", as in " + a.family->name +
                   ",app-version=1,bl-version=1,bl-settings-version=2");
        if (a.version == 1 && (app || sd))
            refuse("settings version 1 holds no boot validation: leave out "
                   "app-boot-validation= and sd-boot-validation=");
        if (sd && *sd != Validation::none && !a.softdevice)
            refuse("sd-boot-validation= validates the SoftDevice: give it with softdevice=");
        // Version 2 validates the application, and a SoftDevice given, by
        // their CRC unless told otherwise, as nrfutil does.
        if (a.version == 2) {
            a.app = app.value_or(Validation::crc);
            a.sd = sd.value_or(a.softdevice ? Validation::crc : Validation::none);
        }
        return a;
    }

private:
    [[noreturn]] void refuse(const std::string& why) const {
        throw Refusal{option_ + " " + *r_.nrf_settings + ": " + why};
    }

    uint32_t number(const std::string& part, const std::string& v) const {
        const bool hex = v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
        uint64_t n = 0;
        const size_t from = hex ? 2 : 0;
        bool ok = v.size() > from && v.size() - from <= (hex ? 8 : 10);
        for (size_t i = from; ok && i < v.size(); ++i) {
            const char c = v[i];
            const int d = c >= '0' && c <= '9' ? c - '0'
                          : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                        : -1;
            ok = d >= 0;
            n = n * (hex ? 16 : 10) + uint64_t(d < 0 ? 0 : d);
        }
        if (!ok || n > 0xFFFFFFFF)
            refuse("\"" + part + "\" is no 32-bit number (decimal or 0x hex)");
        return uint32_t(n);
    }

    Validation validation(const std::string& part, const std::string& v) const {
        for (size_t i = 0; i < std::size(validation_words); ++i)
            if (v == validation_words[i]) return Validation(i);
        if (v == "ecdsa" || v == "ecdsa-p256-sha256")
            refuse("\"" + part + "\": an ECDSA boot validation needs nrfutil's signing key, "
                   "which FLASH does not take: use crc or sha256");
        refuse("\"" + part + "\": none, crc or sha256");
    }

    const Request& r_;
    std::string option_;
};

// An image whose CRC-32 and SHA-256 the page holds: where it starts, its
// size, and what it gives.
struct Image {
    uint64_t from = 0, size = 0;
    uint32_t crc = 0;
    crypto::Bytes sha256;
};

Image image_of(const layout::MemoryMap& memory, uint64_t from, uint64_t to, bool sha,
               const checksum::DigestSource* sha256) {
    Image out{from, to - from, 0, {}};
    uint64_t reg = zlib_crc().start();
    std::unique_ptr<crypto::Digest> digest = sha && sha256 && *sha256 ? (*sha256)() : nullptr;
    memory.feed(from, to, [&](const uint8_t* bytes, size_t size) {
        reg = zlib_crc().update(reg, bytes, size, checksum::Feed::bytes);
        if (digest) digest->update(bytes, size);
    });
    out.crc = uint32_t(zlib_crc().finish(reg));
    if (digest) out.sha256 = digest->finish();
    return out;
}

// Where an image's data starts and ends: its lowest byte and one past its
// highest, the holes between erased flash.
std::pair<uint64_t, uint64_t> extent(const layout::MemoryMap& memory) {
    return {memory.pieces().front().address, memory.end()};
}

// The SoftDevice, read from its HEX file: the bytes after the MBR's page,
// as nrfutil takes them.
Image softdevice_image(const std::string& path, bool sha,
                       const checksum::DigestSource* sha256) {
    try {
        ImageFile file = read_image(read_input(path), std::nullopt);
        const layout::MemoryMap memory = layout::spans_of(file.loadable, file.base);
        if (memory.empty() || memory.end() <= softdevice_start)
            throw Refusal{"no SoftDevice after the MBR's page at " +
                          text::address(softdevice_start)};
        if (memory.pieces().front().address > softdevice_start)
            throw Refusal{"a SoftDevice starts at " + text::address(softdevice_start) +
                          ", and this one's first byte is at " +
                          text::address(memory.pieces().front().address)};
        return image_of(memory, softdevice_start, memory.end(), sha, sha256);
    } catch (Refusal& refusal) {
        refusal.text = path + ": " + refusal.text;
        throw;
    }
}

void put(std::vector<uint8_t>& page, Slot s, uint64_t value) {
    bytes::store(page.data() + fields[s].at, fields[s].width, little, value);
}

uint32_t get(const std::vector<uint8_t>& page, Slot s) {
    return uint32_t(bytes::load(page.data() + fields[s].at, 4, little));
}

void put_validation(std::vector<uint8_t>& page, Slot s, Validation kind, const Image& image) {
    uint8_t* at = page.data() + fields[s].at;
    at[0] = uint8_t(kind);
    if (kind == Validation::crc) bytes::store(at + 1, 4, little, image.crc);
    if (kind == Validation::sha256)
        std::copy(image.sha256.begin(), image.sha256.end(), at + 1);
}

// The page's bytes, its CRCs computed last.
std::vector<uint8_t> page_of(const Asked& a, const Image& app, const Image& sd) {
    std::vector<uint8_t> page(page_size(a.version), 0);
    put(page, f_version, a.version);
    put(page, f_app_version, a.app_version);
    put(page, f_bl_version, a.bl_version);
    put(page, f_app_size, app.size);
    put(page, f_app_crc, app.crc);
    put(page, f_bank_code, valid_app);
    put(page, f_sd_size, sd.size);
    if (a.version == 2) {
        put_validation(page, f_sd_validation, a.sd, sd);
        put_validation(page, f_app_validation, a.app, app);
        page.back() = layout::erased;
        put(page, f_validation_crc,
            zlib_crc().of(page.data() + validation_from, validation_to - validation_from));
    }
    put(page, f_crc, zlib_crc().of(page.data() + settings_crc_from, v1_size - settings_crc_from));
    return page;
}

// The settings page and its backup as a map, made from the application's
// image.
layout::MemoryMap pages_of(const Request& request, const layout::MemoryMap& application,
                           const checksum::DigestSource* sha256) {
    const Asked a = Reader(request).read(false);
    const auto [from, to] = extent(application);
    const Image app = image_of(application, from, to, a.app == Validation::sha256, sha256);
    const Image sd = a.softdevice
                         ? softdevice_image(*a.softdevice, a.sd == Validation::sha256, sha256)
                         : Image{};
    const std::vector<uint8_t> page = page_of(a, app, sd);
    layout::MemoryMap pages;
    pages.append(a.family->settings - backup_below, page.data(), page.size());
    pages.append(a.family->settings, page.data(), page.size());
    return pages;
}

const layout::MemoryMap& application_of(const Contents& c) {
    return c.hex_memory ? *c.hex_memory : *c.memory;
}

class Text final : public layout::TextSink {
public:
    void put(const char* text, size_t size) override { out.append(text, size); }
    std::string out;
};

void write_settings(const Contents& c, const std::string&, outfile::Sink& sink) {
    hexfile::write_intel_hex(pages_of(*c.request, application_of(c), c.sha256), std::nullopt,
                             sink);
}

// What FLASH wrote against the text the application makes again.
class SettingsCheck final : public FileCheck {
public:
    explicit SettingsCheck(const Contents& c) {
        hexfile::write_intel_hex(pages_of(*c.request, application_of(c), c.sha256),
                                 std::nullopt, wanted_);
    }
    void take(const uint8_t* data, size_t size) override {
        got_.append(reinterpret_cast<const char*>(data), size);
    }
    std::string finish() override {
        if (got_ == wanted_.out) return "";
        const auto differ = std::mismatch(got_.begin(), got_.end(), wanted_.out.begin(),
                                          wanted_.out.end());
        return text::format("its text differs from the settings page's at character %zu",
                            size_t(differ.first - got_.begin()));
    }

private:
    Text wanted_;
    std::string got_;
};

std::unique_ptr<FileCheck> check_settings(const Contents& c, const Expected&) {
    return std::make_unique<SettingsCheck>(c);
}

Read read_settings(const std::vector<uint8_t>& bytes) {
    return intel_hex.read(bytes);
}

void refuse_value(const Request& request) {
    Reader(request).read(false);
}

// CHECK: where the application is in a file that holds the settings page:
// from the first byte after the SoftDevice its information structure names,
// or after the MBR's page, or the file's first byte; up to the bootloader
// UICR names, or the backup page, and never across a hole of a flash page
// or more (what lies beyond one is a bootloader merged without its UICR).
std::pair<uint64_t, uint64_t> application_in(const layout::MemoryMap& file,
                                             const Family& family) {
    uint8_t word[4];
    uint64_t low = 0;
    if (file.read(softdevice_magic_at, word, 4) == 4 && bytes::le32(word) == softdevice_magic &&
        file.read(softdevice_end_at, word, 4) == 4)
        low = bytes::le32(word);
    else if (!file.empty() && file.pieces().front().address < softdevice_start)
        low = softdevice_start;
    uint64_t high = family.settings - backup_below;
    if (file.read(bootloader_address_at, word, 4) == 4 && bytes::le32(word) > low &&
        bytes::le32(word) < high)
        high = bytes::le32(word);
    uint64_t from = high, to = high;
    for (const layout::Piece& p : file.pieces()) {
        if (p.end() <= low || p.address >= high) continue;
        if (from == high)
            from = std::max(p.address, low);
        else if (p.address - to >= flash_page)
            break;
        to = std::min(p.end(), high);
    }
    return {from, to};
}

std::string hex_word(uint64_t v) {
    return text::format("0x%08llX", static_cast<unsigned long long>(v));
}

}  // namespace nrf

void refuse_nrf_settings(const Request& request, const layout::MemoryMap& application) {
    using namespace nrf;
    if (!asked(nrf_settings_file, request) || application.empty()) return;
    const Asked a = Reader(request).read(false);
    const uint64_t low = a.family->settings - backup_below;
    const uint64_t high = a.family->settings + page_size(a.version);
    const auto [from, to] = extent(application);
    if (from < high && low < to)
        throw Refusal{text::format(
            "%s: the application %s-%s reaches into the %s bootloader settings at %s and "
            "their backup at %s",
            request.asker.name(Option::nrf_settings), text::address(from).c_str(),
            text::address(to).c_str(), a.family->name, text::address(a.family->settings).c_str(),
            text::address(low).c_str())};
}

void merge_nrf_settings(const Request& request, const layout::MemoryMap& application,
                        const checksum::DigestSource& sha256, Merged& merged) {
    using namespace nrf;
    if (!asked(nrf_settings_file, request)) return;
    const layout::MemoryMap pages = pages_of(request, application, &sha256);
    for (const layout::Piece& p : pages.pieces()) {
        uint8_t probe[v2_size];
        if (merged.memory.read(p.address, probe, p.size) != 0)
            throw Refusal{text::format(
                "%s and %s: a merged file already holds bytes in %s-%s, where the "
                "bootloader settings page (or its backup) goes",
                request.asker.name(Option::nrf_settings), request.asker.name(Option::merge),
                text::address(p.address).c_str(), text::address(p.end()).c_str())};
        merged.memory.overlay(p.address, p.bytes, p.size);
        merged.from = std::min(merged.from, p.address);
        merged.to = std::max(merged.to, p.end());
    }
}

NrfVerdict check_nrf_settings(const Request& request, const layout::MemoryMap& file,
                              const checksum::DigestSource& sha256) {
    using namespace nrf;
    const Asked family = Reader(request).read(true);
    const uint64_t at = family.family->settings;
    const std::string cannot = "cannot read the " + std::string(family.family->name) +
                               " bootloader settings page at " + text::address(at) + ": ";
    uint8_t head[8];
    const uint64_t held = file.read(at, head, sizeof head);
    if (held == 0) throw Refusal{cannot + "the file holds no byte there"};
    const uint32_t version = bytes::le32(head + fields[f_version].at);
    if (held < sizeof head || (version != 1 && version != 2))
        throw Refusal{cannot + text::format("its settings version is %u, neither 1 nor 2",
                                            held < sizeof head ? 0u : version)};
    std::vector<uint8_t> page(page_size(version));
    if (const uint64_t n = file.read(at, page.data(), page.size()); n != page.size())
        throw Refusal{cannot + text::format("the file holds %llu of its %zu bytes",
                                            static_cast<unsigned long long>(n), page.size())};
    // What the page should hold: the versions as it has them, the images'
    // sizes, CRCs and digests as the file's bytes give them.
    Asked a = family;
    a.version = version;
    a.app_version = get(page, f_app_version);
    a.bl_version = get(page, f_bl_version);
    auto kind = [&](Slot s) { return Validation(page[fields[s].at]); };
    if (version == 2) {
        a.app = kind(f_app_validation);
        a.sd = kind(f_sd_validation);
    }
    const auto [app_from, app_to] = application_in(file, *family.family);
    const Image app =
        image_of(file, app_from, app_to, a.app == Validation::sha256, &sha256);
    const uint64_t sd_size = get(page, f_sd_size);
    const Image sd =
        sd_size ? image_of(file, softdevice_start, softdevice_start + sd_size,
                           a.sd == Validation::sha256, &sha256)
                : Image{};
    std::vector<uint8_t> wanted = page_of(a, app, sd);
    NrfVerdict v;
    // A signed validation (or a type this row does not know) is the
    // signer's: taken as held.
    for (Slot s : {f_sd_validation, f_app_validation, f_bl_validation})
        if (version == 2 && (s == f_bl_validation || kind(s) > Validation::sha256)) {
            std::copy_n(page.begin() + long(fields[s].at), fields[s].width,
                        wanted.begin() + long(fields[s].at));
        }
    // Each CRC is judged against the bytes it covers as the page holds
    // them, so that a wrong field is named once, as itself.
    if (version == 2)
        put(wanted, f_validation_crc,
            zlib_crc().of(page.data() + validation_from, validation_to - validation_from));
    put(wanted, f_crc, zlib_crc().of(page.data() + settings_crc_from, v1_size - settings_crc_from));
    const std::string whose =
        app_from == app_to
            ? "the file holds no application below " + text::address(app_from)
            : "the application " + text::address(app_from) + "-" + text::address(app_to);
    for (size_t s = 0; s < slots; ++s) {
        const Field& f = fields[s];
        if (f.at + f.width > page.size() ||
            std::equal(page.begin() + long(f.at), page.begin() + long(f.at + f.width),
                       wanted.begin() + long(f.at)))
            continue;
        std::string line = f.name + std::string(" at ") + text::address(at + f.at);
        if (f.width == 4)
            line += " is " + hex_word(get(page, Slot(s))) + ", not " + hex_word(get(wanted, Slot(s)));
        else
            line += text::format(" (type %u) does not hold what %s gives",
                                 page[f.at],
                                 s == f_sd_validation ? "the SoftDevice" : "the application");
        if (s == f_app_size || s == f_app_crc) line += " (" + whose + ")";
        v.faults.push_back(line);
    }
    if (version == 2 && page.back() != wanted.back())
        v.faults.push_back(text::format("the page's last byte at %s is 0x%02X, not 0x%02X",
                                        text::address(at + page.size() - 1).c_str(),
                                        page.back(), wanted.back()));
    // The backup, when the file holds one, is the page itself.
    std::vector<uint8_t> backup(page.size());
    const uint64_t backup_at = at - backup_below;
    if (file.read(backup_at, backup.data(), backup.size()) != 0 && backup != page) {
        const auto d = std::mismatch(backup.begin(), backup.end(), page.begin());
        v.faults.push_back(text::format(
            "the backup page at %s is not the settings page: its byte at %s is 0x%02X, "
            "not 0x%02X",
            text::address(backup_at).c_str(),
            text::address(backup_at + uint64_t(d.first - backup.begin())).c_str(), *d.first,
            *d.second));
    }
    v.pages.push_back({at, at + page.size()});
    if (file.read(backup_at, backup.data(), backup.size()) != 0)
        v.pages.push_back({backup_at, backup_at + backup.size()});
    v.summary = text::format(
        "%s bootloader settings ok: version %u at %s, %s, %llu bytes, CRC-32 %s",
        family.family->name, version, text::address(at).c_str(), whose.c_str(),
        static_cast<unsigned long long>(app.size), hex_word(app.crc).c_str());
    return v;
}

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of, refuse_asked:
// formats.h says each.
// clang-format off
const Format nrf_settings_file = {
    "nRF5 bootloader settings", "an nRF5 bootloader settings file", "settings",
    ".settings.hex", nrf::settings_endings,
    /* needs_base */ false, /* family */ false, /* build */ false, /* text */ false,
    /* container */ false, /* every_run */ false, /* merged */ false, /* page */ 0,
    nullptr, nrf::read_settings, nullptr, nrf::write_settings, always,
    nrf::check_settings, "--nrf-settings <family>,...", nullptr, nrf::refuse_value,
};
// clang-format on

}  // namespace velk::formats
