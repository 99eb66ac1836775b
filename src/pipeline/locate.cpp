// Third stage: settle the checksum's offset from the start of the image.
#include "pipeline.h"

namespace velk {

namespace {

// The value of the last symbol named varename, over every symbol table.
// An empty name would match the null symbol and the section symbols,
// so it matches nothing.
Ref find_symbol_value(CalcLocals& l) {
    const Texts& t = state.t;
    Ref found;
    if (PyUnicode_Check(l.varename) && PyUnicode_GET_LENGTH(l.varename) == 0)
        return found;
    Ref sections =
        check(PyObject_GetIter(call_method(l.elf_file.get(), t.iter_sections).get()));
    while (PyObject* next = PyIter_Next(sections.get())) {
        Ref section(next);
        Ref symtab_type = global(t.SymbolTableSection);
        if (!check(PyObject_IsInstance(section.get(), symtab_type.get()))) continue;
        Ref symbols =
            check(PyObject_GetIter(call_method(section.get(), t.iter_symbols).get()));
        while (PyObject* next_symbol = PyIter_Next(symbols.get())) {
            Ref symbol(next_symbol);
            Ref name = attr(symbol.get(), t.name);
            if (compare(name.get(), l.varename, Py_EQ))
                found = item(symbol.get(), t.st_value);
        }
        if (PyErr_Occurred()) throw PythonError{};
    }
    if (PyErr_Occurred()) throw PythonError{};
    return found;
}

bool refuse_name(PyObject* varename, PyObject* why) {
    print(add(varename, why).get());
    return false;
}

bool locate_by_name(CalcLocals& l) {
    const Texts& t = state.t;
    Ref value = find_symbol_value(l);
    if (!value) return refuse_name(l.varename, t.msg_not_found);
    Ref offset = subtract(value.get(), l.loadaddr.get());
    // Below the image the range would lose its last bytes and the record
    // would land before the firmware.
    if (compare(offset.get(), state.c.zero, Py_LT))
        return refuse_name(l.varename, t.msg_below_load);
    l.crcoffsetaddr = std::move(offset);
    return true;
}

// The segment length rounded up to the block: the checksum follows it, in
// 0xFF padding that leaves room for the 4 checksum bytes.
void locate_by_block(CalcLocals& l) {
    const Constants& c = state.c;
    PyObject* seg_size = l.seg_size.get();
    PyObject* crcblock = l.crcblock.get();
    l.crcoffsetaddr = Ref::share(seg_size);
    Ref mask = subtract(crcblock, c.one);
    if (!truth(bit_and(seg_size, mask.get()).get())) return;
    Ref sum = add(seg_size, crcblock);
    Ref inverted = check(PyNumber_Invert(mask.get()));
    l.crcoffsetaddr = bit_and(sum.get(), inverted.get());
    Ref reported = subtract(l.crcoffsetaddr.get(), seg_size);
    Ref count = add(reported.get(), c.four);
    pad_image(l.databuf, reported.get(), count.get());
}

}  // namespace

bool locate_checksum(CalcLocals& l) {
    if (l.name_mode()) return locate_by_name(l);
    if (l.crcblock.get() == Py_None) return true;  // address mode
    locate_by_block(l);
    return true;
}

}  // namespace velk
