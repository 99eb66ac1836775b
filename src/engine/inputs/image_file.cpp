#include "image_file.h"

#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/spelling.h"

namespace velk {

namespace {

// A raw binary holds no addresses: it starts at `base`.
ImageFile raw_binary(std::vector<uint8_t> bytes, std::optional<uint64_t> base,
                     const formats::Format* format, bool named, const Asker& asker) {
    if (!base)
        throw Refusal{formats::holds_no_addresses(format, named) +
                      ": give its base address with " +
                      asker.given(Option::base, "0x<address>") +
                      ", or the build it was made from with " + asker.name(Option::elf)};
    if (bytes.empty()) throw Refusal{"the raw binary is empty"};
    uint64_t end;
    if (__builtin_add_overflow(*base, bytes.size(), &end))
        throw Refusal{"a raw binary of " + std::to_string(bytes.size()) + " bytes at " +
                      text::address(*base) + " would reach past 64-bit addresses"};
    ImageFile image;
    image.format = &formats::unnamed();
    image.raw = std::move(bytes);
    image.base = image.raw.data();
    image.loadable = std::get<layout::Loadable>(
        layout::loadable_of_runs({{*base, image.raw.size(), 0, 0}}));
    return image;
}

}  // namespace

ImageFile read_image(InputFile input, std::optional<uint64_t> binary_base,
                     const Asker& asker, bool other_families) {
    const formats::Format* format = input.format;
    if (format && format->build) {
        ImageFile image;
        image.format = format;
        image.elf = read_build(std::move(input));
        image.loadable = image.elf.loadable;
        image.base = image.elf.bytes();
        // e_entry 0: the file has no entry point.
        image.entry = image.elf.file.header.entry;
        image.has_entry = image.entry != 0;
        return image;
    }
    if (!format || !format->read) {
        if (format && format->unwrap) input.bytes = format->unwrap(std::move(input.bytes));
        ImageFile image =
            raw_binary(std::move(input.bytes), binary_base, format, input.named, asker);
        if (format) image.format = format;
        return image;
    }
    formats::Read read = format->read(input.bytes);
    if (read.skipped && !other_families)
        throw Refusal{formats::uf2_refusal(
            {uf2::Fault::family_differs, read.skipped->block, 0, read.skipped->family})};
    ImageFile image;
    image.format = format;
    image.data = std::move(read.data);
    image.has_family = read.has_family;
    image.family = read.family;
    image.warnings = std::move(read.warnings);
    image.notes = std::move(read.notes);
    image.skipped = read.skipped;
    image.skipped_count = read.skipped_count;
    image.base = image.data.data.data();
    image.has_entry = image.data.has_entry;
    image.entry = image.data.entry;
    image.loadable =
        std::get<layout::Loadable>(layout::loadable_of_runs(std::move(image.data.runs)));
    return image;
}

}  // namespace velk
