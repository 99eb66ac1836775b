#include "image_file.h"

#include <algorithm>

#include "../base/checked_add.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"

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
    if (base::add_overflows(*base, bytes.size(), end))
        throw Refusal{"a raw binary of " + std::to_string(bytes.size()) + " bytes at " +
                      text::address(*base) + " would reach past 64-bit addresses"};
    ImageFile image;
    image.format = &formats::unnamed();
    image.base = layout::share(std::move(bytes));
    image.loadable = std::get<layout::Loadable>(
        layout::loadable_of_runs({{*base, image.base->size(), 0, 0}}));
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
        image.base = image.elf.file_buffer;
        // e_entry 0: the file has no entry point.
        image.entry = image.elf.file.header.entry;
        image.has_entry = image.entry != 0;
        return image;
    }
    if (!format || !format->read) {
        if (format && format->refuse_placed && binary_base)
            format->refuse_placed(input.bytes, *binary_base);
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
    image.digest_check = std::move(read.digest_check);
    image.machine = read.machine;
    image.machine_said = std::move(read.machine_said);
    image.base = layout::share(std::move(image.data.data));
    image.has_entry = image.data.has_entry;
    image.entry = image.data.entry;
    image.loadable =
        std::get<layout::Loadable>(layout::loadable_of_runs(std::move(image.data.runs)));
    return image;
}

std::vector<layout::Segment> segments_of(const ElfBuild& elf) {
    std::vector<layout::Segment> out;
    for (const layout::Span& span : elf.loadable.spans) {
        const uint32_t flags = elf.file.segments[span.source].flags;
        layout::Segment segment{span.address, span.size, flags, {}};
        // A section is in the segment whose file bytes hold its own, as a
        // linker map and objcopy place it; in address order.
        std::vector<const elf::SectionHeader*> held;
        for (const elf::SectionHeader& s : elf.file.sections)
            if ((s.flags & elf::shf_alloc) && s.type != elf::sht_nobits && s.size &&
                s.offset < span.offset + span.size && span.offset < s.offset + s.size)
                held.push_back(&s);
        std::stable_sort(held.begin(), held.end(),
                         [](const elf::SectionHeader* a, const elf::SectionHeader* b) {
                             return a->offset < b->offset;
                         });
        for (const elf::SectionHeader* s : held)
            segment.sections.push_back(section_name(elf, *s));
        out.push_back(std::move(segment));
    }
    return out;
}

std::vector<layout::Segment> segments_of(const ImageFile& image) {
    if (image.elf.file_buffer) return segments_of(image.elf);
    std::vector<layout::Segment> out;
    for (const layout::Span& span : image.loadable.spans)
        out.push_back({span.address, span.size, 0, {}});
    return out;
}

}  // namespace velk
