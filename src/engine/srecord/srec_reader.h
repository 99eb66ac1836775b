// Reading a Motorola S-record file into memory: a file CHECK verifies, or
// one --merge puts beside the application.
#pragma once

#include <cstddef>

#include "../layout/file_data.h"

namespace velk::srecord {

// Reads records up to the termination record (S7, S8 or S9): header (S0),
// data (S1, S2, S3), record counts (S5, S6: the number of data records
// before them; a file may end after one, as srec_cat writes it without a
// start address). A record after the termination record is refused:
// srec_cat reads it into the image, others stop before it; a line that is
// no S-record is left unread, as every reader leaves it (FileData's
// unread_line). A start address
// of 0 is none. A data record that runs past 4 GiB is refused. Lines end in
// "\n", "\r\n" or "\r"; blank lines are skipped; a record is refused with
// its line number where it is not one.
layout::Expected<layout::FileData, layout::ReadFault> read_srecord(const char* text,
                                                                   size_t size);

}  // namespace velk::srecord
