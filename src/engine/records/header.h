// An image header's fields as records: --header <symbol>:size@4,crc@8,...
// or, where no symbol tells the header's place (a HEX file checked alone),
// --header 0x08004000+16:size@4,crc@8. The body is what follows the header
// to the end of its image; each checksum field may name its own algorithm
// (crc@8=crc-32/iso-hdlc).
#pragma once

#include <string>
#include <vector>

#include "plan.h"

namespace velk::records {

// The header's records, in the order its fields are given; `plan` gives
// the algorithm of a field that names none.
std::vector<Planned> plan_header(const HeaderLayout& layout, const Plan& plan,
                                 const ElfBuild* elf, const layout::Loadable& loadable,
                                 Header& header);

}  // namespace velk::records
