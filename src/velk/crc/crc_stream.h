// VELK mode's CRC function, crcmod's, looked up at use.
#pragma once

#include "../module/ops.h"

namespace velk {

// crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0),
// crcmod looked up at use.
Ref make_crc32_mpeg2();

}  // namespace velk
