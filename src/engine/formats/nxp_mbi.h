// What an NXP LPC55S/MCX master boot image asks of the run's image before
// anything is computed: room for its header words, and no record that
// would read or hold them, since they are written after every record.
#pragma once

#include <cstdint>

#include "../records/plan.h"
#include "../request/request.h"

namespace velk::formats {

// Refuses, when the run asks for --nxp-mbi, an image [from, to) shorter
// than its header, and a record whose slot or range holds the header's
// words.
void refuse_nxp_mbi(const Request& request, const records::Plan& plan, uint64_t from,
                    uint64_t to);

}  // namespace velk::formats
