// The ELF file: the build itself, read as a build, and FLASH's _CRC.elf, the
// input with the records' bytes in place (a container around the image).
#include "rows.h"

#include "../elf/elf_build.h"

namespace velk::formats {

namespace {

const char* const elf_endings[] = {".elf", ".axf", ".out", nullptr};

void write_elf(const Contents& c, const std::string&, outfile::Sink& sink) {
    for (const auto& [bytes, size] : *c.elf) sink.put(reinterpret_cast<const char*>(bytes), size);
}

std::unique_ptr<FileCheck> check_elf(const Contents&, const Expected& e) {
    return offsets_check(e.at_offsets);
}

bool elf_made(const Contents& c) {
    return c.elf != nullptr;
}

std::optional<uint64_t> elf_start(uint64_t entry) {
    return entry ? std::optional<uint64_t>(entry) : std::nullopt;
}

}  // namespace

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of: formats.h says each.
const Format elf_file = {
    "ELF", "an ELF file", "elf", ".elf", elf_endings,
    /* needs_base */ false, /* family */ false, /* build */ true, /* text */ false,
    /* container */ true, /* every_run */ false, /* merged */ false, /* page */ 0,
    is_elf, nullptr, nullptr, write_elf, elf_made, check_elf, nullptr, elf_start,
};

}  // namespace velk::formats
