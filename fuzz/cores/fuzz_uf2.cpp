// UF2: the first input byte picks what the rest is.
//   % 3 == 0  a memory map (pieces of data and erased flash, a fill byte, a
//             family ID) written with write_uf2: every block checked field
//             by field, then read back to the same bytes at the same
//             addresses for every page held, fill elsewhere in those pages
//   % 3 == 1  a file as it is, into read_uf2
//   % 3 == 2  a file whose blocks get their magic numbers and, as the
//             next two bytes' bits say, payload sizes, block numbers,
//             counts, addresses, flags and families that are nearly right
// Every file is also read by a plain model of the format here and the two
// answers compared; every file read is written again and read back. The
// first bytes of a file as it is also name a family.
#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "../../src/engine/uf2/uf2.h"
#include "common.h"

using namespace fuzzcores;
using velk::layout::FileData;
using velk::layout::MemoryMap;
using velk::uf2::Contents;
using velk::uf2::Fault;
namespace uf2 = velk::uf2;

namespace {

const char* fault_name(Fault::Kind kind) {
    static const char* names[] = {
        "bad_size",      "bad_magic",      "bad_payload_size",  "bad_block_number",
        "count_differs", "family_differs", "in_file_container", "address_overflow",
        "block_twice",   "block_missing",  "overlap",           "no_data"};
    return names[kind];
}

uint32_t word(const uint8_t* at) {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 |
           uint32_t{at[3]} << 24;
}

void set_word(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Bytes at consecutive addresses.
struct Run {
    uint64_t address;
    std::vector<uint8_t> bytes;

    bool operator==(const Run& o) const {
        return address == o.address && bytes == o.bytes;
    }
};

// What a correct reader answers: a fault, or the runs of bytes and the
// family.
struct Model {
    bool failed = false;
    Fault fault{Fault::no_data};
    std::vector<Run> runs;
    bool has_family = false;
    uint32_t family = 0;
    // The first flash block with bytes that is not one 256-byte page at a
    // page's address: what SAMD bootloaders skip.
    bool off_page = false;
    size_t off_block = 0;
    uint32_t off_size = 0, off_address = 0;
    // The flash blocks of another family than the first's, skipped: the
    // first of them, and how many.
    size_t skipped = 0, skipped_block = 0;
    bool skipped_has_family = false;
    uint32_t skipped_family = 0, skipped_size = 0, skipped_address = 0;
};

// The format read the plain way: every check in read_uf2's order, each
// data byte listed with its address and block, the list sorted.
Model model_read(const uint8_t* file, size_t size) {
    Model m;
    auto fail = [&](Fault::Kind kind, size_t block = 0, uint64_t address = 0,
                    uint32_t value = 0) {
        m.failed = true;
        m.fault = Fault{kind, block, address, value};
        return m;
    };
    if (size % 512) return fail(Fault::bad_size);
    const size_t count = size / 512;
    std::vector<std::pair<uint32_t, size_t>> numbers;  // (blockNo, block)
    struct Cell {
        uint64_t address;
        size_t block;
        uint8_t value;
    };
    std::vector<Cell> cells;
    uint32_t total = 0;
    bool seen = false;
    for (size_t b = 0; b < count; ++b) {
        const uint8_t* k = file + 512 * b;
        if (word(k) != 0x0A324655 || word(k + 4) != 0x9E5D5157 ||
            word(k + 508) != 0x0AB16F30)
            return fail(Fault::bad_magic, b);
        const uint32_t flags = word(k + 8), target = word(k + 12), n = word(k + 16),
                       no = word(k + 20), blocks = word(k + 24);
        if (n > 476) return fail(Fault::bad_payload_size, b, 0, n);
        if (flags & 0x1000) return fail(Fault::in_file_container, b);
        bool flash = (flags & 1) == 0;
        const bool has = (flags & 0x2000) != 0;
        const uint32_t family = has ? word(k + 28) : 0;
        if (flash && !seen) {
            seen = true;
            m.has_family = has;
            m.family = family;
        } else if (flash && (has != m.has_family || family != m.family)) {
            // Another family's bootloader block: not this file's flash.
            if (m.skipped++ == 0) {
                m.skipped_block = b;
                m.skipped_has_family = has;
                m.skipped_family = family;
                m.skipped_size = n;
                m.skipped_address = target;
            }
            flash = false;
        }
        if (no >= blocks) return fail(Fault::bad_block_number, b, 0, no);
        if (b == 0) total = blocks;
        if (blocks != total) return fail(Fault::count_differs, b, 0, blocks);
        if (flash && uint64_t{target} + n > (uint64_t{1} << 32))
            return fail(Fault::address_overflow, b, target);
        numbers.emplace_back(no, b);
        if (flash && n > 0 && !m.off_page && (n != 256 || target % 256 != 0)) {
            m.off_page = true;
            m.off_block = b;
            m.off_size = n;
            m.off_address = target;
        }
        if (flash)
            for (uint32_t i = 0; i < n; ++i)
                cells.push_back({uint64_t{target} + i, b, k[32 + i]});
    }
    // A number's blocks side by side in file order: the second of a pair
    // repeats it.
    std::sort(numbers.begin(), numbers.end());
    size_t repeat = SIZE_MAX;
    uint32_t repeated = 0;
    for (size_t i = 1; i < numbers.size(); ++i)
        if (numbers[i].first == numbers[i - 1].first && numbers[i].second < repeat) {
            repeat = numbers[i].second;
            repeated = numbers[i].first;
        }
    if (repeat != SIZE_MAX) return fail(Fault::block_twice, repeat, 0, repeated);
    // The lowest number missing is at most the count of blocks.
    std::vector<bool> present(count + 1);
    for (const auto& number : numbers)
        if (number.first <= count) present[number.first] = true;
    for (uint64_t no = 0; no < total && no <= count; ++no)
        if (!present[no])
            return fail(Fault::block_missing, 0, 0, static_cast<uint32_t>(no));
    // An address's blocks side by side in file order: the first address
    // with two is the lowest held twice, the second of them its block.
    std::sort(cells.begin(), cells.end(), [](const Cell& x, const Cell& y) {
        return x.address != y.address ? x.address < y.address : x.block < y.block;
    });
    for (size_t i = 1; i < cells.size(); ++i)
        if (cells[i].address == cells[i - 1].address)
            return fail(Fault::overlap, cells[i].block, cells[i].address);
    if (cells.empty()) return fail(Fault::no_data);
    for (const Cell& cell : cells) {
        if (m.runs.empty() ||
            m.runs.back().address + m.runs.back().bytes.size() != cell.address)
            m.runs.push_back({cell.address, {}});
        m.runs.back().bytes.push_back(cell.value);
    }
    return m;
}

// The shape every result has: runs in address order, apart (payloads that
// continue each other joined), each its index as source, their bytes laid
// end to end in `data`.
void check_contents(const FileData& fd) {
    uint64_t offset = 0;
    for (size_t i = 0; i < fd.runs.size(); ++i) {
        const velk::layout::Span& s = fd.runs[i];
        FUZZ_CHECK(s.size > 0 && s.source == i && s.offset == offset,
                   "run %zu: size %llu source %zu offset %llu", i,
                   (unsigned long long)s.size, s.source, (unsigned long long)s.offset);
        FUZZ_CHECK(i == 0 || s.address > fd.runs[i - 1].end(),
                   "run %zu at 0x%llx not apart from the one before", i,
                   (unsigned long long)s.address);
        FUZZ_CHECK(s.end() <= (uint64_t{1} << 32), "run past 4 GiB");
        offset += s.size;
    }
    FUZZ_CHECK(offset == fd.data.size(), "runs hold %llu bytes, data %zu",
               (unsigned long long)offset, fd.data.size());
    FUZZ_CHECK(!fd.has_entry, "an entry point from UF2");
}

std::vector<Run> runs_of(const FileData& fd) {
    std::vector<Run> out;
    for (const velk::layout::Span& s : fd.runs)
        out.push_back(
            {s.address, std::vector<uint8_t>(fd.data.begin() + s.offset,
                                             fd.data.begin() + s.offset + s.size)});
    return out;
}

using Result = velk::layout::Expected<Contents, Fault>;

void compare(const Result& got, const Model& want, const char* what) {
    if (const Fault* f = std::get_if<Fault>(&got)) {
        FUZZ_CHECK(want.failed, "%s: refused (%s, block %zu) where the model reads it",
                   what, fault_name(f->kind), f->block);
        const Fault& w = want.fault;
        FUZZ_CHECK(f->kind == w.kind && f->block == w.block && f->address == w.address &&
                       f->value == w.value,
                   "%s: %s block %zu address 0x%llx value 0x%x, model %s block %zu "
                   "address 0x%llx value 0x%x",
                   what, fault_name(f->kind), f->block, (unsigned long long)f->address,
                   f->value, fault_name(w.kind), w.block, (unsigned long long)w.address,
                   w.value);
        return;
    }
    const Contents& c = std::get<Contents>(got);
    FUZZ_CHECK(!want.failed, "%s: read where the model refuses it (%s, block %zu)", what,
               fault_name(want.fault.kind), want.fault.block);
    check_contents(c.data);
    FUZZ_CHECK(c.has_family == want.has_family && c.family == want.family,
               "%s: family %d 0x%x, model %d 0x%x", what, c.has_family, c.family,
               want.has_family, want.family);
    FUZZ_CHECK(runs_of(c.data) == want.runs, "%s: bytes differ from the model's", what);
    FUZZ_CHECK(c.off_page.has_value() == want.off_page &&
                   (!want.off_page || (c.off_page->block == want.off_block &&
                                       c.off_page->size == want.off_size &&
                                       c.off_page->address == want.off_address)),
               "%s: off-page block %d, model %d (block %zu, %u bytes at 0x%x)", what,
               c.off_page.has_value(), want.off_page, want.off_block, want.off_size,
               want.off_address);
    FUZZ_CHECK(c.skipped_count == want.skipped && c.skipped.has_value() == (want.skipped > 0) &&
                   (!c.skipped ||
                    (c.skipped->block == want.skipped_block &&
                     c.skipped->has_family == want.skipped_has_family &&
                     c.skipped->family == want.skipped_family &&
                     c.skipped->size == want.skipped_size &&
                     c.skipped->address == want.skipped_address)),
               "%s: %zu blocks of another family skipped, model %zu (first %zu)", what,
               c.skipped_count, want.skipped, want.skipped_block);
}

// Writes `memory` and checks the file block by block against the pages it
// must hold, then reads it back.
void round_trip(const MemoryMap& memory, uint32_t family, uint8_t fill) {
    StringSink sink;
    const bool written = uf2::write_uf2(memory, family, fill, sink);
    if (memory.end() > (uint64_t{1} << 32)) {
        FUZZ_CHECK(!written && sink.text.empty(), "a map past 4 GiB written");
        return;
    }
    FUZZ_CHECK(written, "a map within 4 GiB refused");

    // Every page a piece touches, each made from every piece over it:
    // `fill`, then the pieces' bytes, erased flash as 0xFF.
    std::vector<uint64_t> pages;
    for (const velk::layout::Piece& p : memory.pieces())
        for (uint64_t page = p.address & ~uint64_t{255}; page < p.end(); page += 256)
            pages.push_back(page);
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    std::vector<Run> want;
    for (uint64_t page : pages) {
        std::vector<uint8_t> bytes(256, fill);
        for (const velk::layout::Piece& p : memory.pieces())
            for (uint64_t a = std::max(p.address, page);
                 a < std::min(p.end(), page + 256); ++a)
                bytes[a - page] = p.bytes ? p.bytes[a - p.address] : 0xFF;
        if (!want.empty() && want.back().address + want.back().bytes.size() == page)
            want.back().bytes.insert(want.back().bytes.end(), bytes.begin(), bytes.end());
        else
            want.push_back({page, bytes});
    }

    const std::string& file = sink.text;
    FUZZ_CHECK(file.size() == 512 * pages.size(), "%zu bytes for %zu pages", file.size(),
               pages.size());
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(file.data());
    size_t b = 0;
    for (const Run& run : want)
        for (uint64_t page = run.address; page < run.address + run.bytes.size();
             page += 256) {
            const uint8_t* k = bytes + 512 * b;
            FUZZ_CHECK(word(k) == 0x0A324655 && word(k + 4) == 0x9E5D5157 &&
                           word(k + 508) == 0x0AB16F30,
                       "block %zu: magic", b);
            FUZZ_CHECK(
                word(k + 8) == 0x2000 && word(k + 12) == page && word(k + 16) == 256 &&
                    word(k + 20) == b && word(k + 24) == pages.size() &&
                    word(k + 28) == family,
                "block %zu: flags 0x%x target 0x%x size %u no %u of %u family 0x%x", b,
                word(k + 8), word(k + 12), word(k + 16), word(k + 20), word(k + 24),
                word(k + 28));
            FUZZ_CHECK(
                std::memcmp(k + 32, run.bytes.data() + (page - run.address), 256) == 0,
                "block %zu: the page at 0x%llx differs", b, (unsigned long long)page);
            for (size_t i = 32 + 256; i < 508; ++i)
                FUZZ_CHECK(k[i] == 0, "block %zu: data area byte %zu not zero", b,
                           i - 32);
            ++b;
        }
    if (pages.empty()) return;
    FUZZ_CHECK(uf2::looks_like_uf2(bytes, file.size()), "written file not recognised");

    Result back = uf2::read_uf2(bytes, file.size());
    const Contents* c = std::get_if<Contents>(&back);
    FUZZ_CHECK(c, "written file refused: %s at block %zu",
               fault_name(std::get<Fault>(back).kind), std::get<Fault>(back).block);
    check_contents(c->data);
    FUZZ_CHECK(c->has_family && c->family == family, "family read back 0x%x, wrote 0x%x",
               c->family, family);
    FUZZ_CHECK(!c->off_page, "a written block is not a page at a page's address");
    FUZZ_CHECK(runs_of(c->data) == want, "round trip changed the bytes");
    compare(back, model_read(bytes, file.size()), "written");
}

// A map made from the input: pieces of data or erased flash, gaps between.
void map_mode(Reader& r) {
    static const uint64_t bases[] = {0, 0x08000000, 0x10000000, 0xFFFFF000, 0xFFFFFF00};
    uint64_t at = r.u8() % 6 < 5 ? bases[r.u8() % 5] : r.little(4);
    std::vector<std::unique_ptr<uint8_t[]>> store;
    MemoryMap memory;
    const int pieces = r.u8() % 9;
    for (int i = 0; i < pieces; ++i) {
        const uint8_t how = r.u8();
        uint64_t gap = r.u16();
        if (how & 1) gap %= 8;
        if (how & 2) gap <<= 8;
        at += gap;
        const uint64_t size = 1 + r.u16() % (how & 4 ? 2048 : 300);
        if (how & 8) {
            memory.append_fill(at, size);
        } else {
            store.emplace_back(new uint8_t[size]);
            for (uint64_t k = 0; k < size; ++k) store.back()[k] = r.u8();
            memory.append(at, store.back().get(), size);
        }
        at += size;
    }
    // A checksum record stored over the image, as FLASH stores it.
    if (!memory.empty() && (r.u8() & 1)) {
        static const uint8_t record[4] = {0xDE, 0xAD, 0xBE, 0xEF};
        const uint64_t span = memory.end() - memory.pieces().front().address;
        memory.overlay(memory.pieces().front().address + r.little(4) % span, record, 4);
    }
    const uint8_t fill = r.u8();
    const uint32_t family = static_cast<uint32_t>(r.little(4));
    round_trip(memory, family, fill);
}

// Blocks nearly right, as the bits of `a` and `c` say.
std::string shaped(uint8_t a, uint8_t c, const uint8_t* data, size_t size) {
    std::string file(reinterpret_cast<const char*>(data), size - size % 512);
    const size_t count = file.size() / 512;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&file[0]);
    const size_t unstamped = count ? bytes[0] % count : 0;
    for (size_t b = 0; b < count; ++b) {
        uint8_t* k = bytes + 512 * b;
        if (!(a & 0x80) || b != unstamped) {
            set_word(k, 0x0A324655);
            set_word(k + 4, 0x9E5D5157);
            set_word(k + 508, 0x0AB16F30);
        }
        if (!(a & 0x40)) set_word(k + 16, word(k + 16) % 477);
        if (!(a & 0x20)) {  // numbered in file order, or nearly
            const uint32_t no =
                static_cast<uint32_t>((a & 0x10) ? word(k + 20) % (count + 1) : b);
            set_word(k + 20, no);
            set_word(k + 24, static_cast<uint32_t>(count + ((c & 0x20) ? 1 : 0)));
        }
        if (!(a & 0x08))  // near each other, or near the top of 4 GiB
            set_word(k + 12,
                     (word(k + 12) & 0x7FF) | ((a & 0x04) ? 0xFFFFF800 : 0x10000000));
        if (!(a & 0x02)) {  // the file container flag only when asked
            set_word(k + 8, word(k + 8) & ((c & 0x01) ? 0x3001 : 0x2001));
            if (c & 0x04) set_word(k + 8, word(k + 8) | 0x2000);
        }
        if ((c & 0x08) && b == 0) set_word(k + 28, 0);
        if ((c & 0x02) && b > 0) std::memcpy(k + 28, bytes + 28, 4);
    }
    return file;
}

// The family table, once: each name, in upper case with "_" too, finds its
// row, and so does its ID in hex; "rp2350" is the secure Arm image.
void check_family_table() {
    size_t rows = 0;
    for (const uf2::Family& f : uf2::families()) {
        ++rows;
        std::string upper = f.name;
        for (char& ch : upper) ch = ch == '-' ? '_' : static_cast<char>(std::toupper(ch));
        char hex[11];
        std::snprintf(hex, sizeof hex, "0x%08X", f.id);
        for (const std::string& name : {std::string(f.name), upper, std::string(hex)}) {
            uf2::FamilyChoice c = uf2::find_family(name);
            FUZZ_CHECK(c.found && c.id == f.id && c.family == &f, "%s: not %s",
                       name.c_str(), f.name);
        }
        FUZZ_CHECK(uf2::family_of(f.id) == &f, "%s: another row has its ID", f.name);
    }
    FUZZ_CHECK(rows >= 8, "%zu families", rows);
    const uf2::FamilyChoice rp2350 = uf2::find_family("RP2350");
    FUZZ_CHECK(rp2350.found && rp2350.id == 0xE48BFF59 && rp2350.family &&
                   std::strcmp(rp2350.family->name, "rp2350-arm-s") == 0,
               "rp2350 is 0x%x", rp2350.id);
}

// Any text as a family: a row's name (case and "_" aside), "rp2350", or
// "0x" and 1 to 8 hex digits; nothing else.
void check_family_name(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data),
                           std::min<size_t>(size, 12));
    const uf2::FamilyChoice c = uf2::find_family(text);
    std::string plain;
    for (char ch : text)
        plain +=
            ch == '_' ? '-' : static_cast<char>(std::tolower(static_cast<uint8_t>(ch)));
    if (plain == "rp2350") plain = "rp2350-arm-s";
    const uf2::Family* named = nullptr;
    for (const uf2::Family& f : uf2::families())
        if (plain == f.name) named = &f;
    bool number = text.size() >= 3 && text.size() <= 10 && text[0] == '0' &&
                  (text[1] == 'x' || text[1] == 'X');
    uint32_t id = 0;
    for (size_t i = 2; number && i < text.size(); ++i) {
        const char ch = static_cast<char>(std::tolower(static_cast<uint8_t>(text[i])));
        number = std::isxdigit(static_cast<uint8_t>(ch)) != 0;
        id = id * 16 + static_cast<uint32_t>(ch <= '9' ? ch - '0' : ch - 'a' + 10);
    }
    if (named) {
        FUZZ_CHECK(c.found && c.family == named && c.id == named->id, "name %s missed",
                   text.c_str());
    } else if (number) {
        FUZZ_CHECK(c.found && c.id == id && c.family == uf2::family_of(id),
                   "number %s read as 0x%x", text.c_str(), c.id);
    } else {
        FUZZ_CHECK(!c.found, "%s taken for family 0x%x", text.c_str(), c.id);
    }
}

