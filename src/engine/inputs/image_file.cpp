#include "image_file.h"

#include "../formats/formats.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/spelling.h"

namespace velk {

const char* format_name(layout::FileKind kind) {
    switch (kind) {
        case layout::FileKind::elf:
            return "an ELF file";
        case layout::FileKind::intel_hex:
            return "an Intel HEX file";
        case layout::FileKind::srecord:
            return "an S-record file";
        case layout::FileKind::uf2:
            return "a UF2 file";
        case layout::FileKind::other:
            break;
    }
    return "a raw binary";
}

ImageFile read_image(InputFile input, std::optional<uint64_t> binary_base, Front front) {
    ImageFile image;
    image.kind = input.kind;
    switch (input.kind) {
        case layout::FileKind::elf:
            image.elf = read_elf(std::move(input));
            image.loadable = image.elf.loadable;
            image.base = image.elf.bytes();
            // e_entry 0: the file has no entry point.
            image.entry = image.elf.file.header.entry;
            image.has_entry = image.entry != 0;
            return image;
        case layout::FileKind::intel_hex:
        case layout::FileKind::srecord:
        case layout::FileKind::uf2:
            formats::of_kind(input.kind)->read(image, input);
            break;
        case layout::FileKind::other: {
            if (!binary_base)
                throw Refusal{
                    std::string(input.named ? "a raw binary by its name"
                                            : "neither an ELF, Intel HEX, S-record nor UF2 "
                                              "file") +
                    "; a raw binary holds no addresses: give its base address with " +
                    given(front, Option::base, "0x<address>") +
                    ", or the build it was made from with " + option_name(front, Option::elf)};
            if (input.bytes.empty()) throw Refusal{"the raw binary is empty"};
            uint64_t end;
            if (__builtin_add_overflow(*binary_base, input.bytes.size(), &end))
                throw Refusal{"a raw binary of " + std::to_string(input.bytes.size()) +
                              " bytes at " + text::address(*binary_base) +
                              " would reach past 64-bit addresses"};
            image.kind = layout::FileKind::other;
            image.raw = std::move(input);
            image.base = image.raw.bytes.data();
            image.loadable = std::get<layout::Loadable>(layout::loadable_of_runs(
                {{*binary_base, image.raw.bytes.size(), 0, 0}}));
            return image;
        }
    }
    image.base = image.data.data.data();
    image.has_entry = image.data.has_entry;
    image.entry = image.data.entry;
    image.loadable =
        std::get<layout::Loadable>(layout::loadable_of_runs(std::move(image.data.runs)));
    return image;
}

}  // namespace velk
