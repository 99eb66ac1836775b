// CHECK mode of the command line: `velk-crc CHECK <file> --n|--a...`
// verifies that an ELF or Intel HEX file holds the right checksum, and
// writes nothing. Exit 0 when it does, 1 when it does not, -1 on a refusal.
#include <cstring>
#include <string>
#include <vector>

#include "../flash/flash_image.h"
#include "../hexfile/hex_reader.h"
#include "../module/functions.h"

namespace velk {

namespace {

enum class Kind { elf, hex, neither };

// By content: the ELF magic, or a first record after blank lines.
Kind kind_of(PyObject* file) {
    std::vector<uint8_t> head = read_file_at(file, 0, 4096);
    if (head.size() >= 4 && std::memcmp(head.data(),
                                        "\x7f"
                                        "ELF",
                                        4) == 0)
        return Kind::elf;
    for (uint8_t c : head) {
        if (c == ':') return Kind::hex;
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') break;
    }
    return Kind::neither;
}

bool refuse(const std::string& line) {
    print(check(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()),
                                     "surrogateescape"))
              .get());
    return false;
}

std::string text_of(PyObject* object) {
    Ref text = check(PyObject_Str(object));
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) throw PythonError{};
    return std::string(utf8, static_cast<size_t>(size));
}

// The contents of a HEX file the native reading found irregular, as
// intelhex reads it: IntelHex().loadhex(name). The package's refusal (with
// its line number) is ours.
bool read_with_package(CalcLocals& l, std::vector<hexfile::Run>& runs) {
    const Texts& t = state.t;
    Ref ihex = call(global(t.IntelHex).get());
    Ref loaded(PyObject_CallMethodOneArg(ihex.get(), t.loadhex, l.elffilename));
    if (!loaded) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref owned_type(type), error(value), owned_tb(tb);
        Ref module = check(PyImport_Import(t.intelhex));
        Ref reader_error = attr(module.get(), t.HexReaderError);
        if (!PyErr_GivenExceptionMatches(type, reader_error.get())) {
            PyErr_Restore(owned_type.release(), error.release(), owned_tb.release());
            throw PythonError{};
        }
        return refuse("hex error: " + text_of(error.get()) + "!");
    }
    Ref segments = call_method(ihex.get(), t.segments);
    Ref iterator = check(PyObject_GetIter(segments.get()));
    while (PyObject* next = PyIter_Next(iterator.get())) {
        Ref range(next);
        Ref first = check(PySequence_GetItem(range.get(), 0));
        Ref last = check(PySequence_GetItem(range.get(), 1));
        Ref length = subtract(last.get(), first.get());
        uint64_t start = as_u64(first.get());
        Ref bytes = call(attr(ihex.get(), t.gets).get(), first.get(), length.get());
        char* data;
        Py_ssize_t size;
        check(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
        runs.push_back({start, std::vector<uint8_t>(data, data + size)});
    }
    if (PyErr_Occurred()) throw PythonError{};
    return true;
}

// A HEX file's image: from its lowest address, taking in the following data
// by the same 64 KiB rule as FLASH mode, holes read as 0xFF.
bool assemble_hex_image(FlashLocals& l) {
    std::vector<uint8_t> text = read_file_at(l.file.get(), 0, UINT64_MAX);
    hexfile::HexContents contents =
        hexfile::read_intel_hex(reinterpret_cast<const char*>(text.data()), text.size());
    std::vector<hexfile::Run> runs = std::move(contents.runs);
    if (!contents.regular && !read_with_package(l, runs)) return false;
    // intelhex reads a file cut short after a whole record without a word.
    if (!hexfile::contains_end_of_file(reinterpret_cast<const char*>(text.data()),
                                       text.size()))
        return refuse("hex error: no end-of-file record: the file is cut short!");
    if (runs.empty()) return refuse("hex error: the file holds no data!");

    uint64_t start = runs.front().address, end = runs.front().end();
    size_t joined = 1;
    while (joined < runs.size() && runs[joined].address - end <= join_distance)
        end = runs[joined++].end();
    Ref image =
        check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(end - start)));
    char* bytes = PyBytes_AS_STRING(image.get());
    std::memset(bytes, 0xFF, static_cast<size_t>(end - start));
    for (size_t i = 0; i < joined; ++i)
        std::memcpy(bytes + (runs[i].address - start), runs[i].bytes.data(),
                    runs[i].bytes.size());
    for (size_t i = joined; i < runs.size(); ++i) {
        Ref data = check(
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(runs[i].bytes.data()),
                                      static_cast<Py_ssize_t>(runs[i].bytes.size())));
        l.outside.push_back({runs[i].address, std::move(data)});
    }
    l.loadaddr = check(PyLong_FromUnsignedLongLong(start));
    l.seg_size = check(PyLong_FromUnsignedLongLong(end - start));
    l.databuf = std::move(image);
    pad_to_offset(l);  // --a only: a HEX file has no names
    return true;
}

