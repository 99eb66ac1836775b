#include "elf_headers.h"

#include "../adapter/text.h"
#include "../../engine/report/text.h"

namespace velk {

layout::ProgramHeader program_header(PyObject* segment) {
    const Texts& t = state.t;
    Ref type = item(segment, t.p_type);
    Ref header = attr(segment, t.header);
    return {compare(type.get(), t.PT_LOAD, Py_EQ),
            as_u64(item(header.get(), t.p_offset).get()),
            as_u64(item(header.get(), t.p_vaddr).get()),
            as_u64(item(header.get(), t.p_paddr).get()),
            as_u64(item(header.get(), t.p_filesz).get()),
            as_u64(item(header.get(), t.p_memsz).get())};
}

bool header_table_fits(PyObject* elf_file, uint64_t file_size, std::string& why) {
    const Texts& t = state.t;
    Ref header = attr(elf_file, t.header);
    uint64_t offset = as_u64(item(header.get(), t.e_phoff).get());
    uint64_t entry_size = as_u64(item(header.get(), t.e_phentsize).get());
    uint64_t count = as_u64(call_method(elf_file, t.num_segments).get());
    bool elf64 = as_u64(attr(elf_file, t.elfclass).get()) == 64;
    if (layout::header_table_fits(offset, entry_size, count, elf64, file_size))
        return true;
    why = text::format(
        "the program header table (%llu entries of %llu bytes at offset 0x%llX) does not "
        "fit the file: it is damaged",
        static_cast<unsigned long long>(count),
        static_cast<unsigned long long>(entry_size),
        static_cast<unsigned long long>(offset));
    return false;
}

}  // namespace velk
