// Second stage: open the ELF file and build the memory image.
#include <cstdio>
#include <cstring>

#include "pipeline.h"

namespace velk {

namespace {

// traceback.print_exc() for the pending exception, shown as the exception
// being handled, as an `except Exception:` block would see it.
void print_handled_exception() {
    add_traceback(Entry::velk_crc_calc);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Ref exc_type(type), exc(value), exc_tb(tb);
    Ref traceback = global(state.t.traceback);
    Ref outer(PyErr_GetHandledException());
    PyErr_SetHandledException(exc.get());
    Ref printed(PyObject_CallMethodNoArgs(traceback.get(), state.t.print_exc));
    PyErr_SetHandledException(outer.get());
    if (!printed) throw PythonError{};
}

// file = open(elffilename, "rb"), guarded against Exception: a file that
// cannot be opened is reported by its traceback on standard error.
bool open_elf(CalcLocals& l) {
    PyObject* file =
        PyObject_CallFunctionObjArgs(state.open, l.elffilename, state.t.rb, nullptr);
    if (file) {
        l.file = Ref(file);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    print_handled_exception();
    return false;
}

unsigned long long as_address(PyObject* value) {
    unsigned long long address = PyLong_AsUnsignedLongLong(value);
    if (address == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        throw PythonError{};
    return address;
}

struct SegmentView {
    Ref segment;
    Ref filesz;
};

// The next PT_LOAD segment with contents in the file, or an empty view.
// Other headers (EXIDX, notes, zero-initialised RAM) hold no firmware image.
SegmentView next_loadable(PyObject* segments) {
    const Texts& t = state.t;
    while (PyObject* next = PyIter_Next(segments)) {
        Ref segment(next);
        Ref type = item(segment.get(), t.p_type);
        if (!compare(type.get(), t.PT_LOAD, Py_EQ)) continue;
        Ref filesz = item(segment.get(), t.p_filesz);
        if (!truth(filesz.get())) continue;
        return {std::move(segment), std::move(filesz)};
    }
    if (PyErr_Occurred()) throw PythonError{};
    return {};
}

void read_image_segment(CalcLocals& l, const SegmentView& image) {
    const Texts& t = state.t;
    PyObject* segment = image.segment.get();
    l.loadaddr = item(attr(segment, t.header).get(), t.p_vaddr);
    Ref memsz = item(segment, t.p_memsz);
    l.seg_size =
        Ref::share(compare(image.filesz.get(), memsz.get(), Py_LT) ? image.filesz.get()
                                                                   : memsz.get());
    Ref data = call_method(segment, t.data);
    Ref upto = check(PySlice_New(nullptr, l.seg_size.get(), nullptr));
    l.databuf = item(data.get(), upto.get());
}

// Counts the loadable contents outside the image: with the GNU linker the
// initial values of .data sit in a segment of their own, which the HEX
// file does not carry.
void note_left_out(CalcLocals& l, PyObject* segments) {
    const Texts& t = state.t;
    unsigned long long first = as_address(l.loadaddr.get());
    unsigned long long size = as_address(l.seg_size.get());
    unsigned long long last = size > ~0ULL - first ? ~0ULL : first + size;
    while (true) {
        SegmentView other = next_loadable(segments);
        if (!other.segment) return;
        Ref paddr = item(attr(other.segment.get(), t.header).get(), t.p_paddr);
        unsigned long long start = as_address(paddr.get());
        unsigned long long length = as_address(other.filesz.get());
        bool inside = start >= first && length <= last - first &&
                      start - first <= last - first - length;
        if (inside) continue;
        char text[32];
        std::snprintf(text, sizeof text, "%s0x%08llX", l.left_out_segments ? ", " : "",
                      start);
        l.left_out_addresses += text;
        l.left_out_segments += 1;
        l.left_out_bytes += length;
    }
}

// The bytes the segment promises must all be in the file: a checksum over
// a silently shorter image would be wrong.
bool image_is_whole(CalcLocals& l) {
    Py_ssize_t length = PyObject_Length(l.databuf.get());
    if (length < 0) throw PythonError{};
    Ref have = check(PyLong_FromSsize_t(length));
    return !compare(have.get(), l.seg_size.get(), Py_LT);
}

// A count of 0 or less asks for no bytes; one past the address space
// cannot be allocated.
Py_ssize_t padding_length(PyObject* count) {
    if (!compare(count, state.c.zero, Py_GT)) return 0;
    Py_ssize_t n = PyLong_AsSsize_t(count);
    if (n == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) PyErr_NoMemory();
        throw PythonError{};
    }
    return n;
}

}  // namespace

void pad_image(Ref& databuf, PyObject* reported, PyObject* count) {
    Py_ssize_t n = padding_length(count);
    PyObject* buf = databuf.get();
    Py_ssize_t old = PyBytes_Size(buf);
    if (old < 0) throw PythonError{};
    if (n > PY_SSIZE_T_MAX - old) {
        PyErr_NoMemory();
        throw PythonError{};
    }
    if (PyBytes_CheckExact(buf) && Py_REFCNT(buf) == 1) {
        // Nobody else sees this image: grow it where it lies.
        PyObject* grown = databuf.release();
        if (_PyBytes_Resize(&grown, old + n) < 0) throw PythonError{};
        databuf = Ref(grown);
    } else {
        Ref grown = check(PyBytes_FromStringAndSize(nullptr, old + n));
        std::memcpy(PyBytes_AS_STRING(grown.get()), PyBytes_AS_STRING(buf),
                    static_cast<size_t>(old));
        databuf = std::move(grown);
    }
    std::memset(PyBytes_AS_STRING(databuf.get()) + old, 0xFF, static_cast<size_t>(n));
    print(format(state.t.msg_pad, reported).get());
}

bool assemble_image(CalcLocals& l) {
    const Texts& t = state.t;
    l.ihex = call(global(t.IntelHex).get());
    if (!open_elf(l)) return false;
    l.elf_file = call(global(t.ELFFile).get(), l.file.get());
    l.entryaddr = item(attr(l.elf_file.get(), t.header).get(), t.e_entry);
    if (l.entryaddr.get() == Py_None) {
        print(t.msg_no_entry);
        return false;
    }

    Ref segments =
        check(PyObject_GetIter(call_method(l.elf_file.get(), t.iter_segments).get()));
    SegmentView image = next_loadable(segments.get());
    if (!image.segment) {
        print(t.msg_no_vaddr);
        return false;
    }
    read_image_segment(l, image);
    if (!image_is_whole(l)) {
        print(t.msg_segment_cut);
        return false;
    }
    note_left_out(l, segments.get());

    // Address and block mode: fill up to the checksum offset with 0xFF.
    if (!l.name_mode() && compare(l.crcoffsetaddr.get(), l.seg_size.get(), Py_GT)) {
        Ref count = subtract(l.crcoffsetaddr.get(), l.seg_size.get());
        pad_image(l.databuf, count.get(), count.get());
    }
    return true;
}

}  // namespace velk
