// Where a traceback entry comes from: the start-up and each public function
// of VELK_CRC; one cached code object each.
#pragma once

namespace velk {

enum class Entry {
    init,
    calc_crc_mpeg2,
    velk_crc_calc,
    usage,
    runmain,
    count
};

}  // namespace velk
