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
// `elf`, from every checksum record, or after a ':' from the records it
// names (",", as lines name them: "calib:app_crc,--a1FC"), so that a
// block with a sum of its own can be left out of one checksum and kept in
// another. The exclusions are judged together, in any order: refused is
// one that covers no byte of its records' ranges as planned, and those
// that leave a checksum nothing.
void cut_exclusions(std::vector<Planned>& records, const Request& request,
                    const ElfBuild* elf);

}  // namespace velk::records
