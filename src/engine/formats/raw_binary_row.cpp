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

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of: formats.h says each.
const Format raw_binary = {
    "raw binary", "a raw binary", "bin", ".bin", bin_endings,
    /* needs_base */ true, /* family */ false, /* build */ false, /* text */ false,
    /* container */ false, /* every_run */ false, /* merged */ true, /* page */ 0,
    nullptr, nullptr, nullptr, write_bin, always, check_bin, "--bin", nullptr,
};

}  // namespace velk::formats
