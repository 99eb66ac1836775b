// --nrf-settings' value read, and the settings page's bytes made.
#include "nrf_settings_page.h"

#include <algorithm>

#include "../base/split.h"
#include "../checksum/catalogue.h"
#include "../report/refusal.h"
#include "../request/option_table.h"

namespace velk::formats::nrf {

namespace {

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

// The settings after the family, each <key>=<value>.
const std::string keys[] = {"app-version",         "bl-version",
                            "bl-settings-version", "softdevice",
                            "app-boot-validation", "sd-boot-validation",
                            "application-version-string"};

// A setting by its name here or by nrfutil's option for it.
std::string key_named(const std::string& key) {
    return key == "application-version" ? "app-version"
           : key == "bootloader-version" ? "bl-version"
                                         : key;
}

// The boot validations as nrfutil's --app-boot-validation names them, in
// validation_words' order.
constexpr const char* nrfutil_validation_words[] = {
    "NO_VALIDATION", "VALIDATE_GENERATED_CRC", "VALIDATE_GENERATED_SHA256"};

class Reader {
public:
    explicit Reader(const Request& r)
        : r_(r), option_(r.asker.given(Option::nrf_settings, *r.nrf_settings)) {}

    // FLASH's whole value, or (`family_alone`) CHECK's family.
    Asked read(bool family_alone) const {
        const std::string& value = *r_.nrf_settings;
        const std::vector<std::string> parts = base::split(value, ',');
        Asked a;
        a.family = family_named(parts.front());
        if (!a.family)
            refuse("\"" + parts.front() + "\" is no nRF5 family here (" + family_list() +
                   ", in any case)");
        if (family_alone) {
            if (parts.size() > 1)
                refuse("CHECK takes the family alone; the rest is read from the page");
            return a;
        }
        std::optional<Validation> app, sd;
        bool version = false, app_version = false, bl_version = false;
        std::vector<std::string> seen;
        for (size_t i = 1; i < parts.size(); ++i) {
            const std::string& p = parts[i];
            const size_t eq = p.find('=');
            const std::string key = key_named(p.substr(0, eq));
            const std::string v = eq == std::string::npos ? "" : p.substr(eq + 1);
            if (std::find(std::begin(keys), std::end(keys), key) == std::end(keys))
                refuse("unknown setting \"" + key + "\" (app-version, bl-version, "
                       "bl-settings-version, softdevice, app-boot-validation, "
                       "sd-boot-validation)");
            // Two versions for one page: which one the bootloader gets
            // should not depend on the order of the words.
            if (std::find(seen.begin(), seen.end(), key) != seen.end())
                refuse(key + "= is given twice");
            seen.push_back(key);
            if (eq == std::string::npos || v.empty())
                refuse("\"" + p + "\" needs a value, as in " + key +
                       (key == "softdevice" ? "=s140.hex" : "=1"));
            if ((key == "app-version" || key == "application-version-string") && app_version)
                refuse("the application version is given twice");
            if (key == "app-version")
                a.app_version = number(p, v), app_version = true;
            else if (key == "application-version-string")
                a.app_version = version_string(p, v), app_version = true;
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
            else
                sd = validation(p, v);
        }
        if (!app_version || !bl_version || !version)
            refuse(std::string("needs ") +
                   (!app_version  ? "app-version="
                    : !bl_version ? "bl-version="
                                  : "bl-settings-version=") +
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
        throw Refusal{option_ + ": " + why};
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

    // nrfutil's --application-version-string: x.y.z as x * 10000 + y * 100 + z.
    uint32_t version_string(const std::string& part, const std::string& v) const {
        const std::vector<std::string> xyz = base::split(v, '.');
        uint64_t n = 0;
        bool ok = xyz.size() == 3;
        for (size_t i = 0; ok && i < 3; ++i) {
            const std::string& d = xyz[i];
            ok = !d.empty() && d.size() <= 9 &&
                 std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (ok) n += std::stoull(d) * (i == 0 ? 10000 : i == 1 ? 100 : 1);
        }
        if (!ok || n > 0xFFFFFFFF)
            refuse("\"" + part + "\" is no version x.y.z, as in 2.7.31 (20731)");
        return uint32_t(n);
    }

    Validation validation(const std::string& part, const std::string& v) const {
        for (size_t i = 0; i < std::size(validation_words); ++i)
            if (v == validation_words[i] || v == nrfutil_validation_words[i])
                return Validation(i);
        if (v == "ecdsa" || v == "ecdsa-p256-sha256" || v == "VALIDATE_ECDSA_P256_SHA256")
            refuse("\"" + part + "\": an ECDSA boot validation needs nrfutil's signing key, "
                   "which FLASH does not take: use crc or sha256");
        refuse("\"" + part + "\": none, crc or sha256");
    }

    const Request& r_;
    std::string option_;
};

void put_validation(std::vector<uint8_t>& page, Slot s, Validation kind, const Image& image) {
    uint8_t* at = page.data() + fields[s].at;
    at[0] = uint8_t(kind);
    if (kind == Validation::crc) bytes::store(at + 1, 4, little, image.crc);
    if (kind == Validation::sha256)
        std::copy(image.sha256.begin(), image.sha256.end(), at + 1);
}

}  // namespace

const checksum::Crc& zlib_crc() {
    static const checksum::Crc crc(checksum::find("CRC-32/ISO-HDLC")->parameters);
    return crc;
}

Asked read_asked(const Request& request, bool family_alone) {
    return Reader(request).read(family_alone);
}

Image image_of(const layout::MemoryMap& memory, uint64_t from, uint64_t to, bool sha,
               const checksum::DigestSource* sha256) {
    Image out{from, to - from, 0, {}};
    uint64_t reg = zlib_crc().start();
    if (sha && !(sha256 && *sha256))
        throw Refusal{"no SHA-256 to validate the image by in this run"};
    std::unique_ptr<crypto::Digest> digest = sha ? (*sha256)() : nullptr;
    memory.feed(from, to, [&](const uint8_t* bytes, size_t size) {
        reg = zlib_crc().update(reg, bytes, size, checksum::Feed::bytes);
        if (digest) digest->update(bytes, size);
    });
    out.crc = uint32_t(zlib_crc().finish(reg));
    if (digest) out.sha256 = digest->finish();
    return out;
}

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

}  // namespace velk::formats::nrf
