#include "merge.h"

#include <algorithm>

#include "../adapter/text.h"
#include "../diagnostics/layout_warnings.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../report/wording.h"

namespace velk {

namespace {

using text::address;

// A stretch of the merged image and who writes it.
struct Part {
    uint64_t address, size;
    const uint8_t* bytes;  // nullptr: the application's erased flash
    size_t owner;          // 0: the application; k: merged file k - 1
    uint64_t end() const { return address + size; }
};

// "boot.bin@0x08000000": the file and where a raw binary starts.
std::pair<std::string, std::optional<uint64_t>> split(const std::string& given) {
    size_t at = given.rfind('@');
    if (at == std::string::npos || given.compare(at + 1, 2, "0x") != 0) return {given, {}};
    uint64_t base = 0;
    if (!read_hex_address(given.substr(at + 1), base))
        throw Refusal{"--merge " + given + ": \"" + given.substr(at + 1) +
                      "\" is not an address"};
    return {given.substr(0, at), base};
}

ImageFile read_source(const std::string& file, std::optional<uint64_t> base) {
    try {
        InputFile input = read_input(text_object(file).get());
        if (!base && input.kind == layout::FileKind::other)
            throw Refusal{"neither an ELF, Intel HEX, S-record nor UF2 file; a raw binary "
                          "holds no addresses: give it as " + file + "@0x<address>"};
        ImageFile image = read_image(std::move(input), base);
        if (base && image.kind != layout::FileKind::other)
            throw Refusal{"@" + address(*base) + " places a raw binary; the file is " +
                          format_name(image.kind) + ", which holds its addresses"};
        return image;
    } catch (Refusal& refusal) {
        refusal.text = file + ": " + refusal.text;
        throw;
    }
}

}  // namespace

Merged merge_with(const std::vector<std::string>& files,
                  const layout::MemoryMap& application, uint64_t application_entry,
                  const records::Plan& plan, bool bin, bool force,
                  std::optional<uint32_t> uf2_family) {
    Merged merged;
    std::vector<std::string> names;
    merged.sources.reserve(files.size());
    for (const std::string& given : files) {
        auto [file, base] = split(given);
        if (std::find(names.begin(), names.end(), file) != names.end())
            throw Refusal{file + " is given to --merge twice"};
        merged.sources.push_back(read_source(file, base));
        names.push_back(file);
        const ImageFile& source = merged.sources.back();
        for (const std::string& warning : source.warnings)
            merged.warnings.push_back(file + ": " + warning);
        if (uf2_family && source.has_family && source.family != *uf2_family)
            throw Refusal{text::format(
                "%s: a UF2 file for chip family 0x%08X, not the 0x%08X of --uf2: its "
                "blocks would change family in the merged UF2",
                file.c_str(), source.family, *uf2_family)};
    }

    std::vector<Part> parts;
    for (const layout::Piece& p : application.pieces())
        parts.push_back({p.address, p.size, p.bytes, 0});
    for (size_t k = 0; k < merged.sources.size(); ++k) {
        const ImageFile& source = merged.sources[k];
        for (const layout::Span& s : source.loadable.spans) {
            // What a record covers must be the application's own bytes.
            for (const records::Planned& p : plan.records) {
                const records::Record& r = p.record;
                uint64_t from = r.reads_bytes() ? std::min(r.start, r.slot) : r.slot;
                uint64_t to = r.reads_bytes() ? std::max(r.end, r.slot_end()) : r.slot_end();
                if (s.address < to && from < s.end())
                    throw Refusal{names[k] + " writes " +
                                  address(std::max(s.address, from)) + ", inside what " +
                                  r.label + " covers (" + address(from) + " to " +
                                  address(to) + "): merged bytes must lie outside the "
                                  "checksummed ranges"};
            }
            if (s.end() > uint64_t{1} << 32)
                throw Refusal{names[k] + " writes " + address(s.address) + " to " +
                              address(s.end()) + ", past 4 GiB, which Intel HEX cannot "
                              "address"};
            parts.push_back({s.address, s.size, source.base + s.offset, k + 1});
        }
    }
    std::stable_sort(parts.begin(), parts.end(),
                     [](const Part& a, const Part& b) { return a.address < b.address; });
    auto owner_name = [&](size_t owner) {
        return owner == 0 ? std::string("the application") : names[owner - 1];
    };
    for (size_t i = 1; i < parts.size(); ++i)
        if (parts[i].address < parts[i - 1].end()) {
            size_t a = std::min(parts[i - 1].owner, parts[i].owner);
            size_t b = std::max(parts[i - 1].owner, parts[i].owner);
            throw Refusal{owner_name(b) + " writes " + address(parts[i].address) +
                          ", which " + owner_name(a) + " writes too" +
                          (a == b ? " (twice)" : "")};
        }

    merged.memory = layout::MemoryMap(plan.fill);
    uint64_t held = 0;
    for (const Part& p : parts) {
        if (p.bytes)
            merged.memory.append(p.address, p.bytes, p.size);
        else
            merged.memory.append_fill(p.address, p.size);
        held += p.size;
    }
    merged.from = parts.front().address;
    merged.to = parts.back().end();
    uint64_t gaps = (merged.to - merged.from) - held;
    if (bin && gaps > diagnostics::padding_limit && !force)
        throw Refusal{wording::bin_of_fill("merged .bin", gaps, merged.from, merged.to)};

    merged.entry = application_entry;
    for (size_t k = 0; k < merged.sources.size(); ++k)
        if (merged.sources[k].has_entry) {
            merged.entry = merged.sources[k].entry;
            merged.entry_from = names[k];
            break;
        }
    return merged;
}

}  // namespace velk
