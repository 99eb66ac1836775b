// FLASH mode's second output: <root>_CRC.elf for the debugger, a
// byte-for-byte copy of the input with the bytes of every record replaced
// where the file holds them, so that a debug session boots past the
// firmware's own check; segment contents no section holds get sections of
// their own, so that a debugger that loads sections loads them too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../elf/section_table.h"
#include "../elf/elf_build.h"
#include "../layout/memory_map.h"

namespace velk {

struct RecordInFile {
    bool found;
    uint64_t offset;      // where the file holds the record's bytes
    std::string why_not;  // when it does not
};

// The file offset of the record of `width` bytes at `record` (a physical
// address): through the loadable span that holds all its bytes; the
// sections that hold any of them must agree (linker padding no section
// holds gets one in the copy).
RecordInFile record_in_file(const ElfBuild& elf, uint64_t record, unsigned width = 4);

// Segment contents that no allocated section with contents holds: linker
// padding between two sections of one segment, or a segment no section
// lies in. The HEX holds them, but a debugger's `load` and objcopy write
// sections only: on the chip they would stay erased, and the boot check
// would read other bytes than the checksum did.
struct Unsectioned {
    uint64_t offset;   // in the file
    uint64_t address;  // the load address, where the HEX holds them
    uint64_t vaddr;
    uint64_t size;
    uint32_t segment_flags;
};

// A record's bytes as FLASH stores them.
struct StoredRecord {
    uint64_t slot;
    unsigned width;
    const uint8_t* bytes;
};

// Contents the input does not have, loaded at `address` from a section of
// their own after the file's bytes: an MCUboot image's added header room,
// TLVs and trailer. Null `bytes`: `size` bytes of `fill`.
struct AddedContents {
    const char* name;
    uint64_t address;
    const uint8_t* bytes;
    uint64_t size;
    uint8_t fill;
};

// <root>_CRC.elf, when it can be written: the input with every record's
// bytes replaced, and the unsectioned contents given sections of their own
// (".gap.<load address>"), so that a debugger loads what the HEX holds
// whether it reads program headers or sections.
struct CrcElf {
    RecordInFile in_file;  // found: the file is written; otherwise why not
    std::vector<Unsectioned> gaps;  // in address order
    elf::Appended added;            // empty when `gaps` is
    // The file in order; they borrow from the input, the stored records
    // and `added` (whose buffers a move keeps).
    std::vector<std::pair<const uint8_t*, size_t>> pieces;
    std::vector<std::vector<uint8_t>> fills;  // the added erased flash's bytes
};
CrcElf crc_elf(const ElfBuild& elf, const std::vector<StoredRecord>& records,
               const std::vector<AddedContents>& added = {});

// "fw_CRC.elf gives the 496 bytes of linker padding at ... a section of
// their own ...", for a file with gaps.
std::string sections_note(const std::string& name, const std::vector<Unsectioned>& gaps);

// The fill the HEX holds in the holes between segments, which the ELF file
// has no bytes for; empty when `memory` has none. Erased flash in
// [`sectioned.first`, `sectioned.second`) has a section of its own.
std::string holes_note(const std::string& name, const layout::MemoryMap& memory,
                       std::pair<uint64_t, uint64_t> sectioned = {0, 0});

}  // namespace velk
