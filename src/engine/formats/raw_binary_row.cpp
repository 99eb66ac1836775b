// The raw binary: the image's bytes alone, one stretch with erased flash in
// its gaps; it holds no addresses, so it is placed at a base, and nothing
// in it says what it is but its name.
#include "rows.h"

namespace velk::formats {

namespace {

const char* const bin_endings[] = {".bin", nullptr};

void write_bin(const Contents& c, const std::string&, outfile::Sink& sink) {
    layout::copy_range(*c.memory, c.from, c.to, sink);
}

std::unique_ptr<FileCheck> check_bin(const Contents& c, const Expected&) {
    return binary_check(*c.memory, c.from, c.to);
}

}  // namespace

// Columns: name, a_file, word, ext, endings; needs_base, family, build,
// text, container, every_run, merged, page; recognise, read, unwrap,
// write, can_write, check, option, help, start_of: formats.h says each.
const Format raw_binary = {
    "raw binary", "a raw binary", "bin", ".bin", bin_endings,
    true, false, false, false, false, false, true, 0,
    nullptr, nullptr, nullptr, write_bin, always, check_bin, "--bin",
    "FLASH: also <root>_CRC.bin, the image as raw bytes, the fill value in the gaps",
    nullptr,
};

}  // namespace velk::formats
