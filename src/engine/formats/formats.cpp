#include "formats.h"

#include "../hexfile/hex_reader.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/spelling.h"
#include "../srecord/srec_reader.h"
#include "../uf2/uf2.h"

namespace velk::formats {

namespace {

// An Intel HEX or S-record file's records, or the line that says why not.
template <class ReadRecords>
void read_text(ImageFile& image, const InputFile& input, ReadRecords read_records,
               const wording::RecordNames& names) {
    size_t mark = layout::byte_order_mark(input.bytes.data(), input.bytes.size());
    auto read = read_records(reinterpret_cast<const char*>(input.bytes.data()) + mark,
                             input.bytes.size() - mark);
    if (auto* fault = std::get_if<layout::ReadFault>(&read))
        throw Refusal{wording::read_fault(*fault, names)};
    image.data = std::move(std::get<layout::FileData>(read));
}

void read_hex(ImageFile& image, const InputFile& input) {
    read_text(image, input, hexfile::read_intel_hex,
              {"an Intel HEX record", "end-of-file", "01"});
}

void read_srec(ImageFile& image, const InputFile& input) {
    read_text(image, input, srecord::read_srecord,
              {"an S-record", "termination", "S7, S8 or S9"});
}

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

void read_uf2(ImageFile& image, const InputFile& input) {
    auto read = uf2::read_uf2(input.bytes.data(), input.bytes.size());
    if (auto* fault = std::get_if<uf2::Fault>(&read))
        throw Refusal{"cannot read it as UF2: " + uf2_fault(*fault)};
    uf2::Contents& contents = std::get<uf2::Contents>(read);
    image.data = std::move(contents.data);
    image.has_family = contents.has_family;
    image.family = contents.family;
    if (const auto& off = contents.off_page)
        image.warnings.push_back(text::format(
            "block %zu: %u bytes at %s, not a %zu-byte page at a page's start: UF2 "
            "bootloaders that write whole pages (the SAMD ones) skip it",
            off->block, off->size, text::address(off->address).c_str(), uf2::page_size));
}

void write_hex(outfile::Outputs& o, const std::string& name, const Contents& c) {
    o.intel_hex(name, *c.memory, c.entry);
}

void write_bin(outfile::Outputs& o, const std::string& name, const Contents& c) {
    o.binary(name, *c.memory, c.from, c.to);
}

void write_srec(outfile::Outputs& o, const std::string& name, const Contents& c) {
    o.srecord(name, *c.memory, c.entry, name);
}

void write_uf2(outfile::Outputs& o, const std::string& name, const Contents& c) {
    o.uf2(name, *c.memory, c.family);
}

const Format table[] = {
    {"Intel HEX", "hex", ".hex", nullptr, "", layout::FileKind::intel_hex,
     [](const Request&) { return true; }, write_hex, read_hex},
    {"raw binary", "bin", ".bin", "--bin",
     "FLASH: also <root>_CRC.bin, the image as raw bytes, the fill value in the gaps",
     layout::FileKind::other, [](const Request& r) { return r.bin; }, write_bin, nullptr},
    {"S-records", "srec", ".srec", "--srec", "FLASH: also <root>_CRC.srec, Motorola S-records",
     layout::FileKind::srecord, [](const Request& r) { return r.srec; }, write_srec,
     read_srec},
    {"UF2", "uf2", ".uf2", "--uf2 <family>",
     "FLASH: also <root>_CRC.uf2, for a drag-and-drop bootloader of that chip family\n"
     "                (rp2040, rp2350, nrf52840, samd21, samd51, stm32f4, ..., or a 0x ID);\n"
     "                CHECK: the family a UF2 file's blocks must carry",
     layout::FileKind::uf2, [](const Request& r) { return r.uf2.has_value(); }, write_uf2,
     read_uf2},
};

}  // namespace

const Format* begin() {
    return std::begin(table);
}

const Format* end() {
    return std::end(table);
}

const Format* of_kind(layout::FileKind kind) {
    for (const Format& f : table)
        if (f.kind == kind) return &f;
    return nullptr;
}

uint32_t uf2_family(Front front, const std::string& name) {
    uf2::FamilyChoice choice = uf2::find_family(name);
    if (!choice.found)
        throw Refusal{given(front, Option::uf2, name) +
                      ": no such chip family; the names are " + uf2::family_names() +
                      ", or give its ID as 0x<hex>"};
    return choice.id;
}

std::string help_lines() {
    std::string out;
    for (const Format& f : table) {
        if (!f.option) continue;
        std::string option = f.option;
        out += "  " + option + std::string(option.size() < 14 ? 14 - option.size() : 1, ' ') +
               f.help + "\n";
    }
    return out;
}

}  // namespace velk::formats
