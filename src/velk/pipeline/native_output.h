// The identity checks that let VELK mode write its HEX file natively in
// place of the package's container.
#pragma once

#include <cstdint>

#include "../../python/handle.h"

namespace velk {

// `ihex` is an instance of exactly the intelhex class start-up bound, and
// its frombytes, __setitem__ and write_hex_file are still the functions the
// class had then: writing the file natively is then indistinguishable from
// filling the container and letting it write.
bool genuine_container(PyObject* ihex);

// The 4 values of list(struct.pack("<I", checksum)) as bytes; false for
// anything but a list of 4 ints from 0 to 255.
bool record_bytes(PyObject* record, uint8_t out[4]);

}  // namespace velk
