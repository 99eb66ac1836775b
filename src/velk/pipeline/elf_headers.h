// What VELK mode reads of the ELF reader's headers, for the layout core.
#pragma once

#include <string>

#include "../../engine/layout/flash_layout.h"
#include "../module/ops.h"

namespace velk {

// One program header as pyelftools reads it.
layout::ProgramHeader program_header(PyObject* segment);

// Whether the reader's program header table fits its file (see
// layout::header_table_fits); `why` says how it does not.
bool header_table_fits(PyObject* elf_file, uint64_t file_size, std::string& why);

}  // namespace velk
