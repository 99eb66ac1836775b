#include "flash_layout.h"

#include <algorithm>

#include "../base/checked_add.h"
#include "memory_map.h"

namespace velk::layout {

namespace {

// Sorts by address, refuses overlaps and groups the spans into clusters.
Expected<Loadable> settle(std::vector<Span> spans) {
    if (spans.empty()) return Fault{Fault::nothing_loadable};
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span& a, const Span& b) { return a.address < b.address; });
    Loadable out;
    for (size_t i = 0; i < spans.size(); ++i) {
        const Span& s = spans[i];
        if (i > 0 && s.address < spans[i - 1].end()) {
            size_t a = spans[i - 1].source, b = s.source;
            return Fault{Fault::overlap, std::min(a, b), std::max(a, b)};
        }
        if (!out.clusters.empty() &&
            s.address - out.clusters.back().end <= join_distance) {
            Cluster& c = out.clusters.back();
            c.end = s.end();
            c.last = i + 1;
        } else {
            out.clusters.push_back({s.address, s.end(), i, i + 1});
        }
    }
    out.spans = std::move(spans);
    return out;
}

// The cluster of the span that comes first in the file's order.
size_t cluster_of_first_span(const Loadable& l) {
    size_t first = 0;
    for (size_t i = 1; i < l.spans.size(); ++i)
        if (l.spans[i].source < l.spans[first].source) first = i;
    for (size_t c = 0; c < l.clusters.size(); ++c)
        if (first < l.clusters[c].last) return c;
    return 0;
}

// The cluster that holds `address` or ends at most 64 KiB below it.
bool cluster_near(const Loadable& l, uint64_t address, size_t& out) {
    auto after =
        std::upper_bound(l.clusters.begin(), l.clusters.end(), address,
                         [](uint64_t a, const Cluster& c) { return a < c.start; });
    if (after == l.clusters.begin()) return false;
    const Cluster& c = *(after - 1);
    if (address >= c.end && address - c.end > join_distance) return false;
    out = static_cast<size_t>(after - 1 - l.clusters.begin());
    return true;
}

uint64_t bytes_within(const Span& s, uint64_t from, uint64_t to) {
    uint64_t a = std::max(s.address, from), b = std::min(s.end(), to);
    return b > a ? b - a : 0;
}

}  // namespace

bool header_table_fits(uint64_t offset, uint64_t entry_size, uint64_t count, bool elf64,
                       uint64_t file_size) {
    if (count == 0) return true;
    if (entry_size < (elf64 ? 56u : 32u) || offset > file_size) return false;
    return count <= (file_size - offset) / entry_size;
}

Expected<Loadable> loadable_of_elf(const std::vector<ProgramHeader>& headers,
                                   uint64_t file_size) {
    std::vector<Span> spans;
    for (size_t i = 0; i < headers.size(); ++i) {
        const ProgramHeader& h = headers[i];
        if (!h.loadable()) continue;
        // Checked before anything is read: a forged size costs nothing.
        if (h.offset > file_size || h.filesz > file_size - h.offset)
            return Fault{Fault::contents_past_file, i};
        uint64_t end;
        if (base::add_overflows(h.paddr, h.size(), end))
            return Fault{Fault::address_overflow, i};
        if (h.own_headers >= h.size()) continue;
        spans.push_back({h.paddr + h.own_headers, h.size() - h.own_headers, i,
                         h.offset + h.own_headers});
    }
    return settle(std::move(spans));
}

Expected<Loadable> loadable_of_runs(std::vector<Span> runs) {
    return settle(std::move(runs));
}

Slot locate_slot(const std::vector<ProgramHeader>& headers, uint64_t value) {
    Slot slot{value, value};
    for (size_t i = 0; i < headers.size(); ++i) {
        const ProgramHeader& h = headers[i];
        if (!h.loadable() || value < h.vaddr || value - h.vaddr >= h.size()) continue;
        slot.in_contents = true;
        slot.segment = i;
        slot.address = value - h.vaddr + h.paddr;
        slot.copied_to_ram = h.vaddr != h.paddr && h.writable;
        return slot;
    }
    for (const ProgramHeader& h : headers)
        if (h.load && value >= h.vaddr && value - h.vaddr < h.memsz)
            slot.memory_only = true;
    return slot;
}