void read_mode(const uint8_t* file, size_t size, const char* what) {
    const bool magic =
        size >= 8 && word(file) == 0x0A324655 && word(file + 4) == 0x9E5D5157;
    FUZZ_CHECK(uf2::looks_like_uf2(file, size) == magic, "%s: looks_like_uf2 says %d",
               what, !magic);
    Result got = uf2::read_uf2(file, size);
    compare(got, model_read(file, size), what);
    const Contents* c = std::get_if<Contents>(&got);
    if (!c) return;
    // What was read, written again: its runs are a memory map within 4 GiB.
    MemoryMap memory;
    for (const velk::layout::Span& s : c->data.runs)
        memory.append(s.address, c->data.data.data() + s.offset, s.size);
    round_trip(memory, c->family, size ? file[size - 1] : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool table_checked = (check_family_table(), true);
    (void)table_checked;
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;
    switch (mode % 3) {
        case 0: {
            Reader r(data, size);
            map_mode(r);
            break;
        }
        case 1:
            read_mode(data, size, "input");
            check_family_name(data, size);
            break;
        default: {
            Reader r(data, size);
            const uint8_t a = r.u8(), c = r.u8();
            size_t rest = 0;
            const uint8_t* blocks = r.take(size, rest);
            std::string file = shaped(a, c, blocks, rest);
            read_mode(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                      "shaped");
        }
    }
    return 0;
}
