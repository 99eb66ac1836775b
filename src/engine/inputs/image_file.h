// Firmware in any of the formats FLASH and CHECK read, as one thing: its
// loadable bytes at their addresses and its entry point. An ELF file keeps
// its reading (symbols, segments) besides.
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
    layout::FileData data;   // the records' bytes and runs (HEX, S-records, UF2)
    std::vector<uint8_t> raw;  // a raw binary's bytes
    layout::Loadable loadable;
    const uint8_t* base = nullptr;  // where the spans' bytes are
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
};

// Reads `input` as its format says, or refuses it with the line or block
// that cannot be read. A raw binary starts at `binary_base`; without one it
// is refused, saying how to give it. A UF2 block of another family than
// the first is refused, or with `other_families` left out and told in
// `skipped` (CHECK judges the file as the bootloader reads it).
ImageFile read_image(InputFile input, std::optional<uint64_t> binary_base,
                     const Asker& asker = Asker(), bool other_families = false);

}  // namespace velk
