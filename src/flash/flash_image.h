// FLASH mode: the flash contents of a build whose .data initial values (or
// any other loadable contents) sit in segments of their own, at their
// physical (load) addresses.
#pragma once

#include <vector>

#include "../pipeline/pipeline.h"

namespace velk {

// Segments (or HEX data) further than this beyond the image do not join
// it: a QSPI region or a vector table far away is not part of the internal
// flash the boot check reads.
constexpr uint64_t join_distance = 0x10000;

// A loadable segment that did not join the image: written to the HEX at
// its physical address, outside the checksum.
struct OutsideSegment {
    uint64_t address;
    Ref data;  // bytes
};

struct FlashLocals : CalcLocals {
    using CalcLocals::CalcLocals;
    std::vector<OutsideSegment> outside;
};

// Opens the ELF file and assembles the image: the first PT_LOAD with file
// contents in header order, at its p_paddr, then in ascending p_paddr every
// other one that starts at or after the image's end and no more than 64 KiB
// past it, the gaps filled with 0xFF. Refuses overlapping segments. In
// address and block mode pads up to the checksum offset as VELK mode does.
bool assemble_flash_image(FlashLocals& l);

}  // namespace velk
