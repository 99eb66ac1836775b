// A build's flash image as a value: made once from the ELF file, copied
// and changed per device (a stamped byte, another signature) without
// reading the file again, while the original stays as it was and the load
// segments go along with every copy. The bytes expected come from the
// file itself at the offsets `arm-none-eabi-readelf -lW fw_boot.elf`
// gives, not from the engine's reading.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "../../src/engine/merged/merge.h"
#include "../../src/engine/inputs/image_file.h"
#include "../../src/engine/inputs/input_file.h"
#include "../../src/engine/layout/flash_layout.h"
#include "../../src/engine/platform/platform.h"
#include "checks.h"

// Named, not anonymous: a unity build joins this file with the test
// program's own.
namespace image_value {

using velk::layout::MemoryMap;
using velk::layout::Segment;

int failures = 0;

void expect(bool ok, const std::string& what) {
    engine_checks::count(ok, "image value: ", what, failures);
}

// fw_boot.elf's program headers with file bytes, and the section each
// loads (readelf's section to segment mapping); .data is loaded at its
// flash address after .text, copied to RAM at start-up.
struct Loaded {
    uint64_t address, offset, size;
    uint32_t flags;
    const char* section;
};
const Loaded fw_boot[] = {
    {0x08000000, 0x1000, 0x110, 5, ".text"},  // R E
    {0x08000110, 0x2004, 0x024, 6, ".data"},  // RW
    {0x08000134, 0x2134, 0x004, 6, ".crc"},   // RW
};
constexpr uint64_t image_start = 0x08000000, image_end = 0x08000138;

// [from, to) as the map's walk hands it over, erased flash as its fill.
std::vector<uint8_t> walked(const MemoryMap& map, uint64_t from, uint64_t to) {
    std::vector<uint8_t> out;
    map.walk(from, to, [&](const uint8_t* bytes, uint64_t size) {
        if (bytes)
            out.insert(out.end(), bytes, bytes + size);
        else
            out.insert(out.end(), size, map.fill());
    });
    return out;
}

bool same_segments(const std::vector<Segment>& got) {
    if (got.size() != sizeof fw_boot / sizeof fw_boot[0]) return false;
    for (size_t i = 0; i < got.size(); ++i) {
        const Loaded& want = fw_boot[i];
        if (got[i].address != want.address || got[i].size != want.size ||
            got[i].flags != want.flags ||
            got[i].sections != std::vector<std::string>{want.section})
            return false;
    }
    return true;
}

// An application merged with its bootloader: the merged image keeps the
// application's segment (readelf: 0x08004000, 0xC8 bytes, RWE, .text and
// .crc) and adds the bootloader HEX's data run (srec_info: 0x08000000 to
// 0x0800006F), sharing the application's bytes rather than copying them.
void merged_segments(const std::string& data) {
    const std::string app_path = data + "/fw_bootloaded_app.elf";
    const velk::ElfBuild app = velk::read_build(velk::read_input(app_path));
    MemoryMap application =
        velk::layout::memory_of(app.loadable, {{0x08004000, 0x080040C8}}, app.file_buffer);
    application.set_segments(velk::segments_of(app));
    velk::records::Plan plan;
    const velk::Merged merged =
        velk::merge_with({{velk::MergeFile{data + "/fw_bootloader.hex", std::nullopt}},
                          std::nullopt, app_path},
                         application, 0, plan, {}, false, std::nullopt);
    const std::vector<Segment>& got = merged.memory.segments();
    expect(got.size() == 2 && got[0].address == 0x08000000 && got[0].size == 0x70 &&
               got[0].sections.empty() && got[1].address == 0x08004000 &&
               got[1].size == 0xC8 && got[1].flags == 7 &&
               got[1].sections == std::vector<std::string>{".text", ".crc"},
           "the merged image keeps the application's segment and adds the bootloader's");
    const uint8_t* own = application.pieces().front().bytes;
    bool shared = false;
    for (const velk::layout::Piece& p : merged.memory.pieces()) shared |= p.bytes == own;
    expect(shared, "the merged image shares the application's bytes");
}

int run(const std::string& data) {
    failures = 0;
    const std::string path = data + "/fw_boot.elf";
    std::vector<uint8_t> file;
    if (int error = velk::platform::read_file(path, file)) {
        expect(false, "cannot read " + path + ": " + velk::platform::error_text(error));
        return failures;
    }
    std::vector<uint8_t> want(image_end - image_start, 0xFF);
    for (const Loaded& l : fw_boot)
        std::copy(file.begin() + static_cast<long>(l.offset),
                  file.begin() + static_cast<long>(l.offset + l.size),
                  want.begin() + static_cast<long>(l.address - image_start));

    MemoryMap image, stamped, signed_a, signed_b;
    {
        // The build is read once and let go: the images keep what they need.
        velk::ElfBuild build = velk::read_build(velk::read_input(path));
        image = velk::layout::memory_of(build.loadable, {{image_start, image_end}},
                                        build.file_buffer);
        image.set_segments(velk::segments_of(build));
        expect(image.pieces().front().bytes == build.bytes() + fw_boot[0].offset,
               "the image shares the file's bytes, not a copy of them");

        stamped = image;
        bool shared = stamped.pieces().size() == image.pieces().size();
        for (size_t i = 0; shared && i < image.pieces().size(); ++i)
            shared = stamped.pieces()[i].bytes == image.pieces()[i].bytes;
        expect(shared, "a copy shares every piece's bytes with its original");
    }
    expect(walked(image, image_start, image_end) == want,
           "the image holds the build's bytes after the build is gone");
    expect(same_segments(image.segments()), "the image keeps the build's load segments");

    // A device's serial stamped into the copy's .crc slot and a byte of
    // its .text patched: the caller's buffer is reused at once, as a loop
    // over devices would.
    std::vector<uint8_t> serial = {0x12, 0x34, 0x56, 0x78};
    stamped.overlay(0x08000134, serial.data(), serial.size());
    serial.assign(serial.size(), 0x00);
    const uint8_t patch = static_cast<uint8_t>(want[0x40] ^ 0xA5);
    stamped.overlay(image_start + 0x40, &patch, 1);
    std::vector<uint8_t> changed = want;
    const uint8_t stamp[] = {0x12, 0x34, 0x56, 0x78};
    std::copy(stamp, stamp + 4, changed.begin() + 0x134);
    changed[0x40] = patch;
    expect(walked(stamped, image_start, image_end) == changed,
           "the copy's walk gives the stamped bytes");
    expect(walked(image, image_start, image_end) == want,
           "the original is unchanged by its copy's stamp");
    expect(same_segments(stamped.segments()), "the stamped copy keeps the segments");

    // Two signatures over the same image: each copy holds its own after
    // the image's end, the original none.
    signed_a = image;
    signed_b = image;
    const std::vector<uint8_t> a(0x40, 0xAA), b(0x40, 0xBB);
    signed_a.overlay(image_end, a.data(), a.size());
    signed_b.overlay(image_end, b.data(), b.size());
    expect(walked(signed_a, image_end, image_end + 0x40) == a, "the first signature");
    expect(walked(signed_b, image_end, image_end + 0x40) == b, "the second signature");
    uint64_t held = 0;
    image.walk(image_end, image_end + 0x40,
               [&](const uint8_t* bytes, uint64_t size) { held += bytes ? size : 0; });
    expect(held == 0, "the original holds no signature");
    expect(walked(signed_a, image_start, image_end) == want &&
               walked(signed_b, image_start, image_end) == want,
           "each signed copy holds the build's bytes below its signature");

    // A segment of a container's own, added to one copy alone.
    signed_a.add_segment({image_end, 0x40, 0, {".signature"}});
    expect(signed_a.segments().size() == 4 && signed_a.segments().back().sections ==
                                                  std::vector<std::string>{".signature"},
           "a segment added above the build's");
    expect(same_segments(signed_b.segments()) && same_segments(image.segments()),
           "the other copies keep the build's segments alone");
    merged_segments(data);
    return failures;
}

}  // namespace image_value

// The failures found, each said on stderr.
int image_value_test(const std::string& data) {
    return image_value::run(data);
}
