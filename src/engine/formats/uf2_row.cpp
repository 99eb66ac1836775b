// UF2: 512-byte blocks of whole 256-byte pages for a drag-and-drop
// bootloader, each carrying the chip family it is for.
#include "rows.h"

#include "../report/refusal.h"
#include "../report/text.h"

namespace velk::formats {

namespace {

const char* const uf2_endings[] = {".uf2", nullptr};

std::string uf2_fault(const uf2::Fault& f) {
    using F = uf2::Fault;
    const std::string block = text::format("block %zu: ", f.block);
    switch (f.kind) {
        case F::bad_size:
            return "not a whole number of 512-byte UF2 blocks";
        case F::bad_magic:
            return block + "a magic number is wrong: the block is damaged";
        case F::bad_payload_size:
            return block + text::format("a payload of %u bytes, more than a block holds",
                                        f.value);
        case F::bad_block_number:
            return block + text::format("block number %u is not below the block count",
                                        f.value);
        case F::count_differs:
            return block + text::format("a block count of %u, not the first block's",
                                        f.value);
        case F::family_differs:
            return block + "another family ID than the first block's";
        case F::in_file_container:
            return block + "part of a file container, not flash contents";
        case F::address_overflow:
            return block + "its payload at " + text::address(f.address) +
                   " reaches past 4 GiB";
        case F::block_twice:
            return block + text::format("block number %u is given twice", f.value);
        case F::block_missing:
            return text::format("no block has block number %u: the file is cut short",
                                f.value);
        case F::overlap:
            return block + "it holds " + text::address(f.address) +
                   ", which an earlier block holds too";
        case F::no_data:
            return "no block holds data for the flash";
    }
    return "not a UF2 file";
}

Read read_uf2(const std::vector<uint8_t>& bytes) {
    auto read = uf2::read_uf2(bytes.data(), bytes.size());
    if (auto* fault = std::get_if<uf2::Fault>(&read)) throw Refusal{uf2_refusal(*fault)};
    uf2::Contents& contents = std::get<uf2::Contents>(read);
    Read out{std::move(contents.data), contents.has_family, contents.family, {}, {},
             contents.skipped, contents.skipped_count};
    if (const auto& off = contents.off_page)
        out.warnings.push_back(text::format(
            "block %zu: %u bytes at %s, not a %zu-byte page at a page's start: UF2 "
            "bootloaders that write whole pages (the SAMD ones) skip it",
            off->block, off->size, text::address(off->address).c_str(), uf2::page_size));
    return out;
}

void write_uf2(const Contents& c, const std::string&, outfile::Sink& sink) {
    (void)uf2::write_uf2(*c.memory, c.family, c.memory->fill(), sink);
}

std::unique_ptr<FileCheck> check_uf2(const Contents& c, const Expected&) {
    return uf2_check(*c.memory);
}

}  // namespace

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of: formats.h says each.
const Format uf2_file = {
    "UF2", "a UF2 file", "uf2", ".uf2", uf2_endings,
    /* needs_base */ false, /* family */ true, /* build */ false, /* text */ false,
    /* container */ false, /* every_run */ false, /* merged */ true, uf2::page_size,
    uf2::looks_like_uf2, read_uf2, nullptr, write_uf2, always, check_uf2, "--uf2 <family>",
    nullptr,
};

std::string uf2_refusal(const uf2::Fault& fault) {
    return "cannot read it as UF2: " + uf2_fault(fault);
}

}  // namespace velk::formats
