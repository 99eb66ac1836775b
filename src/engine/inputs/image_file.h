// Firmware in any of the formats FLASH and CHECK read, as one thing: its
// loadable bytes at their addresses and its entry point. An ELF file keeps
// its reading (symbols, segments) besides. Its bytes are read once and
// shared by the images made from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../layout/file_data.h"
#include "../request/request.h"
#include "../uf2/uf2.h"
#include "input_file.h"

namespace velk {

struct ImageFile {
    const formats::Format* format = &formats::unnamed();
    ElfBuild elf;            // an ELF file's reading
    layout::FileData data;   // the records' runs and entry (HEX, S-records, UF2)
    layout::Loadable loadable;
    // Where the spans' bytes are: the ELF file, the records' data or the raw
    // binary, shared with every image made from them.
    layout::Buffer base;
    bool has_entry = false;
    uint64_t entry = 0;
    bool has_family = false;  // a UF2 file's family ID
    uint32_t family = 0;
    // What reading found that a programmer may take otherwise: said, not refused.
    std::vector<std::string> warnings;
    std::vector<std::string> notes;  // what reading left out, said
    // UF2: the first block of another family than the others', which a
    // bootloader of theirs skips, and how many there are.
    std::optional<uf2::Contents::Skipped> skipped;
    size_t skipped_count = 0;
    // The digest the file carries over its bytes, checked by the caller.
    std::function<void(const checksum::DigestSource&)> digest_check;
    // The cores its image is for (e_machine) and how it says so; 0: none.
    uint16_t machine = 0;
    std::string machine_said;
};

// Reads `input` as its format says, or refuses it with the line or block
// that cannot be read. A raw binary starts at `binary_base`; without one it
// is refused, saying how to give it. A UF2 block of another family than
// the first is refused, or with `other_families` left out and told in
// `skipped` (CHECK judges the file as the bootloader reads it).
ImageFile read_image(InputFile input, std::optional<uint64_t> binary_base,
                     const Asker& asker = Asker(), bool other_families = false);

// The load segments a file's image keeps beside its bytes: an ELF file's
// PT_LOAD headers with their flags and the sections they hold, another
// file's data runs.
std::vector<layout::Segment> segments_of(const ElfBuild& elf);
std::vector<layout::Segment> segments_of(const ImageFile& image);

}  // namespace velk
