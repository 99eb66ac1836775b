// Second stage: open the ELF file and build the memory image.
#include <cerrno>
#include <cstring>

#include "../adapter/files.h"
#include "../adapter/printing.h"
#include "../adapter/text.h"
#include "../module/calls.h"
#include "../../engine/formats/formats.h"
#include "elf_headers.h"
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

// Opening a FIFO (or a terminal, a socket) for reading would wait for a
// writer forever: such a name fails as a file that cannot be opened does.
// Names that cannot be looked up are left for open() to report.
void refuse_special_file(PyObject* elffilename) {
    if (PyLong_Check(elffilename)) return;  // a descriptor: open() decides
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(elffilename, &converted)) {
        // Not a path (a wrong type, a NUL in it): open() raises the same.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError))
            throw PythonError{};
        PyErr_Clear();
        return;
    }
    Ref path(converted);
    const char* kind = special_file_kind(PyBytes_AS_STRING(converted));
    if (!kind) return;
    Ref strerror = check(PyUnicode_FromFormat("Not a regular file but %s", kind));
    Ref exc = check(
        PyObject_CallFunction(PyExc_OSError, "iOO", EINVAL, strerror.get(), elffilename));
    PyErr_SetObject(PyExc_OSError, exc.get());
    throw PythonError{};
}

// file = open(elffilename, "rb"), guarded against Exception: a file that
// cannot be opened is reported by its traceback on standard error.
bool open_elf(CalcLocals& l) {
    try {
        refuse_special_file(l.elffilename);
        l.file = call(state.open, l.elffilename, state.t.rb);
        return true;
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    }
    print_handled_exception();
    return false;
}

// A file that is not an ELF file fails in the reader with its traceback;
// the hint before it says what the file is and what to do.
void hint_if_not_elf(CalcLocals& l) {
    if (PyObject_AsFileDescriptor(l.file.get()) < 0) {
        // Not a file of the system's (a caller's stream): nothing to look at.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_OSError))
            throw PythonError{};
        PyErr_Clear();
        return;
    }
    std::vector<uint8_t> head = read_file_at(l.file.get(), 0, 4096);
    const formats::Format* format = formats::by_content(head.data(), head.size());
    if (!format || !format->build)
        say_to_stderr("hint: " + utf8_of(l.elffilename) + ": " + formats::not_elf(format));
}

// elf_file = ELFFile(file), entryaddr = elf_file.header["e_entry"]; false
// after the missing-entry refusal.
bool read_elf_header(CalcLocals& l) {
    const Texts& t = state.t;
    hint_if_not_elf(l);
    l.elf_file = call(global(t.ELFFile).get(), l.file.get());
    l.genuine_reader =
        reinterpret_cast<PyObject*>(Py_TYPE(l.elf_file.get())) == state.genuine.ELFFile;
    l.entryaddr = item(attr(l.elf_file.get(), t.header).get(), t.e_entry);
    if (l.entryaddr.get() == Py_None) {
        print(t.msg_no_entry);
        return false;
    }
    return true;
}

struct SegmentView {
    Ref segment;
    Ref filesz;
};

// The next PT_LOAD segment with contents in the file, or an empty view.
// Other headers (EXIDX, notes, zero-initialised RAM) hold no firmware image.
// With the genuine reader every header passed is also recorded.
SegmentView next_loadable(CalcLocals& l, PyObject* segments) {
    const Texts& t = state.t;
    while (PyObject* next = PyIter_Next(segments)) {
        Ref segment(next);
        if (l.genuine_reader) l.headers.push_back(program_header(segment.get()));
        Ref type = item(segment.get(), t.p_type);
        if (!compare(type.get(), t.PT_LOAD, Py_EQ)) continue;
        Ref filesz = item(segment.get(), t.p_filesz);
        if (!truth(filesz.get())) continue;
        return {std::move(segment), std::move(filesz)};
    }
    if (PyErr_Occurred()) throw PythonError{};
    return {};
}

// The bytes the segment promises must all be in the file; checked before
// they are read, so that a forged size costs no allocation.
bool segment_fits_file(CalcLocals& l) {
    if (!l.genuine_reader) return true;
    const layout::ProgramHeader& image = l.headers[l.image_segment];
    uint64_t size = file_size(l.file.get());
    return image.offset <= size && image.filesz <= size - image.offset;
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

// A reader that returns fewer bytes than the segment promises (a caller's
// reader) must not give a checksum over a silently shorter image either.
bool image_is_whole(CalcLocals& l) {
    Py_ssize_t length = PyObject_Length(l.databuf.get());
    if (length < 0) throw PythonError{};
    Ref have = check(PyLong_FromSsize_t(length));
    return !compare(have.get(), l.seg_size.get(), Py_LT);
}

void record_remaining_headers(CalcLocals& l, PyObject* segments) {
    if (!l.genuine_reader) return;
    while (PyObject* next = PyIter_Next(segments)) {
        Ref segment(next);
        l.headers.push_back(program_header(segment.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
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

// Address and block mode: fills the image up to the checksum offset with
// 0xFF, printing the PAD line.
void pad_to_offset(CalcLocals& l) {
    if (l.name_mode() || !compare(l.crcoffsetaddr.get(), l.seg_size.get(), Py_GT)) return;
    Ref count = subtract(l.crcoffsetaddr.get(), l.seg_size.get());
    pad_image(l, count.get(), count.get());
}

}  // namespace

void pad_image(CalcLocals& l, PyObject* reported, PyObject* count) {
    Py_ssize_t n = padding_length(count);
    Ref& databuf = l.databuf;
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
    l.padding += static_cast<uint64_t>(n);
    print(format(state.t.msg_pad, reported).get());
}

namespace {

// A program header table that cannot fit the file (entries of no size, a
// count in the billions) would be read entry by entry for hours: pyelftools'
// own ELFParseError says so at once, as for a table cut short.
void refuse_damaged_header_table(CalcLocals& l) {
    if (!l.genuine_reader) return;
    std::string why;
    if (header_table_fits(l.elf_file.get(), file_size(l.file.get()), why)) return;
    Ref module = check(PyImport_Import(state.t.elftools_exceptions));
    Ref error_type = attr(module.get(), state.t.ELFParseError);
    Ref message = text_object(why);
    PyErr_SetObject(error_type.get(), message.get());
    throw PythonError{};
}

}  // namespace

bool assemble_image(CalcLocals& l) {
    const Texts& t = state.t;
    l.ihex = call(global(t.IntelHex).get());
    if (!open_elf(l) || !read_elf_header(l)) return false;
    refuse_damaged_header_table(l);

    Ref segments =
        check(PyObject_GetIter(call_method(l.elf_file.get(), t.iter_segments).get()));
    SegmentView image = next_loadable(l, segments.get());
    if (!image.segment) {
        print(t.msg_no_vaddr);
        return false;
    }
    if (l.genuine_reader) l.image_segment = l.headers.size() - 1;
    if (!segment_fits_file(l)) {
        print(t.msg_segment_cut);
        return false;
    }
    read_image_segment(l, image);
    if (!image_is_whole(l)) {
        print(t.msg_segment_cut);
        return false;
    }
    record_remaining_headers(l, segments.get());

    pad_to_offset(l);
    return true;
}

}  // namespace velk
