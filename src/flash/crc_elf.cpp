// The checksummed ELF for the debugger: a byte-for-byte copy of the input
// with the 4 bytes of the checksum record replaced where the file holds
// them, so that a debug session boots past the firmware's own check.
#include "crc_elf.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "../pipeline/native_output.h"

namespace velk {

namespace {

constexpr uint64_t shf_alloc = 2;

// The file offset of `vaddr` according to the section headers: an
// allocated section with contents in the file that holds all 4 bytes.
bool offset_by_sections(CalcLocals& l, uint64_t vaddr, uint64_t& offset) {
    const Texts& t = state.t;
    Ref sections =
        check(PyObject_GetIter(call_method(l.elf_file.get(), t.iter_sections).get()));
    while (PyObject* next = PyIter_Next(sections.get())) {
        Ref section(next);
        Ref type = item(section.get(), t.sh_type);
        if (compare(type.get(), t.SHT_NOBITS, Py_EQ)) continue;
        if (!(as_u64(item(section.get(), t.sh_flags).get()) & shf_alloc)) continue;
        uint64_t addr = as_u64(item(section.get(), t.sh_addr).get());
        uint64_t size = as_u64(item(section.get(), t.sh_size).get());
        if (vaddr < addr || size < 4 || vaddr - addr > size - 4) continue;
        offset = as_u64(item(section.get(), t.sh_offset).get()) + (vaddr - addr);
        return true;
    }
    if (PyErr_Occurred()) throw PythonError{};
    return false;
}

std::string hex_address(uint64_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX",
                  static_cast<unsigned long long>(address));
    return text;
}

}  // namespace

CrcElf write_crc_elf(FlashLocals& l, PyObject* filename, uint64_t record_at,
                     const uint8_t record[4]) {
    // The program header whose file contents hold the whole record.
    const SegmentInfo* holder = nullptr;
    for (const SegmentInfo& s : l.segments)
        if (s.has_contents() && record_at >= s.paddr && s.filesz >= 4 &&
            record_at - s.paddr <= s.filesz - 4) {
            holder = &s;
            break;
        }
    if (!holder)
        return {std::nullopt, "the checksum record at " + hex_address(record_at) +
                                  " is not in the file contents of any segment (it lies "
                                  "in padding)"};
    uint64_t by_segment = holder->offset + (record_at - holder->paddr);
    uint64_t vaddr = holder->vaddr + (record_at - holder->paddr);
    uint64_t by_section = 0;
    if (!offset_by_sections(l, vaddr, by_section) || by_section != by_segment)
        return {std::nullopt, "the program and section headers do not agree on where " +
                                  hex_address(record_at) + " lies in the file"};
    std::vector<uint8_t> bytes = read_file_at(l.file.get(), 0, UINT64_MAX);
    if (by_segment > bytes.size() || bytes.size() - by_segment < 4)
        return {std::nullopt, "the file is shorter than its headers say"};
    for (int i = 0; i < 4; ++i) bytes[by_segment + i] = record[i];
    return {write_bytes(filename, bytes.data(), bytes.size()), ""};
}

void note_no_crc_elf(PyObject* filename, const std::string& why_not) {
    std::string removed;
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(filename, &converted)) throw PythonError{};
    Ref path(converted);
    struct stat st;
    if (::lstat(PyBytes_AS_STRING(converted), &st) == 0 && !S_ISDIR(st.st_mode) &&
        ::unlink(PyBytes_AS_STRING(converted)) == 0)
        removed = " (the earlier one is removed: it would not match the HEX)";
    Ref line = check(PyUnicode_FromFormat("note: no %U written%s: %s", filename,
                                          removed.c_str(), why_not.c_str()));
    print_stderr(line.get());
}

}  // namespace velk
