// FLASH's manifest with --mcuboot: the SHA-256 of every file as it lies on
// disk once all are in place, so that a release can publish what it ships
// and anyone can hold a download against it. Runs without --mcuboot never
// ask for a digest.
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "flash_run.h"

namespace velk::flash {

void digest_files(FlashRun& run, Host& host) {
    static const char digits[] = "0123456789abcdef";
    for (const File& file : run.files) {
        if (!file.written) continue;
        std::unique_ptr<crypto::Digest> digest = host.crypto().sha256();
        if (int error = platform::read_chunks(file.name, [&](const uint8_t* bytes, size_t size) {
                digest->update(bytes, size);
            }))
            throw Refusal{"cannot read " + file.name + " back for its SHA-256: " +
                          platform::error_text(error)};
        std::string hex;
        for (uint8_t b : digest->finish()) {
            hex += digits[b >> 4];
            hex += digits[b & 15];
        }
        run.digests.emplace_back(file.name, hex);
    }
}

}  // namespace velk::flash
