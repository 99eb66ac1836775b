// An ESP32-family application image, as the chips' ROM and second-stage
// bootloader load it and esptool's elf2image makes it from the linker's ELF
// file: a header naming the chip and the SPI flash settings, the sections
// as segments (the flash-mapped ones placed so that each lands at its own
// offset within a 64 KiB MMU page, RAM segments or zeros filling the gaps),
// an XOR checksum of the segments' data and, where the header asks, the
// SHA-256 of everything before it. A pure core on bytes: the row in
// esp32_row.cpp feeds it the build and the program's SHA-256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "../checksum/method.h"

namespace velk::formats::esp32 {

struct Range {
    uint32_t from, to;
    bool holds(uint64_t address) const { return address >= from && address < to; }
};

// A flash clock as the header encodes it for one chip.
struct Clock {
    const char* name;  // esptool's word: "80m"
    uint8_t code;      // the header's low nibble at 0x03
};

// A chip, one row of chips(): what esptool writes for it and where its
// flash is mapped.
struct Chip {
    const char* name;  // "esp32c3"
    uint16_t id;       // the extended header's chip ID
    uint16_t machine;  // the ELF e_machine of its cores: Xtensa or RISC-V
    Range irom, drom;  // the flash-mapped buses, code and data
    const Clock* clocks;
    size_t clock_count;
    const char* default_clock;  // esptool's default, the one coded 0
};

const Chip* chips_begin();
const Chip* chips_end();
// The chip of an image header's ID; nullptr when none is.
const Chip* chip_by_id(uint16_t id);
// Whether a header's flash mode and flash size codes name one.
bool is_mode(uint8_t code);
bool is_size(uint8_t code);
// The words the refusals list: "esp32, esp32s2, ...", a chip's clocks,
// "qio, qout, dio, dout", "1MB, ..., 128MB".
std::string chip_names();
std::string clock_names(const Chip& chip);
std::string mode_names();
std::string size_names();

// --esp32's value, read: the chip and the header's settings.
struct Settings {
    const Chip* chip = nullptr;
    uint8_t mode = 0;        // qio 0, qout 1, dio 2, dout 3
    uint8_t size_code = 0;   // 1MB 0 ... 128MB 7
    uint8_t clock_code = 0;  // the chip's own coding
    uint16_t min_rev_full = 0;
    // Where the build's own SHA-256 goes in the file; none: at 0xB0 when
    // the build has an app descriptor (.flash.appdesc), else nowhere.
    std::optional<uint64_t> elf_sha256_offset;
};

// Reads "chip=<name>[,flash_mode=...,flash_freq=...,flash_size=...,
// min_rev=...,elf_sha256_offset=...]"; the text says what is wrong.
std::variant<Settings, std::string> settings_of(const std::string& text);

// A stretch of the file: bytes, or `size` zeros (nullptr).
struct Part {
    const uint8_t* bytes;
    size_t size;
};

// A section that goes into the image, in the ELF's section order: its
// bytes are the build's, read where they are, in one part or more.
struct Section {
    uint32_t address;
    std::vector<Part> parts;
    size_t size;
};

// The SHA-256 of the build's ELF file, written where the settings say.
using ElfDigest = std::optional<std::vector<uint8_t>>;

// The image as the pieces of the file in order but its SHA-256: the
// build's bytes where they are, the headers, checksum and ELF SHA-256 it
// owns.
struct Image {
    std::vector<Part> pieces;
    std::deque<std::vector<uint8_t>> owned;
    size_t size = 0;

    void each_piece(const std::function<void(const uint8_t*, size_t)>& take) const;
    // The file: its pieces to `take`, then their SHA-256, taken in the same
    // pass, so that the digest is of the very bytes taken.
    void emit(crypto::Digest& sha256,
              const std::function<void(const uint8_t*, size_t)>& take) const;
};

// The image, or why it cannot be made. `appdesc`: where the build's
// .flash.appdesc is, which puts its SHA-256 at 0xB0 unless the settings
// move it; the descriptor must then lead the image, so that 0xB0 is its
// SHA-256 field. The sections' bytes must outlive the image.
std::variant<Image, std::string> make_image(const Settings& settings, uint32_t entry,
                                            const std::vector<Section>& sections,
                                            std::optional<uint32_t> appdesc,
                                            const ElfDigest& elf_sha256);

// A file's segment: where it loads and where its data is in the file.
struct Segment {
    uint32_t address;
    size_t offset;  // of its data
    uint32_t size;
};

// A file, read: its header's chip and entry point, its segments, and the
// SHA-256 it carries over its bytes before it, when it carries one.
struct Parsed {
    const Chip* chip = nullptr;
    uint32_t entry = 0;
    std::vector<Segment> segments;
    std::optional<size_t> hash_at;  // the SHA-256's offset: it covers [0, hash_at)
    size_t count = 0;               // the header's segment count
    bool hashed = false;            // the header says a SHA-256 follows
};

// The file's layout: its header, each segment's head, the seed of the
// XOR checksum of the segments' data.
constexpr size_t header_size = 24, segment_head = 8;
constexpr uint8_t checksum_seed = 0xEF;

// `sum` XOR every one of `size` bytes.
uint8_t xor_of(const uint8_t* data, size_t size, uint8_t sum);

// Reads a file's header alone (its first header_size bytes, of `size`):
// the chip, entry point, segment count and hash flag, no segment.
std::variant<Parsed, std::string> parse_header(const uint8_t* bytes, size_t size);

// Reads a file's header, segments and checksum; the text says what is
// wrong, worded to follow "cannot read it as an ESP32 app image: ".
std::variant<Parsed, std::string> parse(const uint8_t* bytes, size_t size);

// The header's flash mode and its flash size and clock, as the settings
// code them.
constexpr size_t mode_at = 2, size_clock_at = 3;
inline uint8_t size_clock(const Settings& s) {
    return uint8_t(s.size_code << 4 | s.clock_code);
}

// The app descriptor's magic word, which starts the first segment's data
// when the build has one, and the file offset of its SHA-256 field then.
constexpr uint32_t appdesc_magic = 0xABCD5432;
constexpr size_t appdesc_sha256_at = 0xB0;
// The SHA-256 field's offset within the descriptor.
constexpr uint64_t appdesc_field = 0x90;
constexpr size_t sha256_size = 32;

}  // namespace velk::formats::esp32
