// Reading a Motorola S-record file back into memory, for verification.
#pragma once

#include <cstddef>

#include "../layout/file_data.h"

namespace velk::srecord {

// Reads records up to the termination record (S7, S8 or S9; what follows
// it is not read): header (S0), data (S1, S2, S3), record counts (S5, S6:
// checked against the data records before them); a data record that runs
// past 4 GiB is refused. Lines end in "\n",
// "\r\n" or "\r"; blank lines are skipped; a record is refused with its
// line number where it is not one.
layout::Expected<layout::FileData, layout::ReadFault> read_srecord(const char* text,
                                                                   size_t size);

}  // namespace velk::srecord
