// S-record reading: arbitrary text into read_srecord, compared with a
// plain model of the record format; every file it accepts is written again
// with write_srecord and read back to the same bytes at the same addresses.
#include <map>

#include "../../src/engine/srecord/srec_reader.h"
#include "../../src/engine/srecord/srec_writer.h"
#include "../../src/engine/formats/formats.h"
#include "records_model.h"

using namespace fuzzcores;
using velk::layout::ReadFault;

namespace {

// Address bytes of each record type, S0..S9; S4 does not exist.
int address_width(char type) {
    switch (type) {
        case '0': case '1': case '5': case '9': return 2;
        case '2': case '6': case '8': return 3;
        case '3': case '7': return 4;
        default: return -1;
    }
}

// "S<type><count><address><data><checksum>": the count covers address,
// data and checksum; the checksum is the ones' complement of the sum of
// count, address and data. S1-S3 hold data, S5/S6 the number of data
// records before them (the file may end after one), S7-S9 end the file
// with the entry point (0: none); nothing but blank lines follows them.
Model srec_model(const char* text, size_t size) {
    uint64_t data_records = 0;
    std::vector<uint8_t> b;
    return run_model(text, size, [&](Model& m, size_t line, const std::string& rec) {
        // At least the count and the checksum.
        if (rec.size() < 4 || (rec[0] != 'S' && rec[0] != 's') || !model_hex(rec, 2, b) ||
            b.size() < 2 || b.size() != size_t{b[0]} + 1) {
            m.fail(ReadFault::bad_record, line);
            return false;
        }
        const char type = rec[1];
        const int width = address_width(type);
        if (width < 0) {
            m.fail(ReadFault::bad_type, line);
            return false;
        }
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < b.size(); ++i) sum += b[i];
        if (static_cast<uint8_t>(~sum) != b.back()) {
            m.fail(ReadFault::bad_checksum, line);
            return false;
        }
        if (b.size() < size_t(width) + 2) {  // count, address, checksum
            m.fail(ReadFault::bad_field, line);
            return false;
        }
        uint64_t address = 0;
        for (int i = 0; i < width; ++i) address = address * 256 + b[1 + i];
        const uint8_t* payload = b.data() + 1 + width;
        const size_t payload_size = b.size() - 2 - width;
        if (type == '0') return true;
        if (type >= '1' && type <= '3') {
            ++data_records;
            m.may_end = false;
            return m.put_in_window(line, 0, uint64_t{1} << 32, address, payload,
                                   payload_size);
        }
        if (type == '5' || type == '6') {
            if (payload_size != 0) {
                m.fail(ReadFault::bad_field, line);
                return false;
            }
            if (address != data_records) {
                m.fail(ReadFault::count_differs, line);
                m.record = std::string("S") + type;
                m.count = address;
                m.counted = data_records;
                return false;
            }
            m.may_end = true;
            return true;
        }
        if (payload_size != 0) {
            m.fail(ReadFault::bad_field, line);
            return false;
        }
        m.has_entry = address != 0;  // 0: no start address
        m.entry = m.has_entry ? address : 0;
        m.ended = true;
        m.ended_by = std::string("S") + type;
        return true;
    });
}

// The writer's layout: S0 holding the header (cut to 252 bytes), data
// records of 1..16 bytes all of one type (S1/S2/S3, the narrowest that
// holds the highest address and the entry), in ascending address order,
// then the matching termination record (S9/S8/S7); upper-case, "\n".
void check_written(const std::string& text, const std::string& header, uint64_t highest) {
    FUZZ_CHECK(!text.empty() && text.back() == '\n', "written text does not end in a newline");
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    const int width = highest <= 0xFFFF ? 2 : highest <= 0xFFFFFF ? 3 : 4;
    const char data_type = "123"[width - 2], end_type = "987"[width - 2];
    std::vector<uint8_t> b;
    uint64_t next = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        for (size_t k = 1; k < l.size(); ++k)
            FUZZ_CHECK((l[k] >= '0' && l[k] <= '9') || (l[k] >= 'A' && l[k] <= 'F'),
                       "line %zu: not upper-case: %s", i + 1, l.c_str());
        FUZZ_CHECK(l.size() >= 4 && l[0] == 'S' && model_hex(l, 2, b) &&
                       b.size() == b[0] + 1u,
                   "line %zu malformed", i + 1);
        if (i == 0) {
            FUZZ_CHECK(l[1] == '0', "first record S%c", l[1]);
            std::string held(b.begin() + 3, b.end() - 1);
            FUZZ_CHECK(held == header.substr(0, 252), "S0 holds %zu header bytes of %zu",
                       held.size(), header.size());
        } else if (i + 1 == lines.size()) {
            FUZZ_CHECK(l[1] == end_type, "termination S%c, want S%c", l[1], end_type);
        } else {
            FUZZ_CHECK(l[1] == data_type, "data record S%c, want S%c", l[1], data_type);
            size_t n = b.size() - 2 - width;
            FUZZ_CHECK(n >= 1 && n <= 16, "data record of %zu bytes", n);
            uint64_t a = 0;
            for (int k = 0; k < width; ++k) a = a * 256 + b[1 + k];
            FUZZ_CHECK(i == 1 || a >= next, "data records out of address order");
            next = a + n;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    ReadResult got = velk::srecord::read_srecord(text, size);
    compare_with_model(got, srec_model(text, size), "input");
    const FileData* fd = std::get_if<FileData>(&got);
    if (!fd) return 0;
    // Whatever the reader takes is recognised as such, after an editor's
    // byte order mark too.
    FUZZ_CHECK(velk::formats::by_content(data, size) == velk::formats::by_name("x.srec"),
               "accepted text not recognised by its first record");
    {
        std::string marked = "\xEF\xBB\xBF" + std::string(text, size);
        const uint8_t* m = reinterpret_cast<const uint8_t*>(marked.data());
        FUZZ_CHECK(velk::formats::by_content(m, marked.size()) ==
                       velk::formats::by_name("x.srec"),
                   "accepted text after a byte order mark not recognised");
    }

    velk::layout::MemoryMap memory = map_of(*fd);
    if (memory.end() > (uint64_t{1} << 32)) return 0;
    // The input's first bytes as the header: any bytes, sometimes past 252.
    const std::string header(text, size < 300 ? size : 300);
    StringSink sink;
    // Termination records hold 32 bits at most.
    velk::srecord::write_srecord(memory, static_cast<uint32_t>(fd->entry), header, sink);
    check_written(sink.text, header, std::max(memory.end() - 1, fd->entry));

    ReadResult back = velk::srecord::read_srecord(sink.text.data(), sink.text.size());
    const FileData* again = std::get_if<FileData>(&back);
    FUZZ_CHECK(again, "written text refused: %s at line %zu",
               fault_name(std::get<ReadFault>(back).kind), std::get<ReadFault>(back).line);
    check_file_data(*again);
    FUZZ_CHECK(bytes_of(*again) == bytes_of(*fd), "round trip changed the bytes");
    FUZZ_CHECK(again->has_entry == (fd->entry != 0) && again->entry == fd->entry,
               "round trip entry 0x%llx, wrote 0x%llx", (unsigned long long)again->entry,
               (unsigned long long)fd->entry);
    compare_with_model(back, srec_model(sink.text.data(), sink.text.size()), "written");
    return 0;
}
