#include "merge.h"

#include <algorithm>

#include "../diagnostics/layout_warnings.h"
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../report/wording.h"
#include "../request/option_table.h"

namespace velk {

namespace {

using text::address;

// A stretch of the merged image and who writes it.
struct Part {
    uint64_t address, size;
    const uint8_t* bytes;  // nullptr: the application's erased flash
    uint64_t end() const { return address + size; }
};

ImageFile read_source(const std::string& file, std::optional<uint64_t> base) {
    try {
        InputFile input = read_input(file);
        if (base) placed_as_raw(input);
        const bool raw = !input.format || input.format->needs_base;
        if (!base && raw)
            throw Refusal{formats::holds_no_addresses(input.format, input.named) +
                          ": give it as " + file + "@0x<address>"};
        ImageFile image = read_image(std::move(input), base);
        if (base && !image.format->needs_base)
            throw Refusal{"@" + address(*base) + " places a raw binary; the file is " +
                          image.format->a_file + ", which holds its addresses"};
        return image;
    } catch (Refusal& refusal) {
        refusal.text = file + ": " + refusal.text;
        throw;
    }
}

// The bytes two sorted, non-overlapping lists of stretches both write: how
// many, and the first and last of them.
struct Shared {
    uint64_t count = 0, first = 0, last = 0;
};

template <class A, class B>
Shared shared_by(const std::vector<A>& a, const std::vector<B>& b) {
    Shared out;
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        uint64_t from = std::max(a[i].address, b[j].address);
        uint64_t to = std::min(a[i].end(), b[j].end());
        if (from < to) {
            if (out.count == 0) out.first = from;
            out.count += to - from;
            out.last = to - 1;
        }
        if (a[i].end() < b[j].end())
            ++i;
        else
            ++j;
    }
    return out;
}

// The application's bytes, its image's fill left out.
std::vector<layout::Piece> data_of(const layout::MemoryMap& map) {
    std::vector<layout::Piece> out;
    for (const layout::Piece& p : map.pieces())
        if (!p.is_fill()) out.push_back(p);
    return out;
}

std::string bytes_text(uint64_t count) {
    return count == 1 ? "1 byte" : std::to_string(count) + " bytes";
}

bool same_file(const std::string& a, const std::string& b) {
    return a == b || platform::same_file(a, b);
}

// --entry: a merged file's start address, the application's, or 0x<address>.
void choose_entry(Merged& merged, const MergeRequest& request, uint64_t application_entry,
                  const Asker& asker) {
    const StartAddress& chosen = *request.entry;
    const std::string entry = asker.given(Option::entry, chosen.text);
    merged.entry_chosen = true;
    if (!chosen.file) {
        merged.entry = read_or_refuse(chosen.address);
        merged.entry_from = wording::EntryFrom::address;
        return;
    }
    const std::string& word = *chosen.file;
    for (size_t k = 0; k < merged.names.size(); ++k)
        if (same_file(word, merged.names[k])) {
            if (!merged.sources[k].has_entry)
                throw Refusal{entry + ": the file has no start address; give one as " +
                              asker.given(Option::entry, "0x<address>")};
            merged.entry = merged.sources[k].entry;
            merged.entry_from = wording::EntryFrom::file;
            merged.entry_file = merged.names[k];
            return;
        }
    if (same_file(word, request.application_file)) {
        merged.entry = application_entry;
        merged.entry_from = wording::EntryFrom::application;
        merged.entry_file.clear();
        return;
    }
    throw Refusal{entry + ": neither a merged file, the application nor a 0x address"};
}

}  // namespace

void refuse_entry_without_merge(const Request& request) {
    if (request.entry && request.merge.empty())
        throw Refusal{std::string(request.asker.name(Option::entry)) +
                      " chooses the merged files' start address: it needs " +
                      request.asker.name(Option::merge)};
}

std::vector<ImageFile> read_merge_files(const std::vector<MergeFile>& files) {
    std::vector<ImageFile> read;
    for (const MergeFile& given : files)
        read.push_back(read_source(
            given.path, given.base ? std::optional(read_or_refuse(*given.base)) : std::nullopt));
    return read;
}

