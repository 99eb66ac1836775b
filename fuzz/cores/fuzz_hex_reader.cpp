// Intel HEX reading: arbitrary text into read_intel_hex, compared with a
// plain model of the record format; every file it accepts is written
// again with write_intel_hex and read back to the same bytes at the same
// addresses.
#include <map>

#include "../../src/engine/hexfile/hex_reader.h"
#include "../../src/engine/hexfile/intel_hex.h"
#include "../../src/engine/formats/formats.h"
#include "records_model.h"

using namespace fuzzcores;
using velk::layout::ReadFault;

namespace {

uint64_t be(const std::vector<uint8_t>& b, size_t at, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 256 + b[at + i];
    return v;
}

// ":LLAAAATT<LL data bytes>CC". Data addresses are the base from the last
// 02 (segment * 16) or 04 (upper 16 bits) record plus the record's offset;
// a record that runs past the 64 KiB its offset reaches is refused.
Model hex_model(const char* text, size_t size) {
    uint64_t base = 0;
    std::vector<uint8_t> b;
    return run_model(text, size, [&](Model& m, size_t line, const std::string& rec) {
        if (rec[0] != ':' || !model_hex(rec, 1, b) || b.size() < 5 ||
            b.size() != size_t{b[0]} + 5) {
            m.fail(ReadFault::bad_record, line);
            return false;
        }
        unsigned sum = 0;
        for (uint8_t x : b) sum += x;
        if (sum % 256 != 0) {
            m.fail(ReadFault::bad_checksum, line);
            return false;
        }
        const size_t count = b[0];
        const uint64_t offset = be(b, 1, 2);
        const uint8_t type = b[3];
        if (type > 5) {
            m.fail(ReadFault::bad_type, line);
            return false;
        }
        if (type == 0) return m.put_in_window(line, base, 0x10000, offset, b.data() + 4, count);
        const size_t want = type == 1 ? 0 : type == 2 || type == 4 ? 2 : 4;
        if (count != want || offset != 0) {
            // An end-of-file record's address field is not looked at.
            if (!(type == 1 && count == 0)) {
                m.fail(ReadFault::bad_field, line);
                return false;
            }
        }
        switch (type) {
            case 1: m.ended = true; return true;
            case 2: base = be(b, 4, 2) * 16; return true;
            case 4: base = be(b, 4, 2) * 65536; return true;
            default: {
                uint64_t e = type == 3 ? be(b, 4, 2) * 16 + be(b, 6, 2) : be(b, 4, 4);
                if (m.has_entry) {
                    m.fail(ReadFault::entry_twice, line);
                    return false;
                }
                m.has_entry = true;
                m.entry = e;
                return true;
            }
        }
    });
}

// The writer's own layout: a 05 record first, data records of at most 16
// bytes never crossing a 64 KiB page, an 04 record before the first data
// record and at each change of page when any address is at or past 64 KiB
// (none otherwise), the 01 record last; upper-case digits, "\n" endings.
void check_written(const std::string& text, uint64_t highest, bool empty) {
    FUZZ_CHECK(!text.empty() && text.back() == '\n', "written text does not end in a newline");
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    FUZZ_CHECK(lines.size() >= 2, "fewer than two records written");
    const bool paged = !empty && highest > 0xFFFF;
    uint64_t page = 0;
    bool page_set = false, seen_data = false;
    std::vector<uint8_t> b;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        for (size_t k = 1; k < l.size(); ++k)
            FUZZ_CHECK((l[k] >= '0' && l[k] <= '9') || (l[k] >= 'A' && l[k] <= 'F'),
                       "line %zu: not upper-case hex: %s", i + 1, l.c_str());
        FUZZ_CHECK(l[0] == ':' && model_hex(l, 1, b) && b.size() == b[0] + 5u,
                   "line %zu malformed: %s", i + 1, l.c_str());
        uint8_t type = b[3];
        if (i == 0) FUZZ_CHECK(type == 5, "first record is type %d", type);
        if (i + 1 == lines.size()) FUZZ_CHECK(type == 1, "last record is type %d", type);
        if (type == 4) {
            FUZZ_CHECK(paged, "04 record written though every address is below 64 KiB");
            uint64_t p = be(b, 4, 2);
            FUZZ_CHECK(!page_set || p > page, "04 record does not move to a higher page");
            page = p;
            page_set = true;
        } else if (type == 0) {
            FUZZ_CHECK(b[0] >= 1 && b[0] <= 16, "data record of %d bytes", b[0]);
            FUZZ_CHECK(be(b, 1, 2) + b[0] <= 0x10000, "line %zu crosses a 64 KiB page",
                       i + 1);
            if (paged) FUZZ_CHECK(page_set, "data record before any 04 record");
            seen_data = true;
        } else {
            FUZZ_CHECK(type == 5 || type == 1, "unexpected record type %d", type);
        }
    }
    FUZZ_CHECK(seen_data == !empty, "data records written: %d, map empty: %d", seen_data,
               empty);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    ReadResult got = velk::hexfile::read_intel_hex(text, size);
    compare_with_model(got, hex_model(text, size), "input");
    const FileData* fd = std::get_if<FileData>(&got);
    if (!fd) return 0;
    // Whatever the reader takes is recognised as such, after an editor's
    // byte order mark too.
    FUZZ_CHECK(velk::formats::by_content(data, size) == velk::formats::by_name("x.hex"),
               "accepted text not recognised by its first record");
    {
        std::string marked = "\xEF\xBB\xBF" + std::string(text, size);
        const uint8_t* m = reinterpret_cast<const uint8_t*>(marked.data());
        FUZZ_CHECK(velk::formats::by_content(m, marked.size()) ==
                       velk::formats::by_name("x.hex"),
                   "accepted text after a byte order mark not recognised");
    }

    velk::layout::MemoryMap memory = map_of(*fd);
    if (memory.end() > velk::hexfile::address_limit) return 0;
    const uint32_t entry = static_cast<uint32_t>(fd->entry);  // 03 and 05 fit 32 bits
    StringSink sink;
    velk::hexfile::write_intel_hex(memory, entry, sink);
    check_written(sink.text, memory.end() - 1, memory.empty());

    ReadResult back = velk::hexfile::read_intel_hex(sink.text.data(), sink.text.size());
    const FileData* again = std::get_if<FileData>(&back);
    FUZZ_CHECK(again, "written text refused: %s at line %zu",
               fault_name(std::get<ReadFault>(back).kind), std::get<ReadFault>(back).line);
    check_file_data(*again);
    FUZZ_CHECK(bytes_of(*again) == bytes_of(*fd), "round trip changed the bytes");
    FUZZ_CHECK(again->has_entry && again->entry == entry, "round trip entry 0x%llx, wrote 0x%x",
               (unsigned long long)again->entry, entry);
    compare_with_model(back, hex_model(sink.text.data(), sink.text.size()), "written");
    return 0;
}
