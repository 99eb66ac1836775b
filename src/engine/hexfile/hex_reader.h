// Reading an Intel HEX file into memory: a file CHECK verifies, or one
// --merge puts beside the application.
#pragma once

#include <cstddef>

#include "../layout/file_data.h"

namespace velk::hexfile {

// Reads records up to the end-of-file record (what follows it is not
// read, as objcopy and srec_cat leave it: FileData's unread_line): data
// (00), segment and linear address (02, 04), start address (03, 05). A
// data record must lie within the 64 KiB its offset reaches from the base
// address: past that, segment addressing and many programmers wrap the
// offset, the intelhex package does not. Lines end in
// "\n", "\r\n" or "\r"; blank lines are skipped; any bytes may stand
// anywhere, a record is refused with its line number where it is not one.
layout::Expected<layout::FileData, layout::ReadFault> read_intel_hex(const char* text,
                                                                     size_t size);

}  // namespace velk::hexfile
