// What an NXP LPC55S/MCX master boot image asks of the run's image before
// anything is computed: room for its header words, and no record that
// would read or hold them, since they are written after every record.
#pragma once

#include <cstdint>
#include <string>

#include "../layout/memory_map.h"
#include "../records/plan.h"
#include "../request/request.h"

namespace velk::formats {

// Refuses, when the run asks for --nxp-mbi, an image [from, to) shorter
// than its header or, unless --force, without the build's `entry` point
// (0: none), and a record whose slot or range holds the header's words.
void refuse_nxp_mbi(const Request& request, const records::Plan& plan, uint64_t from,
                    uint64_t to, uint64_t entry);

// Refuses, when the run asks for --nxp-mbi, a device's stamp (`named`)
// whose bytes [address, address + size) lie in a word the master boot
// image of the image starting at `from` writes over: its file would not
// hold the device's value.
void refuse_nxp_mbi_stamp(const Request& request, const std::string& named, uint64_t address,
                          uint64_t size, uint64_t from);

// Why, when the run asks for --nxp-mbi, the header's words would lose the
// build's own bytes: the image starting at `from` holds something but 0 at
// 0x20, 0x24, 0x28 or 0x34, where they go. Empty when it holds 0 or
// nothing, as an LPC55S/MCX build's reserved vector entries do.
std::string nxp_mbi_overwrites(const Request& request, const layout::MemoryMap& memory,
                               uint64_t from);

}  // namespace velk::formats
