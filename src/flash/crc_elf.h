// FLASH mode's second output: <root>_CRC.elf for the debugger, a
// byte-for-byte copy of the input with the bytes of every record replaced where the file holds them, so that a debug session boots past
// the firmware's own check.
#pragma once

#include <cstdint>
#include <string>

#include "../inputs/elf_input.h"

namespace velk {

struct RecordInFile {
    bool found;
    uint64_t offset;      // where the file holds the record's 4 bytes
    std::string why_not;  // when it does not
};

// The file offset of the record of `width` bytes at `record` (a physical
// address): through the loadable span that holds all its bytes and the
// section header that covers them, which must agree.
RecordInFile record_in_file(const ElfBuild& elf, uint64_t record, unsigned width = 4);

}  // namespace velk
