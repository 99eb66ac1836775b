// CRC-32/MPEG-2: width 32, polynomial 0x04C11DB7, initial value 0xFFFFFFFF,
// no reflection, no final XOR. The arithmetic is crcmod's.
#include "../module/functions.h"
#include "crc_stream.h"

namespace velk {

Ref calc_crc_mpeg2(PyObject* data) {
    Ref crc32_mpeg2 = make_crc32_mpeg2();
    return call(crc32_mpeg2.get(), data);
}

}  // namespace velk
