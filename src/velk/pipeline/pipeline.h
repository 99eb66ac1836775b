// velk_crc_calc: the stages from a checksum request to the written HEX
// file, called in this order, each returning false after printing its
// refusal line.
#pragma once

#include "calc_locals.h"

namespace velk {

// Chooses the placement mode and converts the address or block size.
bool check_request(CalcLocals& l);
// Opens the ELF file and builds the memory image from its first loadable
// segment, padded up to the offset in address and block mode.
bool assemble_image(CalcLocals& l);
// Settles the checksum's offset from the start of the image.
bool locate_checksum(CalcLocals& l);
// Checksums the image, stores the record and writes the HEX file; prints
// the two report lines.
void write_hex(CalcLocals& l);
// The layout warnings on standard error after the report lines.
void warn_about_layout(CalcLocals& l);

}  // namespace velk
