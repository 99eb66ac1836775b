// FLASH mode of the command line: `velk-crc FLASH <elf> --n|--a|--s...`
// writes one HEX file that holds every loadable byte of the build at its
// physical address, the image checksummed as in VELK mode.
#include <cstdio>
#include <string>

#include "../module/functions.h"
#include "../pipeline/native_output.h"
#include "crc_elf.h"
#include "flash_image.h"

namespace velk {

namespace {

// Segments outside the image go into the HEX first, so that the image and
// the checksum record are what a programmer finds where they meet.
hexfile::MemoryMap flash_memory(FlashLocals& l, const uint8_t record[4]) {
    hexfile::MemoryMap memory;
    for (const OutsideSegment& s : l.outside)
        memory.add(s.address,
                   reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(s.data.get())),
                   static_cast<size_t>(PyBytes_GET_SIZE(s.data.get())));
    add_image_and_record(memory, as_u64(l.loadaddr.get()), l.databuf.get(),
                         as_u64(l.crcoffsetaddr.get()), record);
    return memory;
}

// One line on stderr naming what the HEX carries beyond the checksum.
void note_outside(FlashLocals& l) {
    if (l.outside.empty()) return;
    unsigned long long bytes = 0;
    std::string addresses;
    for (const OutsideSegment& s : l.outside) {
        char text[32];
        std::snprintf(text, sizeof text, "%s0x%08llX", addresses.empty() ? "" : ", ",
                      static_cast<unsigned long long>(s.address));
        addresses += text;
        bytes += static_cast<unsigned long long>(PyBytes_GET_SIZE(s.data.get()));
    }
    size_t count = l.outside.size();
    Ref line = check(PyUnicode_FromFormat(
        "note: %zu loadable segment%s (%llu bytes) at physical address%s %s written to "
        "the "
        "HEX but not covered by the checksum",
        count, count == 1 ? "" : "s", bytes, count == 1 ? "" : "es", addresses.c_str()));
    print_stderr(line.get());
}

// Both files are complete before either takes its name.
void write_flash_output(FlashLocals& l) {
    const Texts& t = state.t;
    Ref checksum = compute_checksum(l);
    uint8_t record[4];
    if (!record_bytes(checksum_record(checksum.get()).get(), record)) {
        PyErr_SetString(PyExc_ValueError, "the checksum record is not 4 bytes");
        throw PythonError{};
    }
    Ref filename_new = output_name(l.elffilename, t.crc_hex_suffix);
    hexfile::MemoryMap memory = flash_memory(l, record);
    outfile::ReplacingFile hex_file =
        write_hex_text(filename_new.get(), memory, l.entryaddr.get());
    Ref elf_name = output_name(l.elffilename, t.crc_elf_suffix);
    uint64_t record_at = as_u64(l.loadaddr.get()) + as_u64(l.crcoffsetaddr.get());
    CrcElf elf = write_crc_elf(l, elf_name.get(), record_at, record);
    commit(hex_file, filename_new.get());
    if (elf.file) commit(*elf.file, elf_name.get());

    report(l, filename_new.get(), checksum.get());
    if (elf.file)
        print(format(t.msg_elf_created, elf_name.get()).get());
    else
        note_no_crc_elf(elf_name.get(), elf.why_not);
    note_outside(l);
    warn_about_layout(l);
    call_method(Ref(l.file.release()).get(), t.close);
}

Ref run_flash(PyObject* elffilename, PyObject* varename, PyObject* crcaddr,
              PyObject* crcblock) {
    FlashLocals l(elffilename, varename, crcaddr, crcblock);
    l.flash = true;
    l.entry = Entry::flash_crc_calc;
    ElfFileCloser closer(l);
    if (!check_request(l) || !assemble_flash_image(l) || !locate_checksum(l))
        return Ref::share(state.c.minus_one);
    write_flash_output(l);
    return Ref::share(Py_None);
}

}  // namespace

Ref flash_crc_calc(PyObject* elffilename, PyObject* varename, PyObject* crcaddr,
                   PyObject* crcblock) {
    return with_traceback_entry(Entry::flash_crc_calc, [&] {
        return run_flash(elffilename, varename, crcaddr, crcblock);
    });
}

}  // namespace velk
