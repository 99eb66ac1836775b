// --exclude: bytes no checksum takes in, as srec_cat's -exclude and
// ielftool's range lists leave them out. Each is cut from the range of
// every checksum record that covers it, the bytes before and after it fed
// one after the other: a CRC that skips the vector table, a field masked
// in a hashed image.
#pragma once

#include <vector>

#include "plan.h"

namespace velk::records {

// Cuts every exclusion of `request` out of the records' ranges: each
// <from>-<to> ([from, to), 0x addresses) or the object of a symbol of
// `elf`. Refuses an exclusion that covers no checksum's bytes, and one
// that leaves a checksum nothing.
void cut_exclusions(std::vector<Planned>& records, const Request& request,
                    const ElfBuild* elf);

}  // namespace velk::records
