// The flash layout of a firmware build: fuzzed program headers and a
// checksum request through loadable_of_elf, place_image, outside,
// span_holding_record, locate_slot and memory_of, each against a model of
// the layout rules written here on address ranges (never byte by byte over
// a span of unknown length); then the memory map's read, copy_range,
// overlay and first_difference on the map memory_of made, and a small
// image written as Intel HEX and S-records and read back.
//
// Input, front to back (zero past the end): header count (mod 41), file
// size (16 bits), per header a flags byte (bit 0 PT_LOAD) and
// paddr, vaddr, offset, filesz, memsz each as a tag byte and a value (see
// `number`), then the request and the bytes that steer the memory checks.
#include <algorithm>
#include <vector>

#include "../../src/engine/hexfile/hex_reader.h"
#include "../../src/engine/hexfile/intel_hex.h"
#include "../../src/engine/layout/file_data.h"
#include "../../src/engine/layout/flash_layout.h"
#include "../../src/engine/layout/memory_map.h"
#include "../../src/engine/srecord/srec_reader.h"
#include "../../src/engine/srecord/srec_writer.h"
#include "common.h"

using namespace fuzzcores;
using namespace velk::layout;
using ReadResult = Expected<FileData, ReadFault>;

namespace {

using u128 = unsigned __int128;
constexpr u128 top = u128{1} << 64;  // first address past 64 bits
constexpr uint64_t join = 0x10000;   // the widest gap inside a cluster

// tag % 6: 0 one byte, 1 two, 2 four, 3 eight (little-endian), 4 `near`
// plus, 5 `near` minus (wrapping) up to 0x1FFFF: three bytes, so that a
// gap of exactly 64 KiB, where clusters split, is one step away.
uint64_t number(Reader& in, uint64_t near) {
    switch (in.u8() % 6) {
        case 0: return in.u8();
        case 1: return in.u16();
        case 2: return in.little(4);
        case 3: return in.little(8);
        case 4: return near + (in.little(3) & 0x1FFFF);
        default: return near - (in.little(3) & 0x1FFFF);
    }
}

uint64_t min_size(const ProgramHeader& h) { return std::min(h.filesz, h.memsz); }

// ---- the model -------------------------------------------------------

struct MSpan {
    uint64_t address, size, offset;
    size_t source;
    uint64_t end() const { return address + size; }
};
struct MCluster {
    uint64_t start, end;
    size_t first, last;
};
struct MLayout {
    bool ok = false;
    Fault::Kind kind = Fault::nothing_loadable;
    size_t first = 0;       // contents_past_file, address_overflow
    bool overlap = false;   // some two loadable spans share a byte
    std::vector<MSpan> spans;
    std::vector<MCluster> clusters;
};

bool intersect(const MSpan& a, const MSpan& b) {
    return a.address < b.end() && b.address < a.end();
}

// A PT_LOAD with file bytes puts min(filesz, memsz) of them at p_paddr.
MLayout model_layout(const std::vector<ProgramHeader>& hs, uint64_t file_size) {
    MLayout m;
    for (size_t i = 0; i < hs.size(); ++i) {
        const ProgramHeader& h = hs[i];
        uint64_t n = min_size(h);
        if (!h.load || n == 0) continue;
        if (u128{h.offset} + h.filesz > file_size) {
            m.kind = Fault::contents_past_file;
            m.first = i;
            return m;
        }
        if (u128{h.paddr} + n >= top) {
            m.kind = Fault::address_overflow;
            m.first = i;
            return m;
        }
        m.spans.push_back({h.paddr, n, h.offset, i});
    }
    for (size_t i = 0; i < m.spans.size(); ++i)
        for (size_t j = i + 1; j < m.spans.size(); ++j)
            if (intersect(m.spans[i], m.spans[j])) m.overlap = true;
    if (m.overlap) {
        m.kind = Fault::overlap;
        return m;
    }
    if (m.spans.empty()) return m;
    std::sort(m.spans.begin(), m.spans.end(),
              [](const MSpan& a, const MSpan& b) { return a.address < b.address; });
    for (size_t i = 0; i < m.spans.size(); ++i) {
        const MSpan& s = m.spans[i];
        if (i > 0 && u128{s.address} <= u128{m.clusters.back().end} + join) {
            m.clusters.back().end = s.end();
            m.clusters.back().last = i + 1;
        } else {
            m.clusters.push_back({s.address, s.end(), i, i + 1});
        }
    }
    m.ok = true;
    return m;
}

// Bytes of [from, to) that spans hold.
uint64_t held(const std::vector<MSpan>& spans, uint64_t from, uint64_t to) {
    uint64_t n = 0;
    for (const MSpan& s : spans) {
        uint64_t a = std::max(s.address, from), b = std::min(s.end(), to);
        if (b > a) n += b - a;
    }
    return n;
}

struct MImage {
    bool ok = false;
    Fault::Kind kind = Fault::record_overflow;
    size_t cluster = 0, last_cluster = 0;
    uint64_t start = 0, record = 0, end = 0, fill = 0;
};

MImage model_image(const MLayout& l, Request req) {
    MImage m;
    size_t own = l.clusters.size();
    if (req.selector == Selector::name)  // the cluster holding the slot or ending
        for (size_t c = 0; c < l.clusters.size(); ++c)  // at most 64 KiB below it
            if (l.clusters[c].start <= req.value &&
                u128{req.value} <= u128{l.clusters[c].end} + join)
                own = c;
    if (own == l.clusters.size()) {  // the cluster of the file's first span
        size_t first = 0;
        for (size_t i = 0; i < l.spans.size(); ++i)
            if (l.spans[i].source < l.spans[first].source) first = i;
        for (size_t c = 0; c < l.clusters.size(); ++c)
            if (l.clusters[c].first <= first && first < l.clusters[c].last) own = c;
    }
    const MCluster& c = l.clusters[own];
    m.cluster = own;
    m.start = c.start;
    u128 record;
    switch (req.selector) {
        case Selector::name:
            if (req.value < c.start) {
                m.kind = Fault::slot_below_image;
                return m;
            }
            record = req.value;
            break;
        case Selector::address:
            record = u128{c.start} + req.value;
            break;
        default: {
            u128 length = c.end - c.start, block = req.value;
            record = c.start + (length + block - 1) / block * block;
        }
    }
    m.last_cluster = own;
    uint64_t data_end = c.end;
    for (;;) {
        if (record + 4 >= top) {
            m.kind = Fault::record_overflow;
            return m;
        }
        m.record = static_cast<uint64_t>(record);
        m.end = std::max<uint64_t>(data_end, m.record + 4);
        size_t reached = m.last_cluster;
        for (size_t k = reached + 1; k < l.clusters.size() && l.clusters[k].start < m.end;
             ++k) {
            reached = k;
            data_end = std::max(data_end, l.clusters[k].end);
            m.end = std::max(m.end, l.clusters[k].end);
        }
        bool grew = reached != m.last_cluster;
        m.last_cluster = reached;
        // Block mode rounds again from the end of the clusters the padding
        // took in, so that the record follows them.
        if (!grew || req.selector != Selector::block) break;
        u128 length = data_end - c.start, block = req.value;
        record = c.start + (length + block - 1) / block * block;
    }
    m.fill = (m.end - m.start) - held(l.spans, m.start, m.end) -
             (4 - held(l.spans, m.record, m.record + 4));
    m.ok = true;
    return m;
}

// ---- checks -----------------------------------------------------------

void check_loadable(const Expected<Loadable>& got, const MLayout& m,
                    const std::vector<ProgramHeader>& hs) {
    if (!m.ok) {
        FUZZ_CHECK(std::holds_alternative<Fault>(got), "accepted; the model refuses (%d)",
                   int(m.kind));
        const Fault& f = std::get<Fault>(got);
        FUZZ_CHECK(f.kind == m.kind, "fault %d, the model %d", int(f.kind), int(m.kind));
        if (m.kind == Fault::contents_past_file || m.kind == Fault::address_overflow)
            FUZZ_CHECK(f.first == m.first, "fault names header %zu, the model %zu", f.first,
                       m.first);
        if (m.kind == Fault::overlap) {
            FUZZ_CHECK(f.first < f.second && f.second < hs.size(),
                       "overlap names %zu and %zu", f.first, f.second);
            const ProgramHeader &a = hs[f.first], &b = hs[f.second];
            FUZZ_CHECK(a.loadable() && b.loadable() &&
                           intersect({a.paddr, min_size(a), 0, 0},
                                     {b.paddr, min_size(b), 0, 0}),
                       "overlap names headers %zu and %zu, which share no byte", f.first,
                       f.second);
        }
        return;
    }
    FUZZ_CHECK(std::holds_alternative<Loadable>(got), "refused (%d); the model accepts",
               int(std::get<Fault>(got).kind));
    const Loadable& l = std::get<Loadable>(got);
    FUZZ_CHECK(l.spans.size() == m.spans.size(), "%zu spans, the model %zu", l.spans.size(),
               m.spans.size());
    for (size_t i = 0; i < l.spans.size(); ++i) {
        const Span& s = l.spans[i];
        const MSpan& t = m.spans[i];
        FUZZ_CHECK(s.address == t.address && s.size == t.size && s.source == t.source &&
                       s.offset == t.offset,
                   "span %zu: 0x%llx+%llu src %zu off %llu, the model 0x%llx+%llu src %zu",
                   i, (unsigned long long)s.address, (unsigned long long)s.size, s.source,
                   (unsigned long long)s.offset, (unsigned long long)t.address,
                   (unsigned long long)t.size, t.source);
    }
    FUZZ_CHECK(l.clusters.size() == m.clusters.size(), "%zu clusters, the model %zu",
               l.clusters.size(), m.clusters.size());
    for (size_t i = 0; i < l.clusters.size(); ++i) {
        const Cluster& c = l.clusters[i];
        const MCluster& t = m.clusters[i];
        FUZZ_CHECK(c.start == t.start && c.end == t.end && c.first == t.first &&
                       c.last == t.last,
                   "cluster %zu: [0x%llx,0x%llx) spans %zu..%zu, the model [0x%llx,0x%llx) "
                   "%zu..%zu",
                   i, (unsigned long long)c.start, (unsigned long long)c.end, c.first,
                   c.last, (unsigned long long)t.start, (unsigned long long)t.end, t.first,
                   t.last);
    }
}

void check_image(const Expected<Image>& got, const MImage& m) {
    if (!m.ok) {
        FUZZ_CHECK(std::holds_alternative<Fault>(got) && std::get<Fault>(got).kind == m.kind,
                   "image placed or refused otherwise; the model refuses (%d)", int(m.kind));
        return;
    }
    FUZZ_CHECK(std::holds_alternative<Image>(got), "image refused (%d); the model places it",
               int(std::get<Fault>(got).kind));
    const Image& i = std::get<Image>(got);
    FUZZ_CHECK(i.cluster == m.cluster && i.last_cluster == m.last_cluster &&
                   i.start == m.start && i.record == m.record && i.end == m.end &&
                   i.fill == m.fill,
               "image clusters %zu..%zu [0x%llx,0x%llx) record 0x%llx fill %llu; the model "
               "%zu..%zu [0x%llx,0x%llx) record 0x%llx fill %llu",
               i.cluster, i.last_cluster, (unsigned long long)i.start,
               (unsigned long long)i.end, (unsigned long long)i.record,
               (unsigned long long)i.fill, m.cluster, m.last_cluster,
               (unsigned long long)m.start, (unsigned long long)m.end,
               (unsigned long long)m.record, (unsigned long long)m.fill);
    FUZZ_CHECK(i.offset() == m.record - m.start, "offset");
}

void check_outside(const std::vector<Region>& got, const MLayout& l, const MImage& im) {
    std::vector<Region> want;
    const uint64_t record_end = im.record + 4;
    for (const MSpan& s : l.spans) {
        if (s.address < im.start)
            want.push_back({s.address, std::min(s.end(), im.start) - s.address, s.source});
        if (s.end() > record_end) {
            uint64_t from = std::max(s.address, record_end);
            want.push_back({from, s.end() - from, s.source});
        }
    }
    FUZZ_CHECK(got.size() == want.size(), "%zu regions outside the checksum, the model %zu",
               got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        FUZZ_CHECK(got[i].address == want[i].address && got[i].size == want[i].size &&
                       got[i].source == want[i].source,
                   "region %zu: 0x%llx+%llu src %zu, the model 0x%llx+%llu src %zu", i,
                   (unsigned long long)got[i].address, (unsigned long long)got[i].size,
                   got[i].source, (unsigned long long)want[i].address,
                   (unsigned long long)want[i].size, want[i].source);
    // Together with the bytes of [start, record + 4) they are every loadable byte.
    u128 total = 0, outside = 0;
    for (const MSpan& s : l.spans) total += s.size;
    for (const Region& r : got) outside += r.size;
    FUZZ_CHECK(outside + held(l.spans, im.start, record_end) == total,
               "regions outside and bytes inside do not add up to the loadable bytes");
}

void check_slot(const Slot& got, const std::vector<ProgramHeader>& hs, uint64_t value) {
    // The first loadable segment whose contents hold `value` at its
    // virtual address carries it to flash; failing that, a PT_LOAD whose
    // memory holds it makes it memory-only.
    for (size_t i = 0; i < hs.size(); ++i) {
        const ProgramHeader& h = hs[i];
        if (!h.loadable() || value < h.vaddr || u128{value} >= u128{h.vaddr} + min_size(h))
            continue;
        FUZZ_CHECK(got.in_contents && got.segment == i &&
                       got.address == value - h.vaddr + h.paddr &&
                       got.copied_to_ram == (h.vaddr != h.paddr) && !got.memory_only &&
                       got.value == value,
                   "slot of 0x%llx: segment %zu, the model segment %zu",
                   (unsigned long long)value, got.segment, i);
        return;
    }
    bool memory_only = false;
    for (const ProgramHeader& h : hs)
        if (h.load && value >= h.vaddr && u128{value} < u128{h.vaddr} + h.memsz)
            memory_only = true;
    FUZZ_CHECK(!got.in_contents && got.address == value && got.value == value &&
                   got.memory_only == memory_only,
               "slot of 0x%llx outside every segment's contents: in_contents %d memory_only "
               "%d, the model memory_only %d",
               (unsigned long long)value, got.in_contents, got.memory_only, memory_only);
}

// What a byte of the image's memory is: a span's byte, erased flash inside
// [start, end), nothing elsewhere.
struct Truth {
    const MLayout& l;
    const MImage& im;
    const uint8_t* base;
    // The value read for `a` (0xFF where nothing is), whether the map holds it.
    int at(uint64_t a, bool& holds) const {
        for (const MSpan& s : l.spans)
            if (a >= s.address && a < s.end()) {
                holds = true;
                return base[s.offset + (a - s.address)];
            }
        holds = a >= im.start && a < im.end;
        return erased;
    }
};

void check_pieces_ordered(const MemoryMap& memory, const char* what) {
    const std::vector<Piece>& ps = memory.pieces();
    for (size_t i = 0; i < ps.size(); ++i) {
        FUZZ_CHECK(ps[i].size > 0, "%s: empty piece %zu", what, i);
        FUZZ_CHECK(u128{ps[i].address} + ps[i].size < top || ps[i].end() == 0,
                   "%s: piece %zu wraps", what, i);
        if (i > 0)
            FUZZ_CHECK(ps[i].address >= ps[i - 1].end(), "%s: pieces %zu and %zu overlap",
                       what, i - 1, i);
    }
}

// memory_of's map holds exactly every span's bytes (shared with the
// input at the span's offset) and erased flash in the rest of [start, end).
void check_memory(const MemoryMap& memory, const MLayout& l, const MImage& im,
                  const uint8_t* base) {
    check_pieces_ordered(memory, "memory_of");
    u128 total = 0;
    for (const Piece& p : memory.pieces()) {
        total += p.size;
        if (p.bytes) {
            bool found = false;
            for (const MSpan& s : l.spans)
                if (p.address >= s.address && u128{p.address} + p.size <= s.end()) {
                    FUZZ_CHECK(p.bytes == base + s.offset + (p.address - s.address),
                               "piece at 0x%llx borrows the wrong bytes",
                               (unsigned long long)p.address);
                    found = true;
                }
            FUZZ_CHECK(found, "data piece 0x%llx+%llu lies in no span",
                       (unsigned long long)p.address, (unsigned long long)p.size);
        } else {
            FUZZ_CHECK(p.address >= im.start && p.end() <= im.end && p.end() > p.address,
                       "erased piece 0x%llx+%llu outside the image [0x%llx,0x%llx)",
                       (unsigned long long)p.address, (unsigned long long)p.size,
                       (unsigned long long)im.start, (unsigned long long)im.end);
            FUZZ_CHECK(held(l.spans, p.address, p.end()) == 0,
                       "erased piece 0x%llx+%llu over loadable bytes",
                       (unsigned long long)p.address, (unsigned long long)p.size);
        }
    }
    u128 spans = 0;
    for (const MSpan& s : l.spans) spans += s.size;
    u128 want = spans + (im.end - im.start) - held(l.spans, im.start, im.end);
    FUZZ_CHECK(total == want, "the map holds %llu bytes, the model %llu",
               (unsigned long long)total, (unsigned long long)want);
}

// read() of a window against the model, byte by byte.
void check_window(const MemoryMap& memory, const Truth& truth, uint64_t from, size_t n,
                  const char* what) {
    if (n == 0 || u128{from} + n >= top) return;
    std::vector<uint8_t> out(n);
    uint64_t count = memory.read(from, out.data(), n), want_count = 0;
    for (size_t i = 0; i < n; ++i) {
        bool holds;
        int v = truth.at(from + i, holds);
        want_count += holds;
        FUZZ_CHECK(out[i] == v, "%s: read 0x%llx = %02X, the model %02X", what,
                   (unsigned long long)(from + i), out[i], v);
    }
    FUZZ_CHECK(count == want_count, "%s: read of %zu at 0x%llx holds %llu, the model %llu",
               what, n, (unsigned long long)from, (unsigned long long)count,
               (unsigned long long)want_count);
}

struct Collect final : ChunkSink {
    std::vector<uint8_t> bytes;
    size_t chunk;
    bool short_seen = false;
    void take(uint8_t* data, size_t size) override {
        FUZZ_CHECK(size > 0 && size <= chunk && !short_seen,
                   "copy_range chunk of %zu (chunk %zu) after a short one: %d", size, chunk,
                   short_seen);
        if (size < chunk) short_seen = true;
        bytes.insert(bytes.end(), data, data + size);
    }
};

// A copy of `memory` with each piece cut at the points `cuts` picks.
MemoryMap recut(const MemoryMap& memory, Reader& in) {
    MemoryMap out;
    for (const Piece& p : memory.pieces()) {
        uint64_t at = 0;
        uint8_t cuts = in.u8() % 4;
        for (uint8_t k = 0; k < cuts && at < p.size; ++k) {
            uint64_t len = 1 + in.u16() % (p.size - at);
            if (at + len == p.size) break;
            out.append(p.address + at, p.bytes ? p.bytes + at : nullptr, len);
            at += len;
        }
        out.append(p.address + at, p.bytes ? p.bytes + at : nullptr, p.size - at);
    }
    return out;
}

const char* describe(bool differs, const Difference& d) {
    static char text[128];
    if (!differs) return "none";
    std::snprintf(text, sizeof text, "at 0x%llx expected %d found %d",
                  (unsigned long long)d.address, d.expected, d.found);
    return text;
}

void check_differences(const MemoryMap& memory, const MLayout& l, const MImage& im,
                       const uint8_t* base, Reader& in) {
    (void)l;
    (void)base;
    const uint64_t skip = im.record, skip_end = im.record + 4;
    Difference d{};
    bool found = velk::layout::first_difference(memory, memory, skip, d);
    FUZZ_CHECK(!found, "memory differs from itself: %s", describe(found, d));

    // The same bytes in other pieces.
    MemoryMap cut = recut(memory, in);
    found = first_difference(memory, cut, skip, d);
    FUZZ_CHECK(!found, "memory differs from itself cut otherwise: %s", describe(found, d));
    found = first_difference(cut, memory, skip, d);
    FUZZ_CHECK(!found, "recut memory differs from the original: %s", describe(found, d));

    // Erased flash written out as 0xFF bytes is the same memory.
    static const std::vector<uint8_t> ff(4096, erased);
    MemoryMap spelled;
    for (const Piece& p : memory.pieces())
        spelled.append(p.address, p.is_fill() && p.size <= ff.size() ? ff.data() : p.bytes,
                       p.size);
    found = first_difference(memory, spelled, skip, d);
    FUZZ_CHECK(!found, "erased flash differs from 0xFF bytes: %s", describe(found, d));
    found = first_difference(spelled, memory, skip, d);
    FUZZ_CHECK(!found, "0xFF bytes differ from erased flash: %s", describe(found, d));

    const std::vector<Piece>& ps = memory.pieces();
    if (ps.empty()) return;

    // One byte changed: found at its address, unless it is the record's.
    const size_t k = in.u8() % ps.size();
    const Piece& p = ps[k];
    const uint64_t a = p.address + in.little(8) % p.size;
    const uint8_t old = p.bytes ? p.bytes[a - p.address] : erased;
    const uint8_t now = static_cast<uint8_t>(old ^ (1 + in.u8() % 255));
    MemoryMap changed;
    for (size_t i = 0; i < ps.size(); ++i) {
        if (i != k) {
            changed.append(ps[i].address, ps[i].bytes, ps[i].size);
            continue;
        }
        changed.append(p.address, p.bytes, a - p.address);
        changed.append(a, &now, 1);
        changed.append(a + 1, p.bytes ? p.bytes + (a + 1 - p.address) : nullptr,
                       p.end() - a - 1);
    }
    // The same change inside one whole piece of the file, so that it is
    // found in the middle of a stretch compared at once.
    std::vector<uint8_t> copy;
    MemoryMap whole;
    if (p.size <= 4096 && (in.u8() & 1)) {
        copy.assign(p.size, erased);
        if (p.bytes) std::memcpy(copy.data(), p.bytes, p.size);
        copy[a - p.address] = now;
        for (size_t i = 0; i < ps.size(); ++i)
            whole.append(ps[i].address, i == k ? copy.data() : ps[i].bytes, ps[i].size);
        changed = whole;
    }
    const bool in_record = a >= skip && a < skip_end;
    found = first_difference(memory, changed, skip, d);
    if (in_record)
        FUZZ_CHECK(!found, "the record's byte 0x%llx compared: %s", (unsigned long long)a,
                   describe(found, d));
    else
        FUZZ_CHECK(found && d.address == a && d.expected == old && d.found == now,
                   "changed 0x%llx from %02X to %02X; found %s", (unsigned long long)a, old,
                   now, describe(found, d));
    found = first_difference(changed, memory, skip, d);
    if (in_record)
        FUZZ_CHECK(!found, "the record's byte 0x%llx compared: %s", (unsigned long long)a,
                   describe(found, d));
    else
        FUZZ_CHECK(found && d.address == a && d.expected == now && d.found == old,
                   "build with 0x%llx=%02X against %02X; found %s", (unsigned long long)a,
                   now, old, describe(found, d));

    // One piece left out of the file: a data piece is missed at its first
    // byte outside the record; erased flash may be left out.
    MemoryMap missing;
    for (size_t i = 0; i < ps.size(); ++i)
        if (i != k) missing.append(ps[i].address, ps[i].bytes, ps[i].size);
    found = first_difference(memory, missing, skip, d);
    uint64_t first = p.address;
    if (first >= skip && first < skip_end) first = skip_end;
    if (p.is_fill() || first >= p.end())
        FUZZ_CHECK(!found, "left out %s piece 0x%llx+%llu; found %s",
                   p.is_fill() ? "an erased" : "a record-only", (unsigned long long)p.address,
                   (unsigned long long)p.size, describe(found, d));
    else
        FUZZ_CHECK(found && d.address == first && d.expected == p.bytes[first - p.address] &&
                       d.found == -1,
                   "left out piece 0x%llx+%llu; found %s", (unsigned long long)p.address,
                   (unsigned long long)p.size, describe(found, d));

    // Bytes the file holds where the build has nothing are not compared:
    // a piece of other bytes in a gap of the map, or below or above it.
    static const uint8_t other[64] = {0x5A, 0xA5, 0x00, 0x11};
    uint64_t gap_from = 0, gap_to = ps.front().address;
    const size_t g = in.u8() % (ps.size() + 1);
    if (g > 0) {
        gap_from = ps[g - 1].end();
        gap_to = g < ps.size() ? ps[g].address : (ps.back().end() == 0 ? 0 : ~uint64_t{0});
    }
    const uint64_t room = gap_to > gap_from ? std::min<uint64_t>(gap_to - gap_from, 64) : 0;
    if (room > 0) {
        MemoryMap extra;
        const uint64_t at = gap_to - gap_from > 64 && (in.u8() & 1) ? gap_to - room : gap_from;
        for (size_t i = 0; i < ps.size(); ++i) {
            if (i == g) extra.append(at, other, room);
            extra.append(ps[i].address, ps[i].bytes, ps[i].size);
        }
        if (g == ps.size()) extra.append(at, other, room);
        found = first_difference(memory, extra, skip, d);
        FUZZ_CHECK(!found, "bytes outside the build at 0x%llx+%llu compared: %s",
                   (unsigned long long)at, (unsigned long long)room, describe(found, d));
    }
}

// FLASH writes the stored memory as Intel HEX and S-records; CHECK reads
// them back and compares them with the build: they must hold the same
// bytes, the record's included, and differ from the build nowhere.
void check_written(const MemoryMap& stored, const MemoryMap& memory, uint64_t record,
                   const uint8_t* record_bytes) {
    for (int format = 0; format < 2; ++format) {
        StringSink text;
        if (format == 0)
            velk::hexfile::write_intel_hex(stored, 0x08000000, text);
        else
            velk::srecord::write_srecord(stored, 0, "fuzz", text);
        ReadResult back = format == 0
                              ? velk::hexfile::read_intel_hex(text.text.data(), text.text.size())
                              : velk::srecord::read_srecord(text.text.data(), text.text.size());
        const char* what = format == 0 ? "Intel HEX" : "S-records";
        FUZZ_CHECK(std::holds_alternative<FileData>(back), "%s written, then refused", what);
        const FileData& fd = std::get<FileData>(back);
        MemoryMap file;
        for (const Span& r : fd.runs) file.append(r.address, fd.data.data() + r.offset, r.size);
        Difference d{};
        bool found = first_difference(stored, file, record, d);
        FUZZ_CHECK(!found, "%s read back differs from what was written: %s", what,
                   describe(found, d));
        found = first_difference(memory, file, record, d);
        FUZZ_CHECK(!found, "%s read back differs from the build: %s", what, describe(found, d));
        uint8_t held[4];
        FUZZ_CHECK(file.read(record, held, 4) == 4 && std::memcmp(held, record_bytes, 4) == 0,
                   "%s: the record does not read back", what);
        u128 bytes = 0, written = 0;
        for (const Piece& p : stored.pieces()) bytes += p.size;
        for (const Piece& p : file.pieces()) written += p.size;
        FUZZ_CHECK(bytes == written, "%s holds %llu bytes, the map %llu", what,
                   (unsigned long long)written, (unsigned long long)bytes);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const size_t count = in.u8() % 41;
    const uint64_t file_size = in.u16();
    std::vector<ProgramHeader> hs;
    uint64_t previous_end = 0;
    for (size_t i = 0; i < count; ++i) {
        ProgramHeader h{};
        h.load = in.u8() & 1;
        h.paddr = number(in, previous_end);
        h.vaddr = number(in, h.paddr);
        h.offset = number(in, 0);
        h.filesz = number(in, 0);
        h.memsz = number(in, h.filesz);
        previous_end = h.paddr + min_size(h);
        hs.push_back(h);
    }
    std::vector<uint8_t> file(file_size);
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 167 + 13);
    const Buffer shared = share(file);
    const uint8_t* base = shared->data();

    Expected<Loadable> got = loadable_of_elf(hs, file_size);
    MLayout ml = model_layout(hs, file_size);
    static const bool trace = env_flag("FUZZ_TRACE");
    if (trace) {
        std::fprintf(stderr, "file of %llu bytes, %zu headers\n", (unsigned long long)file_size,
                     hs.size());
        for (const ProgramHeader& h : hs)
            std::fprintf(stderr,
                         "  load %d paddr 0x%llx vaddr 0x%llx offset 0x%llx filesz 0x%llx "
                         "memsz 0x%llx\n",
                         h.load, (unsigned long long)h.paddr, (unsigned long long)h.vaddr,
                         (unsigned long long)h.offset, (unsigned long long)h.filesz,
                         (unsigned long long)h.memsz);
        std::fprintf(stderr, "model: %s (fault %d), %zu spans, %zu clusters\n",
                     ml.ok ? "loadable" : "refused", int(ml.kind), ml.spans.size(),
                     ml.clusters.size());
    }
    check_loadable(got, ml, hs);

    // The request; locate_slot is checked on the value either way.
    Request req{};
    const uint8_t how = in.u8();
    switch (how % 3) {
        case 0: {
            // Slots near a span's start or a cluster's end, where the image
            // takes that cluster or the file's first one.
            req.selector = Selector::name;
            const uint8_t pick = in.u8();
            uint64_t near = 0;
            if (ml.ok)
                near = pick & 1 ? ml.clusters[(pick >> 1) % ml.clusters.size()].end
                                : ml.spans[(pick >> 1) % ml.spans.size()].address;
            uint64_t value = number(in, near);
            Slot slot = locate_slot(hs, value);
            check_slot(slot, hs, value);
            req.value = (how / 3) & 1 ? slot.address : value;
            break;
        }
        case 1: {
            // Offsets near a span's address from the image's start reach
            // the clusters above the first one.
            req.selector = Selector::address;
            uint64_t near = 0;
            if (ml.ok) {
                MImage at0 = model_image(ml, {Selector::address, 0});
                near = ml.spans[in.u8() % ml.spans.size()].address - at0.start;
            }
            req.value = number(in, near);
            break;
        }
        default:
            req.selector = Selector::block;
            req.value = uint64_t{1} << (in.u8() % 64);
    }
    if (!ml.ok) return 0;
    const Loadable& l = std::get<Loadable>(got);

    // The same spans as the runs of a HEX file make the same layout.
    std::vector<Span> runs = l.spans;
    for (size_t i = 0; i < runs.size(); ++i) runs[i].source = i;
    Expected<Loadable> from_runs = loadable_of_runs(runs);
    FUZZ_CHECK(std::holds_alternative<Loadable>(from_runs), "the spans as runs refused");
    const Loadable& lr = std::get<Loadable>(from_runs);
    FUZZ_CHECK(lr.clusters.size() == l.clusters.size(), "runs cluster otherwise");
    for (size_t i = 0; i < lr.clusters.size(); ++i)
        FUZZ_CHECK(lr.clusters[i].start == l.clusters[i].start &&
                       lr.clusters[i].end == l.clusters[i].end,
                   "runs cluster %zu otherwise", i);

    Expected<Image> placed = place_image(l, req);
    MImage mi = model_image(ml, req);
    if (trace)
        std::fprintf(stderr,
                     "request %d 0x%llx; model image %s (fault %d) [0x%llx,0x%llx) record "
                     "0x%llx fill %llu\n",
                     int(req.selector), (unsigned long long)req.value,
                     mi.ok ? "placed" : "refused", int(mi.kind), (unsigned long long)mi.start,
                     (unsigned long long)mi.end, (unsigned long long)mi.record,
                     (unsigned long long)mi.fill);
    check_image(placed, mi);
    if (!mi.ok) return 0;
    const Image& image = std::get<Image>(placed);

    check_outside(outside(l, {{image.start, image.record}, {image.record, image.record + 4}}),
                  ml, mi);
    size_t holder = span_holding_record(l, image.record), want_holder = l.spans.size();
    for (size_t i = 0; i < ml.spans.size(); ++i)
        if (ml.spans[i].address <= image.record && image.record + 4 <= ml.spans[i].end())
            want_holder = i;
    FUZZ_CHECK(holder == want_holder, "record 0x%llx held by span %zu, the model %zu",
               (unsigned long long)image.record, holder, want_holder);

    MemoryMap memory = memory_of(l, image, shared);
    check_memory(memory, ml, mi, base);
    Truth truth{ml, mi, base};

    // Windows around the image's edges, the record and one span's ends.
    const size_t width = 1 + in.u8() % 64;
    const uint64_t spot = ml.spans[in.u8() % ml.spans.size()].address;
    for (uint64_t at : {mi.start, mi.end, mi.record, spot, number(in, spot)}) {
        check_window(memory, truth, at - std::min<uint64_t>(at, width / 2), width, "memory_of");
    }
    for (const MSpan& s : ml.spans) {
        std::vector<uint8_t> out(s.size);
        uint64_t n = memory.read(s.address, out.data(), s.size);
        FUZZ_CHECK(n == s.size && std::equal(out.begin(), out.end(), base + s.offset),
                   "span 0x%llx reads otherwise", (unsigned long long)s.address);
    }

    // The checksummed image, byte by byte, when it is small.
    if (mi.end - mi.start <= (1u << 17)) {
        Collect sink;
        sink.chunk = 1 + in.u16() % 4096;
        // Not more than 4096 chunks: the harness's own work stays small.
        sink.chunk = std::max<size_t>(sink.chunk, (mi.end - mi.start) / 4096 + 1);
        sink.bytes.reserve(mi.end - mi.start);
        copy_range(memory, mi.start, mi.end, sink, sink.chunk);
        FUZZ_CHECK(sink.bytes.size() == mi.end - mi.start, "copy_range gave %zu bytes of %llu",
                   sink.bytes.size(), (unsigned long long)(mi.end - mi.start));
        // Erased flash, with each span's bytes laid over it.
        std::vector<uint8_t> want(mi.end - mi.start, erased);
        for (const MSpan& s : ml.spans) {
            uint64_t from = std::max(s.address, mi.start), to = std::min(s.end(), mi.end);
            if (to > from)
                std::memcpy(want.data() + (from - mi.start),
                            base + s.offset + (from - s.address), to - from);
        }
        if (sink.bytes != want) {
            size_t i = std::mismatch(want.begin(), want.end(), sink.bytes.begin()).first -
                       want.begin();
            FUZZ_CHECK(false, "copy_range 0x%llx = %02X, the model %02X",
                       (unsigned long long)(mi.start + i), sink.bytes[i], want[i]);
        }
    }

    check_differences(memory, ml, mi, base, in);

    // The checksum record stored over the image: only its 4 bytes change,
    // and the comparison that skips the record sees no difference.
    uint8_t record[4] = {in.u8(), in.u8(), in.u8(), in.u8()};
    MemoryMap stored = memory;
    // Shared rather than copied, so that its piece is known by its bytes.
    stored.overlay(image.record, record, 4, Keeper());
    check_pieces_ordered(stored, "overlay");
    uint8_t back[4];
    FUZZ_CHECK(stored.read(image.record, back, 4) == 4 && std::memcmp(back, record, 4) == 0,
               "the record does not read back");
    // Every other piece lies within one of memory_of's, sharing the
    // same bytes (or erased flash where that one is).
    const std::vector<Piece>& was = memory.pieces();
    for (const Piece& p : stored.pieces()) {
        if (p.bytes == record) {
            FUZZ_CHECK(p.address == image.record && p.size == 4, "the record piece moved");
            continue;
        }
        FUZZ_CHECK(p.end() <= image.record || p.address >= image.record + 4,
                   "piece 0x%llx+%llu over the record", (unsigned long long)p.address,
                   (unsigned long long)p.size);
        bool kept = false;
        for (const Piece& q : was)
            if (p.address >= q.address && p.end() <= q.end() && p.end() > p.address)
                kept = q.bytes ? p.bytes == q.bytes + (p.address - q.address) : !p.bytes;
        FUZZ_CHECK(kept, "piece 0x%llx+%llu after overlay lies in no piece of the map before",
                   (unsigned long long)p.address, (unsigned long long)p.size);
    }
    uint8_t around[16], expect[16];
    const uint64_t low = image.record - std::min<uint64_t>(image.record, 6);
    const size_t n = static_cast<size_t>(std::min<u128>(16, top - 1 - low));
    stored.read(low, around, n);
    memory.read(low, expect, n);
    for (size_t i = 0; i < n; ++i) {
        uint64_t a = low + i;
        uint8_t want = a >= image.record && a - image.record < 4 ? record[a - image.record]
                                                                 : expect[i];
        FUZZ_CHECK(around[i] == want, "after overlay 0x%llx = %02X, want %02X",
                   (unsigned long long)a, around[i], want);
    }
    u128 before = 0, after = 0;
    for (const Piece& p : memory.pieces()) before += p.size;
    for (const Piece& p : stored.pieces()) after += p.size;
    FUZZ_CHECK(before == after, "overlay changed how many bytes the map holds");
    Difference d{};
    bool found = first_difference(memory, stored, image.record, d);
    FUZZ_CHECK(!found, "the stored record is compared: %s", describe(found, d));
    found = first_difference(stored, memory, image.record, d);
    FUZZ_CHECK(!found, "the stored record is compared: %s", describe(found, d));

    // Small enough to write out: at most 16 KiB, below 4 GiB.
    if (before <= 0x4000 && stored.end() <= (uint64_t{1} << 32))
        check_written(stored, memory, image.record, record);
    return 0;
}
