// What FLASH checks of each file's bytes as its writer emits them, before
// the file is put in place: that they hold the image the file is written
// from. A raw binary and UF2 blocks are compared byte for byte with the
// image. HEX and S-record text is walked line by line by each line's own
// length and address; the lines that hold a checked stretch (a record's
// slot, the MCUboot header, TLVs and trailer) are decoded, their checksums
// summed and their bytes compared, so that the walk stays a small part of
// the writing. The checksummed ELF file is checked where it holds each
// record's bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../layout/memory_map.h"

namespace velk::formats {

// A stretch of the image a text file's check decodes.
struct Span {
    uint64_t address, size;
    uint64_t end() const { return address + size; }
};

class FileCheck {
public:
    virtual ~FileCheck() = default;
    // The file's next bytes, in order.
    virtual void take(const uint8_t* data, size_t size) = 0;
    // Once the file is whole: why it does not hold what it should, the
    // first thing found; empty when it does.
    virtual std::string finish() = 0;
};

// A raw binary of [from, to): every byte, erased flash as the map's fill.
std::unique_ptr<FileCheck> binary_check(const layout::MemoryMap& memory, uint64_t from,
                                        uint64_t to);
// UF2 blocks: their magic numbers, and each payload against the image at
// its target address.
std::unique_ptr<FileCheck> uf2_check(const layout::MemoryMap& memory);
// Intel HEX text: the lines holding a byte of `spans` decoded and compared,
// every span found whole, and the end-of-file record.
std::unique_ptr<FileCheck> hex_check(const layout::MemoryMap& memory, std::vector<Span> spans);
// S-records: as for Intel HEX, and the termination record.
std::unique_ptr<FileCheck> srec_check(const layout::MemoryMap& memory, std::vector<Span> spans);

// Bytes a file must hold at an offset: a record's value where the
// checksummed ELF file holds it.
struct AtOffset {
    uint64_t offset;
    uint64_t address;  // where it loads, for the line
    std::vector<uint8_t> bytes;
};
std::unique_ptr<FileCheck> offsets_check(std::vector<AtOffset> expected);

// What FLASH's own check of a file looks for besides the image it is
// written from.
struct Expected {
    // The stretches a text file's check decodes: the records' slots, the
    // MCUboot header, TLVs and trailer.
    std::vector<Span> spans;
    // The records' bytes where the build's own file holds them.
    std::vector<AtOffset> at_offsets;
};

}  // namespace velk::formats