Expected<Image> place_image(const Loadable& l, Request request) {
    Image image{};
    if (request.selector != Selector::name ||
        !cluster_near(l, request.value, image.cluster))
        image.cluster = cluster_of_first_span(l);
    const Cluster& own = l.clusters[image.cluster];
    image.start = own.start;
    image.last_cluster = image.cluster;
    uint64_t record_end = 0;
    // The padding up to the record takes in every cluster it reaches; in
    // block mode the rounding then starts again from the end of what it
    // took in, so that the record follows them rather than lands in them.
    for (uint64_t length = own.end - own.start;;) {
        switch (request.selector) {
            case Selector::name:
                if (request.value < image.start)
                    return Fault{Fault::slot_below_image, image.cluster};
                image.record = request.value;
                break;
            case Selector::address:
                if (base::add_overflows(image.start, request.value, image.record))
                    return Fault{Fault::record_overflow};
                break;
            case Selector::block: {
                uint64_t mask = request.value - 1, rounded;
                if (base::add_overflows(length, mask, rounded) ||
                    base::add_overflows(image.start, rounded & ~mask, image.record))
                    return Fault{Fault::record_overflow};
                break;
            }
        }
        if (base::add_overflows(image.record, request.width, record_end))
            return Fault{Fault::record_overflow};
        image.end = std::max(l.clusters[image.last_cluster].end, record_end);
        size_t reached = image.last_cluster;
        while (reached + 1 < l.clusters.size() &&
               l.clusters[reached + 1].start < image.end) {
            ++reached;
            image.end = std::max(image.end, l.clusters[reached].end);
        }
        if (reached == image.last_cluster || request.selector != Selector::block) {
            image.last_cluster = reached;
            break;
        }
        image.last_cluster = reached;
        length = l.clusters[reached].end - image.start;
    }

    uint64_t held = 0, record_held = 0;
    for (size_t c = image.cluster; c <= image.last_cluster; ++c)
        for (size_t i = l.clusters[c].first; i < l.clusters[c].last; ++i) {
            held += l.spans[i].size;
            record_held += bytes_within(l.spans[i], image.record, record_end);
        }
    image.fill = (image.end - image.start) - held - (request.width - record_held);
    return image;
}

std::vector<Region> outside(const Loadable& l,
                            std::vector<std::pair<uint64_t, uint64_t>> covered) {
    std::sort(covered.begin(), covered.end());
    std::vector<Region> out;
    for (const Span& s : l.spans) {
        uint64_t at = s.address;
        for (const auto& [from, to] : covered) {
            if (to <= at || from >= s.end()) continue;
            if (from > at) out.push_back({at, from - at, s.source});
            at = std::max(at, to);
            if (at >= s.end()) break;
        }
        if (at < s.end()) out.push_back({at, s.end() - at, s.source});
    }
    return out;
}

uint64_t holes_within(const Loadable& l, uint64_t from, uint64_t to) {
    if (to <= from) return 0;
    uint64_t held = 0;
    for (const Span& s : l.spans) held += bytes_within(s, from, to);
    return (to - from) - held;
}

size_t span_holding_record(const Loadable& l, uint64_t address, unsigned width) {
    for (size_t i = 0; i < l.spans.size(); ++i) {
        const Span& s = l.spans[i];
        if (address >= s.address && s.size >= width &&
            address - s.address <= s.size - width)
            return i;
    }
    return l.spans.size();
}

MemoryMap memory_of(const Loadable& l, const Image& image, const Buffer& base) {
    return memory_of(l, {{image.start, image.end}}, base);
}

MemoryMap memory_of(const Loadable& l, std::vector<std::pair<uint64_t, uint64_t>> images,
                    const Buffer& base, uint8_t fill_value) {
    // The images joined where they meet or overlap: the holes to fill.
    std::sort(images.begin(), images.end());
    std::vector<std::pair<uint64_t, uint64_t>> fill;
    for (const auto& image : images) {
        if (image.second <= image.first) continue;
        if (!fill.empty() && image.first <= fill.back().second)
            fill.back().second = std::max(fill.back().second, image.second);
        else
            fill.push_back(image);
    }
    MemoryMap memory(fill_value);
    uint64_t at = 0;  // the end of what the map holds so far
    size_t next = 0;  // the first fill range that may lie above `at`
    auto fill_up_to = [&](uint64_t stop) {
        for (; next < fill.size() && fill[next].first < stop; ++next) {
            uint64_t from = std::max(at, fill[next].first);
            uint64_t to = std::min(stop, fill[next].second);
            if (to > from) memory.append_fill(from, to - from);
            if (fill[next].second > stop) break;  // goes on past this span
        }
    };
    for (const Span& s : l.spans) {
        // Holes inside an image are erased flash.
        if (s.address > at) fill_up_to(s.address);
        memory.append(s.address, base, s.offset, s.size);
        at = s.end();
        while (next < fill.size() && fill[next].second <= at) ++next;
    }
    fill_up_to(UINT64_MAX);
    return memory;
}

MemoryMap spans_of(const Loadable& l, const Buffer& base, uint8_t fill) {
    MemoryMap memory(fill);
    for (const Span& s : l.spans) memory.append(s.address, base, s.offset, s.size);
    return memory;
}

}  // namespace velk::layout
