#include "probes.h"

#include <new>
#include <utility>
#include <variant>

#include "../engine/base/byte_order.h"
#include "../engine/checksum/method.h"
#include "../engine/elf/elf_reader.h"
#include "boundary.h"
#include "host.h"
#include "state.h"

namespace velk::binding {

namespace {

// The caller's bytes, held still for as long as the reader looks at them.
class Buffer {
public:
    explicit Buffer(PyObject* data) {
        check(PyObject_GetBuffer(data, &view_, PyBUF_SIMPLE));
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { PyBuffer_Release(&view_); }

    elf::Bytes bytes() const {
        return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

[[noreturn]] void refuse(const elf::Fault& fault) {
    PyErr_SetString(PyExc_ValueError, fault.why.c_str());
    throw PythonError{};
}

void append(PyObject* list, Ref item) {
    check(PyList_Append(list, item.get()));
}

// Py_BuildValue's "K" takes exactly unsigned long long, whatever uint64_t is.
unsigned long long ull(uint64_t v) {
    return v;
}

Ref segments_of(const elf::File& file) {
    Ref list = check(PyList_New(0));
    for (const elf::ProgramHeader& p : file.segments)
        append(list.get(),
               check(Py_BuildValue("(KKKKKKKK)", ull(p.type), ull(p.offset), ull(p.vaddr),
                                   ull(p.paddr), ull(p.filesz), ull(p.memsz),
                                   ull(p.flags), ull(p.align))));
    return list;
}

// Each symbol as a tuple, tagged with the section index of its table.
class SymbolList final : public elf::SymbolVisitor {
public:
    SymbolList() : list_(check(PyList_New(0))) {}

    void table(size_t section) override { section_ = check(PyLong_FromSize_t(section)); }
    void symbol(const elf::Symbol& s) override {
        append(list_.get(),
               check(Py_BuildValue("(OyKKBBH)", section_.get(), s.name, ull(s.value),
                                   ull(s.size), s.info, s.other, s.shndx)));
    }
    Ref take() { return std::move(list_); }

private:
    Ref list_;
    Ref section_;
};

Ref probe(PyObject* data) {
    const Buffer buffer(data);
    auto read = elf::read_file(buffer.bytes());
    if (auto* fault = std::get_if<elf::Fault>(&read)) refuse(*fault);
    const elf::File& file = std::get<elf::File>(read);
    SymbolList symbols;
    auto visited = elf::visit_symbols(file, buffer.bytes(), symbols);
    if (auto* fault = std::get_if<elf::Fault>(&visited)) refuse(*fault);
    Ref segments = segments_of(file);
    Ref symbol_list = symbols.take();
    return check(Py_BuildValue("(KOOOO)", ull(file.header.entry),
                               file.header.elf64 ? Py_True : Py_False,
                               file.header.little_endian ? Py_True : Py_False,
                               segments.get(), symbol_list.get()));
}

// A catalogue row's name, or a CRC's parameters: (width, poly, init, refin,
// refout, xorout).
checksum::Method method_of(PyObject* algorithm) {
    if (PyUnicode_Check(algorithm)) {
        const char* name = PyUnicode_AsUTF8(algorithm);
        if (!name) throw PythonError{};
        const checksum::Algorithm* row = checksum::find(name);
        if (!row || !row->computed()) {
            PyErr_Format(PyExc_ValueError, "no algorithm %R", algorithm);
            throw PythonError{};
        }
        return checksum::Method(*row);
    }
    unsigned width = 0;
    unsigned long long poly = 0, init = 0, xorout = 0;
    int refin = 0, refout = 0;
    if (!PyTuple_Check(algorithm) ||
        !PyArg_ParseTuple(algorithm, "IKKppK", &width, &poly, &init, &refin, &refout, &xorout))
        throw PythonError{};
    if (width < 1 || width > 64) {
        PyErr_SetString(PyExc_ValueError, "width: 1 to 64 bits");
        throw PythonError{};
    }
    return checksum::Method(checksum::CrcParameters{width, poly, init, refin != 0,
                                                    refout != 0, xorout});
}

Ref checksum_of_data(PyObject* module, PyObject* const* args, Py_ssize_t count) {
    if (count != 3 && count != 4) {
        PyErr_SetString(PyExc_TypeError,
                        "_checksum(name or (width, poly, init, refin, refout, xorout), "
                        "data: bytes, words: bool, big_endian: bool = False)");
        throw PythonError{};
    }
    const checksum::Method method = method_of(args[0]);
    int words = PyObject_IsTrue(args[2]);
    if (words < 0) throw PythonError{};
    int big = count == 4 ? PyObject_IsTrue(args[3]) : 0;
    if (big < 0) throw PythonError{};
    const Buffer buffer(args[1]);
    const elf::Bytes bytes = buffer.bytes();
    if (words && (bytes.size % 4 || method.kind() != checksum::Kind::crc)) {
        PyErr_SetString(PyExc_ValueError, "words: a CRC over whole 32-bit words");
        throw PythonError{};
    }
    // SHA-256 from the binding's digest, as a run gets it.
    PythonHost host(state_of(module));
    checksum::Bytes value;
    try {
        auto running = method.start({words ? checksum::Feed::words : checksum::Feed::bytes,
                                     big != 0, [&host] { return host.crypto().sha256(); }});
        // A large buffer is computed without the interpreter's lock.
        PythonHost::Released released(host);
        running->update(bytes.data, bytes.size);
        value = running->finish();
    } catch (const crypto::Failure& failure) {
        PyErr_SetString(PyExc_ValueError, failure.why.c_str());
        throw PythonError{};
    }
    if (value.size() > 8)
        return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.data()),
                                               static_cast<Py_ssize_t>(value.size())));
    return check(PyLong_FromUnsignedLongLong(
        bytes::load(value.data(), static_cast<unsigned>(value.size()), bytes::Order::big)));
}

}  // namespace

PyObject* checksum_probe(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept {
    return boundary([&] { return checksum_of_data(module, args, count); });
}

PyObject* elf_probe(PyObject*, PyObject* data) noexcept {
    return boundary([&] { return probe(data); });
}

}  // namespace velk::binding
