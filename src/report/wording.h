// What the pure readers found wrong, in words a firmware engineer acts on.
#pragma once

#include <string>
#include <vector>

#include "../layout/file_data.h"

namespace velk::wording {

// A layout that cannot be made from an ELF file's program headers.
std::string layout_fault(const layout::Fault& fault,
                         const std::vector<layout::ProgramHeader>& headers);

// A record that cannot be read; `format` names the file kind ("Intel
// HEX"), `end_record` the record that ends a file of that kind.
std::string read_fault(const layout::ReadFault& fault, const char* format,
                       const char* end_record);

}  // namespace velk::wording
