// FLASH mode's second output: <root>_CRC.elf for the debugger.
#pragma once

#include <optional>
#include <string>

#include "../outfile/replacing_file.h"
#include "flash_image.h"

namespace velk {

// A copy of the input ELF with the checksum record at `record_at` (a
// physical address) stored where the file holds that address: through the
// program header whose physical range holds it and the section header that
// covers it, which must agree. Nothing else in the file changes. Written
// into a temporary file beside `filename`, to be committed with the HEX.
struct CrcElf {
    std::optional<outfile::ReplacingFile> file;
    // When no copy can be made (the record lies outside every segment's
    // file contents, as in padding): why, for the note line.
    std::string why_not;
};
CrcElf write_crc_elf(FlashLocals& l, PyObject* filename, uint64_t record_at,
                     const uint8_t record[4]);

// After a run that made no copy, an earlier <root>_CRC.elf would no longer
// match the HEX: it is removed, and the note line says so.
void note_no_crc_elf(PyObject* filename, const std::string& why_not);

}  // namespace velk