Merged merge_with(const MergeRequest& request, const layout::MemoryMap& application,
                  uint64_t application_entry, const records::Plan& plan,
                  const std::pair<std::string, std::string>& unplaced, bool force,
                  std::optional<uint32_t> uf2_family) {
    Merged merged;
    std::vector<std::string>& names = merged.names;
    merged.sources.reserve(request.files.size());
    for (const MergeFile& given : request.files) {
        const std::string& file = given.path;
        const std::optional<uint64_t> base =
            given.base ? std::optional(read_or_refuse(*given.base)) : std::nullopt;
        if (std::find(names.begin(), names.end(), file) != names.end())
            throw Refusal{file + " is given to " + plan.asker.name(Option::merge) +
                          " twice"};
        merged.sources.push_back(request.read ? (*request.read)[merged.sources.size()]
                                              : read_source(file, base));
        names.push_back(file);
        const ImageFile& source = merged.sources.back();
        for (const std::string& warning : source.warnings)
            merged.warnings.push_back(file + ": " + warning);
        if (uf2_family && source.has_family && source.family != *uf2_family)
            throw Refusal{text::format(
                "%s: a UF2 file for chip family 0x%08X, not the 0x%08X of %s: its "
                "blocks would change family in the merged UF2",
                file.c_str(), source.family, *uf2_family, plan.asker.name(Option::uf2))};
    }

    // A merged file that reaches into the application (a bootloader grown
    // past its partition): where, and by how much.
    const std::vector<layout::Piece> own = data_of(application);
    for (size_t k = 0; k < merged.sources.size(); ++k) {
        Shared both = shared_by(merged.sources[k].loadable.spans, own);
        if (both.count)
            throw Refusal{names[k] + " writes " + bytes_text(both.count) +
                          " where the application writes, from " + address(both.first) +
                          " to " + address(both.last) + ": it reaches into the application"};
    }
    // The application's pieces as they are, its erased flash among them,
    // and every merged file's spans, each sharing the bytes it was read
    // into.
    std::vector<layout::Piece> parts(application.pieces());
    std::vector<layout::Segment> segments = application.segments();
    for (size_t k = 0; k < merged.sources.size(); ++k) {
        const ImageFile& source = merged.sources[k];
        for (const layout::Span& s : source.loadable.spans) {
            // What a record covers must be the application's own bytes.
            for (const records::Planned& p : plan.records) {
                const records::Record& r = p.record;
                uint64_t from = r.reads_bytes() ? std::min(r.start(), r.slot) : r.slot;
                uint64_t to = r.reads_bytes() ? std::max(r.end(), r.slot_end()) : r.slot_end();
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
            parts.push_back({s.address, source.base->data() + s.offset, s.size,
                             layout::erased, source.base});
        }
        for (layout::Segment& segment : segments_of(source))
            segments.push_back(std::move(segment));
    }
    // What is left to share: the erased flash of the application's image,
    // and another merged file's bytes.
    for (size_t k = 0; k < merged.sources.size(); ++k) {
        Shared both = shared_by(merged.sources[k].loadable.spans, application.pieces());
        for (size_t other = 0; other < k && !both.count; ++other) {
            both = shared_by(merged.sources[k].loadable.spans,
                             merged.sources[other].loadable.spans);
            if (both.count)
                throw Refusal{names[k] + " writes " + bytes_text(both.count) + " where " +
                              names[other] + " writes too, from " +
                              address(both.first) + " to " + address(both.last)};
        }
        if (both.count)
            throw Refusal{names[k] + " writes " + bytes_text(both.count) +
                          " of the application's image, its erased flash from " +
                          address(both.first) + " to " + address(both.last)};
    }
    std::stable_sort(parts.begin(), parts.end(),
                     [](const layout::Piece& a, const layout::Piece& b) {
                         return a.address < b.address;
                     });
    std::stable_sort(segments.begin(), segments.end(),
                     [](const layout::Segment& a, const layout::Segment& b) {
                         return a.address < b.address;
                     });

    merged.memory = layout::MemoryMap(plan.fill);
    uint64_t held = 0;
    for (const layout::Piece& p : parts) {
        if (p.bytes)
            merged.memory.append(p);
        else
            merged.memory.append_fill(p.address, p.size);
        held += p.size;
    }
    merged.memory.set_segments(std::move(segments));
    merged.from = parts.front().address;
    merged.to = parts.back().end();
    uint64_t gaps = (merged.to - merged.from) - held;
    if (!unplaced.first.empty() && gaps > diagnostics::padding_limit && !force)
        throw Refusal{wording::bin_of_fill(plan.asker, "merged " + unplaced.first, gaps,
                                           merged.from, merged.to, unplaced.second)};

    merged.entry = application_entry;
    for (size_t k = 0; k < merged.sources.size(); ++k)
        if (merged.sources[k].has_entry) {
            merged.entry = merged.sources[k].entry;
            merged.entry_from = wording::EntryFrom::file;
            merged.entry_file = names[k];
            break;
        }
    if (request.entry) choose_entry(merged, request, application_entry, plan.asker);
    return merged;
}

}  // namespace velk
