// CHECK --nrf-settings: the settings page a file holds against the
// application, and the SoftDevice, the same file holds.
#include <algorithm>

#include "nrf_settings.h"
#include "nrf_settings_page.h"

#include "../report/refusal.h"
#include "../report/text.h"

namespace velk::formats {

namespace nrf {

namespace {

// The stretches of [low, high) that hold data: the file's pieces, split
// where a flash page or more of them reads as erased flash (a raw binary
// holds its gaps as fill).
std::vector<std::pair<uint64_t, uint64_t>> data_runs(const layout::MemoryMap& file,
                                                     uint64_t low, uint64_t high) {
    std::vector<std::pair<uint64_t, uint64_t>> runs;
    auto add = [&](uint64_t from, uint64_t to) {
        if (from < to) runs.push_back({from, to});
    };
    for (const layout::Piece& p : file.pieces()) {
        const uint64_t from = std::max(p.address, low), to = std::min(p.end(), high);
        if (from >= to || !p.bytes) continue;
        uint64_t start = from, erased_from = from;
        for (uint64_t a = from; a < to; ++a) {
            if (p.bytes[a - p.address] != file.fill()) {
                if (a - erased_from >= flash_page) add(start, erased_from), start = a;
                erased_from = a + 1;
            }
        }
        if (to - erased_from >= flash_page) add(start, erased_from);
        else add(start, to);
    }
    return runs;
}

// CHECK: where the application is in a file that holds the settings page:
// from the first byte after the SoftDevice its information structure names,
// or after the MBR's page, or the file's first byte; up to the bootloader
// UICR names, or the backup page. It goes across a hole (or erased flash)
// of a flash page or more only where the page's `size` reaches past it
// (what lies beyond one otherwise is a bootloader merged without its UICR;
// an application linked with a gap is checked by the bootloader over the
// gap's erased flash too), and ends where the size says when that is in
// the erased flash after its data, as the bootloader reads it.
std::pair<uint64_t, uint64_t> application_in(const layout::MemoryMap& file,
                                             const Family& family, uint64_t size) {
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
    const auto runs = data_runs(file, low, high);
    if (runs.empty()) return {high, high};
    const uint64_t from = runs.front().first;
    uint64_t to = runs.front().second, next = high;
    for (size_t i = 1; i < runs.size(); ++i) {
        if (runs[i].first - to >= flash_page && from + size <= runs[i].first) {
            next = runs[i].first;
            break;
        }
        to = runs[i].second;
    }
    if (size <= next - from && from + size > to) to = from + size;
    return {from, to};
}

std::string hex_word(uint64_t v) {
    return text::format("0x%08llX", static_cast<unsigned long long>(v));
}
}  // namespace

NrfVerdict check_page(const Request& request, const layout::MemoryMap& file,
                              const checksum::DigestSource& sha256) {
    const Asked family = read_asked(request, true);
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
    const auto [app_from, app_to] =
        application_in(file, *family.family, get(page, f_app_size));
    const Image app =
        image_of(file, app_from, app_to, a.app == Validation::sha256, &sha256);
    // The SoftDevice as long as the page says, when it fits below the
    // backup page; a size past it is a damaged field, and the SoftDevice's
    // validation cannot be judged.
    NrfVerdict v;
    const uint64_t sd_size = get(page, f_sd_size);
    const uint64_t backup_at = at - backup_below;
    const bool sd_fits = sd_size <= backup_at - softdevice_start;
    if (!sd_fits)
        v.faults.push_back(fields[f_sd_size].name + std::string(" at ") +
                           text::address(at + fields[f_sd_size].at) + " is " +
                           hex_word(sd_size) + ", past the backup page at " +
                           text::address(backup_at));
    // A file of the application and its page alone (the SoftDevice flashed
    // apart) holds none of the SoftDevice the page names: not judged.
    bool sd_held = false;
    for (const layout::Piece& p : file.pieces())
        sd_held |= p.address < softdevice_start + sd_size && p.end() > softdevice_start;
    const bool sd_judged = sd_fits && (sd_held || sd_size == 0);
    Image sd = sd_size && sd_judged
                   ? image_of(file, softdevice_start, softdevice_start + sd_size,
                              a.sd == Validation::sha256, &sha256)
                   : Image{};
    sd.size = sd_size;
    std::vector<uint8_t> wanted = page_of(a, app, sd);
    // A signed validation is the signer's: taken as held. A type past
    // ECDSA is none the bootloader knows, and it starts no application
    // validated so.
    for (Slot s : {f_sd_validation, f_app_validation, f_bl_validation})
        if (version == 2 && (s == f_bl_validation || kind(s) > Validation::sha256 ||
                             (s == f_sd_validation && !sd_judged))) {
            std::copy_n(page.begin() + long(fields[s].at), fields[s].width,
                        wanted.begin() + long(fields[s].at));
            if (s != f_bl_validation && kind(s) > Validation::ecdsa)
                v.faults.push_back(text::format(
                    "%s at %s is of type %u, none the bootloader knows (0 none, 1 CRC, "
                    "2 SHA-256, 3 ECDSA): it would not start the application",
                    fields[s].name, text::address(at + fields[s].at).c_str(),
                    page[fields[s].at]));
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
            line += " is " + hex_word(get(page, Slot(s))) + ", not " +
                    hex_word(get(wanted, Slot(s)));
        else
            line += text::format(" (type %u) does not hold what %s gives",
                                 page[f.at],
                                 s == f_sd_validation ? "the SoftDevice" : "the application");
        if (s == f_app_size || s == f_app_crc) line += " (" + whose + ")";
        v.faults.push_back(line);
    }
    // Bank 0 marked valid over nothing: the bootloader would start an
    // application the file does not hold.
    if (app_from == app_to && get(page, f_bank_code) == valid_app)
        v.faults.push_back(fields[f_bank_code].name + std::string(" at ") +
                           text::address(at + fields[f_bank_code].at) +
                           " marks a valid application, but " + whose);
    if (version == 2 && page.back() != wanted.back())
        v.faults.push_back(text::format("the page's last byte at %s is 0x%02X, not 0x%02X",
                                        text::address(at + page.size() - 1).c_str(),
                                        page.back(), wanted.back()));
    // The backup, when the file holds one, is the page itself.
    std::vector<uint8_t> backup(page.size());
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
    if (sd_size && sd_fits && !sd_held)
        v.summary += text::format(
            "; the file holds none of the %llu bytes of SoftDevice it names from %s: "
            "not checked",
            static_cast<unsigned long long>(sd_size),
            text::address(softdevice_start).c_str());
    return v;
}

}  // namespace nrf

NrfVerdict check_nrf_settings(const Request& request, const layout::MemoryMap& file,
                              const checksum::DigestSource& sha256) {
    return nrf::check_page(request, file, sha256);
}

}  // namespace velk::formats
