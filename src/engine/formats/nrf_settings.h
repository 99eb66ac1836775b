// The nRF5 SDK bootloader's settings page, as `nrfutil settings generate`
// writes it for an application: what FLASH asks of the run before anything
// is computed, how the page joins the merged files, and CHECK of a page
// against the application in the same file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "../checksum/method.h"
#include "../layout/memory_map.h"
#include "../merged/merge.h"
#include "../request/request.h"

namespace velk::formats {

namespace nrf {
struct Image;
}

// FLASH: refuses a --nrf-settings value that cannot be (an unknown family,
// a missing or unknown key, a validation the settings version lacks) and an
// application that reaches into the settings page or its backup. Returns
// the SoftDevice softdevice= names, read once for the run and every device
// of it (its size, CRC-32 and, when validated so, SHA-256); nullptr: none.
std::shared_ptr<const nrf::Image> refuse_nrf_settings(
    const Request& request, const layout::MemoryMap& application,
    const checksum::DigestSource& sha256);

// FLASH --merge: the settings page and its backup join the merged image,
// made from `application` (the HEX's own image) and the run's `softdevice`.
// Refuses a merged file that holds bytes there already.
void merge_nrf_settings(const Request& request, const layout::MemoryMap& application,
                        const checksum::DigestSource& sha256,
                        const nrf::Image* softdevice, Merged& merged);

// CHECK --nrf-settings <family>: the settings page `file` holds against the
// application it holds. Each wrong field a line of `faults`; `summary`, the
// line of a right page. Refuses a file without a readable page.
struct NrfVerdict {
    std::vector<std::string> faults;
    std::string summary;
    // The page and its backup as the file holds them: bytes no build or
    // merged file accounts for.
    std::vector<std::pair<uint64_t, uint64_t>> pages;
};
NrfVerdict check_nrf_settings(const Request& request, const layout::MemoryMap& file,
                              const checksum::DigestSource& sha256);

}  // namespace velk::formats
