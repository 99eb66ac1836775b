// Where a devices run stamps each device's values in the build's image: a
// stamp's place found in the planned run, and the places a stamp must
// never take (a record's slot, an image header's field, the MCUboot
// header's room, its TLVs and trailer, another stamp), refused before
// anything is written.
#pragma once

#include <cstdint>
#include <vector>

#include "../flash/flash_run.h"
#include "../stamps/stamps.h"

namespace velk::devices {

struct Place {
    uint64_t address = 0, size = 0;
};

// Each stamp's place in `run`'s image, in the order given. Refuses
// (Refusal, one line naming the stamp): a symbol the build lacks or of no
// size; a place outside the build's loaded bytes; a place that holds no
// placeholder (all 0xFF, all 0x00 or the fill value) unless --force; a
// place that overlaps a record's slot, an MCUboot image's header, TLVs or
// trailer, or another stamp.
std::vector<Place> places_of(const flash::FlashRun& run,
                             const std::vector<stamps::Stamp>& stamps);

}  // namespace velk::devices
