// Where a traceback entry comes from: each public function of the two
// modules and each mode of the product; one cached code object each.
#pragma once

namespace velk {

enum class Entry {
    init,
    calc_crc_mpeg2,
    velk_crc_calc,
    usage,
    runmain,
    flash,
    check,
    product_main,
    product_run,
    elf_probe,
    checksum_probe,
    count
};

}  // namespace velk
