// Last stage: checksum the image, store the checksum record, write the HEX.
#include "pipeline.h"

namespace velk {

namespace {

Ref compute_checksum(CalcLocals& l) {
    // calc_crc_mpeg2(databuf[0:crcoffsetaddr])
    Ref range = check(PySlice_New(state.c.zero, l.crcoffsetaddr.get(), nullptr));
    Ref covered = item(l.databuf.get(), range.get());
    return call(global(state.t.calc_crc_mpeg2).get(), covered.get());
}

// ihex[loadaddr + crcoffsetaddr : loadaddr + crcoffsetaddr + 4] =
//     list(struct.pack("<I", checksum))
void store_checksum_record(CalcLocals& l, PyObject* checksum) {
    const Texts& t = state.t;
    Ref pack = attr(global(t.struct_).get(), t.pack);
    Ref record = check(PySequence_List(call(pack.get(), t.pack_format, checksum).get()));
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
    check(PyObject_SetItem(ihex, where.get(), record.get()));
}

Ref output_name(PyObject* elffilename) {
    const Texts& t = state.t;
    Ref splitext = attr(attr(global(t.os).get(), t.path).get(), t.splitext);
    Ref filename_split = call(splitext.get(), elffilename);
    Ref root = check(PySequence_GetItem(filename_split.get(), 0));
    return add(root.get(), t.crc_hex_suffix);
}

Ref hex08(PyObject* number) {
    return check(PyObject_Format(number, state.t.hex08));
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

void warn_left_out(CalcLocals& l) {
    if (l.left_out_segments == 0) return;
    Ref line = check(PyUnicode_FromFormat(
        "warning: the HEX file leaves out %d loadable segment%s (%llu bytes) "
        "at physical address%s %s",
        l.left_out_segments, l.left_out_segments == 1 ? "" : "s", l.left_out_bytes,
        l.left_out_segments == 1 ? "" : "es", l.left_out_addresses.c_str()));
    Ref stderr_file = attr(global(state.t.sys).get(), state.t.stderr_);
    PyObject* const args[] = {line.get(), stderr_file.get()};
    check(PyObject_Vectorcall(state.print, args, 1, state.c.file_keyword));
}

}  // namespace

void write_hex(CalcLocals& l) {
    const Texts& t = state.t;
    Ref checksum = compute_checksum(l);
    check(PyObject_CallMethodObjArgs(l.ihex.get(), t.frombytes, l.databuf.get(),
                                     l.loadaddr.get(), nullptr));
    store_checksum_record(l, checksum.get());
    Ref start_addr = check(PyDict_New());
    check(PyDict_SetItem(start_addr.get(), t.EIP, l.entryaddr.get()));
    check(PyObject_SetAttr(l.ihex.get(), t.start_addr, start_addr.get()));
    Ref filename_new = output_name(l.elffilename);

    Ref write = attr(l.ihex.get(), t.write_hex_file);
    PyObject* const args[] = {filename_new.get(), Py_True, state.c.sixteen};
    check(PyObject_Vectorcall(write.get(), args, 1, state.c.hex_keywords));

    report(l, filename_new.get(), checksum.get());
    warn_left_out(l);
    // The normal end closes the ELF file itself, so that a failing close
    // is reported; every other way out leaves it to the closer.
    call_method(Ref(l.file.release()).get(), t.close);
}

}  // namespace velk
