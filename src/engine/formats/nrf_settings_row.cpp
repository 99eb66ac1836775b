// The nRF5 SDK bootloader's settings page (nrf_dfu_settings_t), the
// <root>_CRC.settings.hex that `nrfutil settings generate` makes from the
// application's HEX: at the family's last flash page, the application's
// size and CRC-32 in bank 0 marked valid, the versions, the settings' own
// CRC-32 and, in settings version 2, the boot-validation entries with their
// CRC-32. The bootloader starts the application only when these match; a
// copy of the page at the page below is its backup, which the bootloader
// restores from when the page is found damaged.
#include <algorithm>

#include "nrf_settings.h"
#include "nrf_settings_page.h"
#include "rows.h"

#include "../hexfile/intel_hex.h"
#include "../inputs/image_file.h"
#include "../layout/flash_layout.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"

namespace velk::formats {

// Named, not anonymous: its names share a unit with the other rows' when
// the engine is built as one.
namespace nrf {

const char* const settings_endings[] = {".settings.hex", nullptr};

// Where an image's data starts and ends in flash: its lowest byte and one
// past its highest below the UICR, the holes between erased flash. nrfutil
// leaves out what a HEX holds for the UICR (a bootloader's address, a
// pin setting), which no image's CRC covers.
std::pair<uint64_t, uint64_t> extent(const layout::MemoryMap& memory) {
    const uint64_t from = memory.pieces().front().address;
    uint64_t to = from;
    for (const layout::Piece& p : memory.pieces())
        if (p.address < uicr_start) to = std::min(p.end(), uicr_start);
    return {from, to};
}

// The SoftDevice, read from its HEX file: the bytes after the MBR's page,
// as nrfutil takes them.
Image softdevice_image(const std::string& option, const std::string& path, bool sha,
                       const checksum::DigestSource* sha256) {
    try {
        InputFile input = read_input(path);
        // Nordic ships a SoftDevice as a HEX file, which says where it goes.
        if (!input.format || input.format->needs_base)
            throw Refusal{holds_no_addresses(input.format, input.named) +
                          ": give the SoftDevice's HEX file, as Nordic ships it"};
        ImageFile file = read_image(std::move(input), std::nullopt);
        const layout::MemoryMap memory = layout::spans_of(file.loadable, file.base);
        if (memory.empty() || extent(memory).second <= softdevice_start)
            throw Refusal{"no SoftDevice after the MBR's page at " +
                          text::address(softdevice_start)};
        if (memory.pieces().front().address > softdevice_start)
            throw Refusal{"a SoftDevice starts at " + text::address(softdevice_start) +
                          ", and this one's first byte is at " +
                          text::address(memory.pieces().front().address)};
        return image_of(memory, softdevice_start, extent(memory).second, sha, sha256);
    } catch (Refusal& refusal) {
        refusal.text = option + " softdevice=" + path + ": " + refusal.text;
        throw;
    }
}

// The settings page and its backup as a map, made from the application's
// image and the SoftDevice the run read as it was planned.
layout::MemoryMap pages_of(const Request& request, const layout::MemoryMap& application,
                           const checksum::DigestSource* sha256,
                           const Image* softdevice) {
    const Asked a = read_asked(request, false);
    const auto [from, to] = extent(application);
    const Image app = image_of(application, from, to, a.app == Validation::sha256, sha256);
    const std::vector<uint8_t> page = page_of(a, app, softdevice ? *softdevice : Image{});
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
    hexfile::write_intel_hex(
        pages_of(*c.request, application_of(c), c.sha256, c.nrf_softdevice), std::nullopt,
        sink);
}

// What FLASH wrote against the text the application makes again.
class SettingsCheck final : public FileCheck {
public:
    explicit SettingsCheck(const Contents& c) {
        hexfile::write_intel_hex(
            pages_of(*c.request, application_of(c), c.sha256, c.nrf_softdevice),
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
    read_asked(request, false);
    // nRF5 flash reads 0xFF when erased, and nrfutil and the bootloader take
    // the application's holes so: with another fill the page would hold the
    // CRC of bytes the flash a HEX leaves does not, or the .bin's gaps not
    // the bytes the page's CRC was made over.
    if (request.fill && request.fill->value && *request.fill->value != layout::erased)
        throw Refusal{request.asker.name(Option::fill) +
                      text::format(" 0x%02X and ", unsigned(*request.fill->value)) +
                      request.asker.name(Option::nrf_settings) +
                      ": nRF5 flash reads 0xFF when erased, as the bootloader's CRC of "
                      "the application takes its holes; leave out " +
                      request.asker.name(Option::fill)};
}

std::shared_ptr<const Image> refuse_overlap(const Request& request,
                                            const layout::MemoryMap& application,
                                            const checksum::DigestSource& sha256) {
    if (!asked(nrf_settings_file, request) || application.empty()) return nullptr;
    const Asked a = read_asked(request, false);
    // The SoftDevice read now, once: one that cannot be is refused before a
    // devices run writes its state, and every device's page holds the same.
    std::shared_ptr<const Image> softdevice =
        a.softdevice ? std::make_shared<const Image>(softdevice_image(
                           request.asker.name(Option::nrf_settings), *a.softdevice,
                           a.sd == Validation::sha256, &sha256))
                     : nullptr;
    const uint64_t low = a.family->settings - backup_below;
    const uint64_t high = a.family->settings + page_size(a.version);
    const auto [from, to] = extent(application);
    // The bootloader starts through the MBR in the first flash page: an
    // application there would erase it (and CHECK reads the application
    // from after it).
    if (from < softdevice_start)
        throw Refusal{text::format(
            "%s: the application %s-%s starts in the MBR's page below %s, which the "
            "nRF5 bootloader needs: link it after the MBR (and the SoftDevice)",
            request.asker.name(Option::nrf_settings), text::address(from).c_str(),
            text::address(to).c_str(), text::address(softdevice_start).c_str())};
    if (from < high && low < to)
        throw Refusal{text::format(
            "%s: the application %s-%s reaches into the %s bootloader settings at %s and "
            "their backup at %s",
            request.asker.name(Option::nrf_settings), text::address(from).c_str(),
            text::address(to).c_str(), a.family->name, text::address(a.family->settings).c_str(),
            text::address(low).c_str())};
    return softdevice;
}

void merge_pages(const Request& request, const layout::MemoryMap& application,
                 const checksum::DigestSource& sha256, const Image* softdevice,
                 Merged& merged) {
    if (!asked(nrf_settings_file, request)) return;
    const layout::MemoryMap pages = pages_of(request, application, &sha256, softdevice);
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

}  // namespace nrf

std::shared_ptr<const nrf::Image> refuse_nrf_settings(
    const Request& request, const layout::MemoryMap& application,
    const checksum::DigestSource& sha256) {
    return nrf::refuse_overlap(request, application, sha256);
}

void merge_nrf_settings(const Request& request, const layout::MemoryMap& application,
                        const checksum::DigestSource& sha256,
                        const nrf::Image* softdevice, Merged& merged) {
    nrf::merge_pages(request, application, sha256, softdevice, merged);
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