// The 4 bytes stored at the slot: in the image, in data outside it, or
// erased flash where the file holds nothing.
uint32_t stored_word(const FlashLocals& l, uint64_t address) {
    uint64_t load = as_u64(l.loadaddr.get());
    PyObject* image = l.databuf.get();
    uint64_t length = static_cast<uint64_t>(PyBytes_GET_SIZE(image));
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        uint64_t at = address + i;
        uint8_t byte = 0xFF;
        if (at >= load && at - load < length) {
            byte = static_cast<uint8_t>(PyBytes_AS_STRING(image)[at - load]);
        } else {
            for (const OutsideSegment& s : l.outside) {
                uint64_t size = static_cast<uint64_t>(PyBytes_GET_SIZE(s.data.get()));
                if (at >= s.address && at - s.address < size)
                    byte = static_cast<uint8_t>(
                        PyBytes_AS_STRING(s.data.get())[at - s.address]);
            }
        }
        word |= static_cast<uint32_t>(byte) << (8 * i);
    }
    return word;
}

Ref verdict(FlashLocals& l) {
    Ref checksum = compute_checksum(l);
    uint64_t computed = as_u64(checksum.get());
    uint64_t address = as_u64(l.loadaddr.get()) + as_u64(l.crcoffsetaddr.get());
    uint32_t stored = stored_word(l, address);
    char line[160];
    bool ok = stored == computed;
    if (ok)
        std::snprintf(line, sizeof line, "checksum ok: [0x%08X] at 0x%08llX", stored,
                      static_cast<unsigned long long>(address));
    else
        std::snprintf(
            line, sizeof line,
            "checksum mismatch at 0x%08llX: stored [0x%08X], computed [0x%08llX]",
            static_cast<unsigned long long>(address), stored,
            static_cast<unsigned long long>(computed));
    print(check(PyUnicode_FromString(line)).get());
    return check(PyLong_FromLong(ok ? 0 : 1));
}

Ref run_check(PyObject* filename, PyObject* varename, PyObject* crcaddr,
              PyObject* crcblock) {
    FlashLocals l(filename, varename, crcaddr, crcblock);
    l.flash = true;
    l.quiet = true;
    l.entry = Entry::check_crc;
    ElfFileCloser closer(l);
    Ref refused = Ref::share(state.c.minus_one);
    // The build printed the offset; a block size would only be rounded
    // again from a HEX file's length.
    if (varename == Py_None && crcaddr == Py_None && crcblock != Py_None) {
        refuse(
            "--s is not used by CHECK: pass the checksum offset the build printed "
            "with --a");
        return refused;
    }
    if (!check_request(l) || !open_elf(l)) return refused;
    switch (kind_of(l.file.get())) {
        case Kind::elf:
            if (!assemble_flash_image(l) || !locate_checksum(l)) return refused;
            break;
        case Kind::hex:
            if (l.name_mode()) {
                refuse(
                    "an Intel HEX file has no symbols: pass the checksum offset with "
                    "--a");
                return refused;
            }
            if (!assemble_hex_image(l)) return refused;
            break;
        case Kind::neither:
            refuse("the file is neither an ELF file nor an Intel HEX file!");
            return refused;
    }
    Ref result = verdict(l);
    call_method(Ref(l.file.release()).get(), state.t.close);
    return result;
}

}  // namespace

Ref check_crc(PyObject* filename, PyObject* varename, PyObject* crcaddr,
              PyObject* crcblock) {
    return with_traceback_entry(Entry::check_crc, [&] {
        return run_check(filename, varename, crcaddr, crcblock);
    });
}

}  // namespace velk
