// Last stage: checksum the image, store the checksum record, write the HEX.
//
// With the genuine intelhex container the file is written natively from
// the image, the checksum record and the start address: the same text,
// streamed, into a temporary file moved over the name when complete.
// Any other container is filled and asked to write, as always.
#include "../../engine/base/checked_add.h"
#include "../adapter/files.h"
#include "../adapter/outputs.h"
#include "../adapter/text.h"
#include "native_output.h"
#include "pipeline.h"

namespace velk {

namespace {

// ihex.frombytes(databuf, loadaddr)
void fill_image(CalcLocals& l) {
    check(PyObject_CallMethodObjArgs(l.ihex.get(), state.t.frombytes, l.databuf.get(),
                                     l.loadaddr.get(), nullptr));
}

// ihex[loadaddr + crcoffsetaddr : loadaddr + crcoffsetaddr + 4] = record
void store_checksum_record(CalcLocals& l, PyObject* record) {
    Ref start = add(l.loadaddr.get(), l.crcoffsetaddr.get());
    Ref end = add(l.loadaddr.get(), l.crcoffsetaddr.get());
    Ref stop = add(end.get(), state.c.four);
    Ref where = check(PySlice_New(start.get(), stop.get(), nullptr));
    PyObject* ihex = l.ihex.get();
    PyMappingMethods* mapping = Py_TYPE(ihex)->tp_as_mapping;
    if (!mapping || !mapping->mp_ass_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support slice %.10s",
                     Py_TYPE(ihex)->tp_name, "assignment");
        throw PythonError{};
    }
    check(PyObject_SetItem(ihex, where.get(), record));
}

// What the native writer needs, taken from objects that the genuine
// container would have accepted without a word.
struct NativeImage {
    bool usable = false;
    uint64_t load = 0;
    uint64_t offset = 0;
    uint8_t record[4] = {};
};

NativeImage native_image(CalcLocals& l) {
    NativeImage image;
    image.usable =
        genuine_container(l.ihex.get()) && PyBytes_CheckExact(l.databuf.get()) &&
        PyLong_CheckExact(l.entryaddr.get()) && PyLong_CheckExact(l.loadaddr.get()) &&
        fits_u64(l.loadaddr.get(), image.load) &&
        PyLong_CheckExact(l.crcoffsetaddr.get()) &&
        fits_u64(l.crcoffsetaddr.get(), image.offset);
    return image;
}

// The image at loadaddr and the checksum record over it, written by the
// output stage.
void write_natively(CalcLocals& l, const NativeImage& image, PyObject* filename_new) {
    PyObject* databuf = l.databuf.get();
    uint64_t length = static_cast<uint64_t>(PyBytes_GET_SIZE(databuf));
    uint64_t image_end, record_at, record_end;
    if (base::add_overflows(image.load, length, image_end) ||
        base::add_overflows(image.load, image.offset, record_at) ||
        base::add_overflows(record_at, 4, record_end))
        raise_address_overflow();
    layout::MemoryMap memory;
    // The map lives only for this call, within databuf's own lifetime.
    memory.append(image.load,
                  reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(databuf)), length,
                  layout::Keeper());
    memory.overlay(record_at, image.record, 4);
    uint64_t entry = PyLong_AsUnsignedLongLongMask(l.entryaddr.get());
    if (entry == static_cast<uint64_t>(-1) && PyErr_Occurred()) throw PythonError{};
    // The package writes the start address's low 32 bits, whatever is above.
    entry &= 0xFFFFFFFF;
    write_hex_file(filename_new, memory, entry);
}

Ref hex08(PyObject* number) {
    return check(PyObject_Format(number, state.t.hex08));
}

Ref compute_checksum(CalcLocals& l) {
    // calc_crc_mpeg2(databuf[0:crcoffsetaddr])
    Ref range = check(PySlice_New(state.c.zero, l.crcoffsetaddr.get(), nullptr));
    Ref covered = item(l.databuf.get(), range.get());
    return call(global(state.t.calc_crc_mpeg2).get(), covered.get());
}

// list(struct.pack("<I", checksum))
Ref checksum_record(PyObject* checksum) {
    const Texts& t = state.t;
    Ref pack = attr(global(t.struct_).get(), t.pack);
    return check(PySequence_List(call(pack.get(), t.pack_format, checksum).get()));
}

void report(CalcLocals& l, PyObject* filename_new, PyObject* checksum) {
    const Texts& t = state.t;
    print(format(t.msg_created, filename_new).get());
    Ref end = add(l.loadaddr.get(), l.crcoffsetaddr.get());
    Ref pieces = check(PyTuple_Pack(9, t.rep_range, hex08(l.loadaddr.get()).get(),
                                    t.rep_tilde, hex08(end.get()).get(), t.rep_offset,
                                    hex08(l.crcoffsetaddr.get()).get(), t.rep_checksum,
                                    hex08(checksum).get(), t.rep_close));
    print(check(PyUnicode_Join(t.empty, pieces.get())).get());
}

}  // namespace

void write_hex(CalcLocals& l) {
    const Texts& t = state.t;
    Ref checksum = compute_checksum(l);
    NativeImage image = native_image(l);
    if (!image.usable) fill_image(l);
    Ref record = checksum_record(checksum.get());
    // Four integers 0 to 255: anything else is the container's to refuse.
    if (image.usable && !record_bytes(record.get(), image.record)) {
        image.usable = false;
        fill_image(l);
    }
    if (!image.usable) store_checksum_record(l, record.get());
    Ref start_addr = check(PyDict_New());
    check(PyDict_SetItem(start_addr.get(), t.EIP, l.entryaddr.get()));
    check(PyObject_SetAttr(l.ihex.get(), t.start_addr, start_addr.get()));
    Ref filename_new = output_name(l.elffilename, t.crc_hex_suffix);

    if (image.usable && PyUnicode_CheckExact(filename_new.get())) {
        write_natively(l, image, filename_new.get());
    } else {
        if (image.usable) {
            // A name the container must interpret itself: fill it after all.
            fill_image(l);
            store_checksum_record(l, record.get());
        }
        Ref write = attr(l.ihex.get(), t.write_hex_file);
        PyObject* const args[] = {filename_new.get(), Py_True, state.c.sixteen};
        check(PyObject_Vectorcall(write.get(), args, 1, state.c.hex_keywords));
    }

    report(l, filename_new.get(), checksum.get());
}

}  // namespace velk
