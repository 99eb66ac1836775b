// UF2 files: what drag-and-drop bootloaders (RP2040/RP2350, nRF52840,
// SAMD21/51, STM32, ESP32-S2...) take when the board shows up as a USB
// drive. A file is a run of 512-byte blocks, each one self-contained:
//
//   offset  0  magic 0x0A324655 ("UF2\n")     16  payloadSize (<= 476)
//           4  magic 0x9E5D5157               20  blockNo, from 0
//           8  flags                          24  numBlocks in the file
//          12  targetAddr                     28  fileSize, or familyID
//          32  476 bytes of data: the payload first
//         508  magic 0x0AB16F30
//
// Every field is a little-endian 32-bit word. A bootloader flashes a block
// only when its family ID is its own chip's, so one file may carry images
// for several chips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../layout/file_data.h"
#include "../layout/memory_map.h"

namespace velk::uf2 {

constexpr size_t block_size = 512;
constexpr size_t data_area = 476;  // the payload and what follows it in a block
constexpr size_t page_size = 256;  // the payload of every block the writer makes

constexpr uint32_t magic_start0 = 0x0A324655;
constexpr uint32_t magic_start1 = 0x9E5D5157;
constexpr uint32_t magic_end = 0x0AB16F30;

// Block flags. Not main flash: comments or embedded sources, never flashed.
constexpr uint32_t not_main_flash = 0x00000001;
constexpr uint32_t file_container = 0x00001000;  // part of a named file, not flash
constexpr uint32_t family_present = 0x00002000;  // word 28 is the family ID

// UF2 addresses are 32 bits.
constexpr uint64_t address_limit = uint64_t{1} << 32;

// A chip family a bootloader recognises by its ID.
struct Family {
    const char* name;  // lower case, as the command line takes it
    uint32_t id;
    const char* what;
};

// Every family known by name, in a fixed order (the fuzz harness walks
// them).
struct FamilyTable {
    const Family* rows;
    size_t size;

    const Family* begin() const { return rows; }
    const Family* end() const { return rows + size; }
};
FamilyTable families();

// What a family name or number stands for.
struct FamilyChoice {
    bool found = false;
    uint32_t id = 0;
    // The table's row with that ID; nullptr for a number the table does not
    // name (a family of the user's own).
    const Family* family = nullptr;
};

// A family by its name (case ignored, "-" and "_" alike, so RP2350_ARM_S
// names one too; "rp2350" is rp2350-arm-s, the image the RP2350's boot ROM
// boots), or by its ID as "0x" and 1 to 8 hex digits, named or not.
FamilyChoice find_family(std::string_view name);

// The table's row with this ID, or nullptr.
const Family* family_of(uint32_t id);

// The family names nearest to a mistyped `name`, nearest first: a few at
// most, none when nothing is near.
std::vector<std::string> nearest_families(std::string_view name);

// UF2 blocks of `memory`, in address order and numbered from 0: one for
// every 256-byte page (at an address that is a multiple of 256) that holds
// at least one byte of the map, data or erased flash; a page holding none
// gets no block. A block's 256-byte payload is the page: the map's data,
// 0xFF where it holds erased flash, `fill` where it holds nothing. Every
// block has the family flag and `family_id`; the data area past the
// payload is zero. The blocks reach `out` a chunk at a time, never the
// whole file at once. An empty map gives an empty file.
// Returns false, writing nothing, when the map reaches past 4 GiB
// (memory.end() > address_limit).
[[nodiscard]] bool write_uf2(const layout::MemoryMap& memory, uint32_t family_id,
                             uint8_t fill, layout::TextSink& out);

// Why a file cannot be read as UF2; the caller words it. `block` is the
// block's place in the file, counted from 0 (as blockNo counts in a file
// whose blocks are in order).
struct Fault {
    enum Kind {
        bad_size,           // not a whole number of 512-byte blocks
        bad_magic,          // `block`: one of its three magic numbers is wrong
        bad_payload_size,   // `block`: payloadSize `value` is above 476
        bad_block_number,   // `block`: blockNo `value` is not below its numBlocks
        count_differs,      // `block`: numBlocks `value` is not the first block's
        family_differs,     // `block`: family ID `value` (or none) is not the first's
        in_file_container,  // `block`: part of a named file, not flash contents
        address_overflow,   // `block`: from `address`, its payload reaches past 4 GiB
        block_twice,        // `block`: blockNo `value` was an earlier block's too
        block_missing,      // no block has blockNo `value` (the lowest such)
        overlap,            // `address`: the lowest address held twice; `block`:
                            // the second block in the file holding it
        no_data,            // no block holds a byte for the flash
    } kind;
    size_t block = 0;
    uint64_t address = 0;
    uint32_t value = 0;
};

// What a UF2 file puts into flash.
struct Contents {
    // The payloads, in address order: `data` holds them in that order, a
    // run each, payloads that continue each other joined into one. No
    // entry point: UF2 has none.
    layout::FileData data;
    // The family ID of its blocks (all alike), when they carry one.
    bool has_family = false;
    uint32_t family = 0;
    // The first block in file order that holds bytes for the flash but that
    // bootloaders writing whole 256-byte pages (the SAMD ones) skip without
    // a word: its payload is not a page, or not at a page's address.
    struct OffPage {
        size_t block;
        uint32_t size;
        uint32_t address;
    };
    std::optional<OffPage> off_page;
    // The blocks bound for flash whose family (or lack of one) is not the
    // first such block's: a bootloader of that family skips them, so their
    // payloads are left out of `data`. The first in file order, and how many.
    struct Skipped {
        size_t block;
        bool has_family;
        uint32_t family;
        uint32_t address;
        uint32_t size;
    };
    std::optional<Skipped> skipped;
    size_t skipped_count = 0;
};

// Reads every block. Blocks flagged not main flash are left out of the
// contents; they still count for the block numbers. The checks, in this
// order: the size; then block by block, in file order, the magic numbers,
// payloadSize, the file container flag, blockNo against numBlocks,
// numBlocks against the first block's, the address range (of the blocks
// read into flash; a block of another family than the first such block's
// is skipped, as that family's bootloader skips it, and told in
// `skipped`);
// then every blockNo below numBlocks once (a repeat before a gap); then
// overlapping payloads; then whether anything is left. A payload of up to
// 476 bytes at any address is read; the first one that is not a page at a
// page's address is told in `off_page`.
layout::Expected<Contents, Fault> read_uf2(const uint8_t* bytes, size_t size);

// Whether a file starts with a UF2 block's two start magic numbers.
bool looks_like_uf2(const uint8_t* head, size_t size);

}  // namespace velk::uf2
