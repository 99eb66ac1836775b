// The stamps' words, the devices they give and CHECK's one value: a table
// of words with the bytes, ids and refusals a production line expects of
// them, worked out by hand (1001 = 0x03E9, "ab" = 61 62), and CSVs and
// blob folders written to the scratch folder as a spreadsheet and a key
// generator would write them.
#ifdef _WIN32
#include <direct.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../src/engine/platform/platform.h"
#include "../../src/engine/report/refusal.h"
#include "../../src/engine/report/text.h"
#include "../../src/engine/stamps/stamps.h"
#include "checks.h"

// Named, not anonymous: a unity build joins this file with the test
// program's own.
namespace stamp_words {

using namespace velk::stamps;

int failures = 0;

void expect(bool ok, const std::string& what) {
    engine_checks::count(ok, "stamps: ", what, failures);
}

velk::StampWord word(const std::string& text) {
    const size_t equals = text.find('=');
    velk::StampWord w;
    w.place = text.substr(0, equals);
    if (equals != std::string::npos) w.values = text.substr(equals + 1);
    w.word = "--stamp " + text;
    return w;
}

// What this file wrote, taken away when it is done: the scratch folder
// holds the command line's files alone.
std::vector<std::string> files, folders;

// A folder of the scratch folder's (there from a run stopped before, or made).
void make_folder(const std::string& path) {
#ifdef _WIN32
    ::_mkdir(path.c_str());
#else
    ::mkdir(path.c_str(), 0755);
#endif
    folders.insert(folders.begin(), path);
}

void clean_up() {
    for (const std::string& file : files) velk::platform::remove(file);
    for (const std::string& folder : folders)
#ifdef _WIN32
        ::_rmdir(folder.c_str());
#else
        ::rmdir(folder.c_str());
#endif
}

void write(const std::string& path, const std::string& bytes) {
    velk::platform::remove(path);
    velk::platform::NewFile file;
    if (file.create(path) || file.write(bytes.data(), bytes.size()) ||
        file.sync_and_close())
        throw std::runtime_error("cannot write " + path);
    file.keep();
    files.push_back(path);
}

// What a call refused, or "" when it did not.
template <class F>
std::string refusal_of(F call) {
    try {
        call();
    } catch (const velk::Refusal& r) {
        return r.text;
    }
    return "";
}

bool has(const std::string& text, const std::string& part) {
    return !part.empty() && text.find(part) != std::string::npos;
}

void words() {
    struct Case {
        const char* text;
        const char* refusal;  // a part of it
    };
    // clang-format off
    const Case refused[] = {
        {"serial_no=serial:10..5", "--stamp serial_no=serial:10..5: the last serial (5) is "
                                   "below the first (10)"},
        {"serial_no", "expected serial:<first>[..<last>]"},
        {"1st=serial:1", "the place \"1st\" is neither a symbol nor 0x<address>:<size>"},
        {"a-b=serial:1", "the place \"a-b\" is neither"},
        {"0x08000000:0=serial:1", "size 1 or more"},
        {"0x08000000=serial:1", "0x<address>:<size>"},
        {"=serial:1", "a symbol or 0x<address>:<size> before the '='"},
        {"s=serial:12a", "\"12a\" is not a serial number"},
        {"s=serial:-1", "\"-1\" is not a serial number"},
        {"s=serial:1..", "\"\" is not a last serial number"},
        {"s=serial:18446744073709551616", "is not a serial number"},
        {"m=mac:02:00:00:00:00", "is not a MAC address"},
        {"m=mac:02:00-00:00:00:01", "is not a MAC address"},
        {"m=mac:02:00:00:00:00:0g", "is not a MAC address"},
        {"c=csv:line.csv", "expected csv:<file>:<column>"},
        {"c=csv:line.csv:", "expected csv:<file>:<column>"},
        {"c=csv::text", "expected csv:<file>:<column>"},
        {"k=file:keys/", "expected file:<folder>/<pattern>"},
        {"k=file:k*/a.bin", "'*' and '?' match file names in one folder"},
        {"k=flie:keys/*.bin", "\"flie:keys/*.bin\" is not a source of values"},
        {"k=", "no values after the place"},
    };
    // clang-format on
    for (const Case& c : refused) {
        const std::string got = refusal_of([&] { read_stamp(word(c.text)); });
        expect(has(got, c.refusal), std::string(c.text) + " refused with \"" + c.refusal +
                                        "\", not \"" + got + "\"");
        expect(got.rfind(std::string("--stamp ") + c.text + ": ", 0) == 0,
               std::string(c.text) + ": the refusal names the word first: " + got);
    }

    const Stamp windows = read_stamp(word("id=csv:C:\\line\\x.csv:serial:text"));
    expect(windows.path == "C:\\line\\x.csv" && windows.column == "serial" &&
               windows.cell == Stamp::Cell::text,
           "a Windows path keeps its drive's ':'");
    const Stamp bytes = read_stamp(word("id=csv:C:\\x.csv:key:bytes"));
    expect(bytes.path == "C:\\x.csv" && bytes.column == "key" &&
               bytes.cell == Stamp::Cell::bytes,
           "csv:<file>:<column>:bytes");
    const Stamp column_named_text = read_stamp(word("id=csv:x.csv:text"));
    expect(column_named_text.column == "text" &&
               column_named_text.cell == Stamp::Cell::integer,
           "a column named text is a column");
    const Stamp drive_and_text = read_stamp(word("id=csv:C:\\x.csv:text"));
    expect(drive_and_text.path == "C:\\x.csv" && drive_and_text.column == "text" &&
               drive_and_text.cell == Stamp::Cell::integer,
           "a Windows path and a column named text");
    const Stamp by_address = read_stamp(word("0x0800FF00:0x10=serial:0x00a0"));
    expect(!by_address.place.symbol && by_address.place.address == 0x0800FF00 &&
               by_address.place.size == 16 && by_address.hex && by_address.digits == 4 &&
               by_address.first == 0xA0 && !by_address.last,
           "0x0800FF00:0x10=serial:0x00a0");
    const Stamp symbol = read_stamp(word("$d.serial_no=mac:02-00-00-00-00-01"));
    expect(symbol.place.symbol == std::string("$d.serial_no") &&
               symbol.mac == 0x020000000001,
           "a linker's symbol, a MAC between '-'");
    const Stamp blobs = read_stamp(word("key=file:keys/key_*.bin"));
    expect(blobs.path == "keys/" && blobs.pattern == "key_*.bin", "file:keys/key_*.bin");
}

// A device's values, as hex digits and as shown, for the tables below.
std::string values_of(const Devices& d, size_t device) {
    std::string out = d.ids[device];
    for (size_t s = 0; s < d.stamps; ++s)
        out += " " + velk::text::hex(d.value(device, s).bytes) + "/" +
               d.value(device, s).shown;
    return out;
}

void devices(const std::string& scratch) {
    const std::string dir = scratch + "/stamps";
    for (const char* folder : {"", "/keys", "/same"}) make_folder(dir + folder);
    // Excel's "CSV UTF-8": a byte order mark, CRLF; a quoted name holding
    // a comma, a quote and a line break; a blank last line.
    write(dir + "/line.csv",
          "\xEF\xBB\xBF"
          "id,serial,name,key\r\n"
          "A-1,1001,\"Lab, \"\"east\"\"\",00112233\r\n"
          "A-2,0x3EA,\"two\r\nlines\",44556677\r\n"
          "A-3,1003,,8899aabb\r\n\r\n");
    write(dir + "/short.csv", "id,serial\nA-1,1\nA-2\n");
    write(dir + "/twice.csv", "id,serial\nA-1,1\nB,2\na-1,3\n");
    write(dir + "/escape.csv", "id,serial\n../etc,1\n");
    write(dir + "/open.csv", "id,serial\n\"A-1,1\n");
    write(dir + "/keys/key_1.bin", "\x01\x02\x03\x04");
    write(dir + "/keys/key_2.bin", "\x05\x06\x07\x08");
    write(dir + "/keys/key_10.bin", "\x09\x0a\x0b\x0c");
    write(dir + "/keys/.key_0.bin", "hide");
    write(dir + "/keys/notes.txt", "not a key");
    write(dir + "/same/a.bin", "abcd");
    write(dir + "/same/b.bin", "abcd");
    const std::string csv = "csv:" + dir + "/line.csv:";
    const std::string keys = "file:" + dir + "/keys/*.bin";

    struct Case {
        const char* name;
        std::vector<std::string> words;
        std::vector<uint64_t> widths;
        std::optional<uint64_t> count;
        bool big_endian;
        std::vector<std::string> expected;  // each device's values_of
        std::string refusal;                // a part of it
    };
    // clang-format off
    const Case cases[] = {
        {"serials, little-endian", {"s=serial:1001..1003"}, {4}, {}, false,
         {"1001 e9030000/1001", "1002 ea030000/1002", "1003 eb030000/1003"}, ""},
        {"hex serials, big-endian, as typed", {"s=serial:0x00fe"}, {2}, 2, true,
         {"0x00fe 00fe/0x00fe", "0x00ff 00ff/0x00ff"}, ""},
        {"decimal serials keep their digits", {"s=serial:0098"}, {1}, 3, false,
         {"0098 62/0098", "0099 63/0099", "0100 64/0100"}, ""},
        {"a place wider than 8 bytes", {"s=serial:1"}, {10}, 1, true,
         {"1 00000000000000000001/1"}, ""},
        {"MACs counting over a byte", {"m=mac:02:00:00:00:00:ff", "s=serial:7"}, {6, 1}, 2, false,
         {"0200000000ff 0200000000ff/02:00:00:00:00:ff 07/7",
          "020000000100 020000000100/02:00:00:00:01:00 08/8"}, ""},
        {"a CSV's cells",
         {"id=" + csv + "serial", "n=" + csv + "name:text", "k=" + csv + "key:bytes"},
         {2, 12, 4}, {}, false,
         {"A-1 e903/1001 4c61622c2022656173742200/Lab, \"east\" 00112233/00112233",
          "A-2 ea03/0x3EA 74776f0d0a6c696e65730000/two\r\nlines 44556677/44556677",
          "A-3 eb03/1003 000000000000000000000000/ 8899aabb/8899aabb"}, ""},
        {"blobs in name order", {"k=" + keys, "s=serial:5"}, {4, 1}, {}, false,
         {"key_1 01020304/key_1.bin 05/5", "key_10 090a0b0c/key_10.bin 06/6",
          "key_2 05060708/key_2.bin 07/7"}, ""},
        {"a serial past its byte", {"s=serial:250"}, {1}, 10, false, {},
         "10 devices count to serial 259, which does not fit the place's 1 byte"},
        {"a MAC past the last", {"m=mac:ff:ff:ff:ff:ff:fe"}, {6}, 3, false, {},
         "3 devices count past ff:ff:ff:ff:ff:ff"},
        {"a MAC in 4 bytes", {"s=serial:1..2", "m=mac:02:00:00:00:00:01"}, {1, 4}, {}, false, {},
         "a MAC address takes 6 bytes, but the place's 4 bytes"},
        {"a place of no size", {"s=serial:1..2"}, {0}, {}, false, {},
         "the place \"s\" has no size"},
        {"every 64-bit serial", {"s=serial:0..0xFFFFFFFFFFFFFFFF"}, {8}, {}, false, {},
         "18446744073709551615 devices in one run (--stamp s=serial:0..0xFFFFFFFFFFFFFFFF gives "
         "18446744073709551615), more than 1000000: split it"},
        {"too many asked for", {"s=serial:1"}, {4}, 1000001, false, {},
         "1000001 devices in one run (the count asked for is 1000001), more than 1000000"},
        {"no count", {"s=serial:1", "m=mac:02:00:00:00:00:01"}, {1, 6}, {}, false, {},
         "no stamp says how many devices there are: give --count <n>"},
        {"counts that differ", {"s=serial:1..10"}, {1}, 5, false, {},
         "--stamp s=serial:1..10 gives 10 devices, but the count asked for is 5: every stamp "
         "must give each device one value"},
        {"a CSV and a range that differ", {"id=" + csv + "serial", "s=serial:1..5"}, {2, 1}, {},
         false, {},
         "--stamp s=serial:1..5 gives 5 devices, but --stamp id=csv:" + dir +
             "/line.csv:serial gives 3"},
        {"serial ranges that meet", {"a=serial:1..10", "b=serial:5..14"}, {1, 1}, {}, false, {},
         "--stamp a=serial:1..10 and --stamp b=serial:5..14 give serial 5 twice: to device 5 "
         "and to device 1"},
        {"MAC ranges that meet", {"a=mac:02:00:00:00:00:05", "b=mac:02:00:00:00:00:01"}, {6, 6},
         5, false, {}, "give MAC 02:00:00:00:00:05 twice: to device 020000000005 and to device "
                       "020000000009"},
        {"a missing column", {"id=" + csv + "serail"}, {2}, {}, false, {},
         "has no column \"serail\"; its columns are \"id\", \"serial\", \"name\", \"key\""},
        {"a short row", {"id=csv:" + dir + "/short.csv:serial"}, {2}, {}, false, {},
         "line 3 has 1 cells, but the header names 2 columns"},
        {"a quote left open", {"id=csv:" + dir + "/open.csv:serial"}, {2}, {}, false, {},
         "line 2: a quoted field is never closed"},
        {"ids apart by case", {"id=csv:" + dir + "/twice.csv:serial"}, {2}, {}, false, {},
         "line 2 of " + dir + "/twice.csv and line 4 of " + dir +
             "/twice.csv give the same id \"A-1\" and \"a-1\""},
        {"an id out of the folder", {"id=csv:" + dir + "/escape.csv:serial"}, {2}, {}, false, {},
         "the id \"../etc\" cannot name a device's files"},
        {"text too long", {"id=" + csv + "name:text"}, {4}, {}, false, {},
         "line 2 of " + dir + "/line.csv: \"Lab, \"east\"\" is 11 bytes, longer than the "
                              "place's 4 bytes"},
        {"text without :text", {"id=" + csv + "name"}, {12}, {}, false, {},
         "is not a number (decimal or 0x); a text slot takes csv:<file>:<column>:text"},
        {"a cell past its place", {"id=" + csv + "serial"}, {1}, {}, false, {},
         "line 2 of " + dir + "/line.csv: 1001 does not fit the place's 1 byte"},
        {"bytes of another size", {"id=" + csv + "key:bytes"}, {2}, {}, false, {},
         "\"00112233\" is not hex digits, two a byte, for exactly the place's 2 bytes"},
        {"blobs of another size", {"k=" + keys}, {8}, {}, false, {}, "key_1.bin\" is not exactly"},
        {"the same blob twice", {"k=file:" + dir + "/same/*.bin"}, {4}, {}, false, {},
         "devices a and b would get the same blob: \"a.bin\" and \"b.bin\" hold the same bytes"},
        {"no blob matches", {"k=file:" + dir + "/keys/*.key"}, {4}, {}, false, {},
         "matches \"*.key\""},
        {"no such CSV", {"id=csv:" + dir + "/none.csv:serial"}, {4}, {}, false, {},
         "cannot read \"" + dir + "/none.csv\": "},
    };
    // clang-format on
    for (const Case& c : cases) {
        Devices got;
        const std::string refusal = refusal_of([&] {
            std::vector<Stamp> stamps;
            for (const std::string& w : c.words) stamps.push_back(read_stamp(word(w)));
            got = read_devices(stamps, c.widths, c.count, c.big_endian);
        });
        if (!c.refusal.empty()) {
            expect(has(refusal, c.refusal), std::string(c.name) + ": refused with \"" +
                                                c.refusal + "\", not \"" + refusal +
                                                "\"");
            continue;
        }
        expect(refusal.empty(), std::string(c.name) + ": refused: " + refusal);
        std::vector<std::string> seen;
        for (size_t d = 0; d < got.count; ++d) seen.push_back(values_of(got, d));
        std::string all;
        for (const std::string& s : seen) all += "\n  " + s;
        expect(seen == c.expected, std::string(c.name) + ": got" + all);
    }
}

void one_values(const std::string& scratch) {
    write(scratch + "/stamps/one.bin", "\xAA\xBB");
    struct Case {
        std::string text;
        uint64_t width;
        bool big_endian;
        const char* bytes;  // hex digits, or a part of the refusal
        const char* shown;  // nullptr: refused
    };
    // clang-format off
    const Case cases[] = {
        {"s=1001", 2, false, "e903", "1001"},
        {"s=serial:0x03E9", 4, true, "000003e9", "0x03E9"},
        {"m=02-00-00-00-00-01", 6, false, "020000000001", "02:00:00:00:00:01"},
        {"m=mac:02:00:00:00:00:01", 6, true, "020000000001", "02:00:00:00:00:01"},
        {"t=text:ab", 4, false, "61620000", "ab"},
        {"t=text:abcd", 4, false, "61626364", "abcd"},
        {"b=bytes:0102", 2, false, "0102", "0102"},
        {"k=file:" + scratch + "/stamps/one.bin", 2, false, "aabb", "one.bin"},
        {"s=256", 1, false, "256 does not fit the place's 1 byte", nullptr},
        {"s=serial:1..2", 1, false, "is not one serial number", nullptr},
        {"m=02:00:00:00:00:01", 4, false, "a MAC address takes 6 bytes", nullptr},
        {"t=text:abcde", 4, false, "the text is 5 bytes, longer than the place's 4 bytes", nullptr},
        {"b=bytes:01", 2, false, "exactly the place's 2 bytes", nullptr},
        {"k=file:" + scratch + "/stamps/one.bin", 4, false, "is not exactly the place's 4 bytes",
         nullptr},
        {"x=abc", 4, false, "\"abc\" is not a value: expected a number", nullptr},
    };
    // clang-format on
    for (const Case& c : cases) {
        Value got;
        const std::string refusal =
            refusal_of([&] { got = read_one(word(c.text), c.width, c.big_endian); });
        if (!c.shown)
            expect(has(refusal, c.bytes), c.text + ": refused with \"" + c.bytes +
                                              "\", not \"" + refusal + "\"");
        else
            expect(
                refusal.empty() && velk::text::hex(got.bytes) == c.bytes &&
                    got.shown == c.shown,
                c.text + ": " + refusal + velk::text::hex(got.bytes) + "/" + got.shown);
    }
}

int run(const std::string& scratch) {
    try {
        words();
        devices(scratch);
        one_values(scratch);
    } catch (const velk::Refusal& r) {
        expect(false, "stopped by a refusal: " + r.text);
    }
    clean_up();
    return failures;
}

}  // namespace stamp_words

// The failures found, each said on stderr.
int stamps_test(const std::string& scratch) {
    return stamp_words::run(scratch);
}
