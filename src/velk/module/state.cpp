#include "state.h"

namespace velk {

State state;

namespace {

PyObject* make_int(long long value) {
    return check(PyLong_FromLongLong(value)).release();
}

PyObject* make_slice(PyObject* start, PyObject* stop) {
    return check(PySlice_New(start, stop, nullptr)).release();
}

}  // namespace

void make_constants() {
    if (state.constants_made) return;
    Texts& t = state.t;
#define VELK_CRC_TEXT_INTERN(member, text) \
    if (!t.member) t.member = check(PyUnicode_InternFromString(text)).release();
    VELK_CRC_TEXTS(VELK_CRC_TEXT_INTERN)
#undef VELK_CRC_TEXT_INTERN

    Constants& c = state.c;
    if (!c.zero) c.zero = make_int(0);
    if (!c.one) c.one = make_int(1);
    if (!c.two) c.two = make_int(2);
    if (!c.three) c.three = make_int(3);
    if (!c.four) c.four = make_int(4);
    if (!c.ten) c.ten = make_int(10);
    if (!c.sixteen) c.sixteen = make_int(16);
    if (!c.byte_ff) c.byte_ff = make_int(255);
    if (!c.crc_init) c.crc_init = make_int(0xFFFFFFFFLL);
    if (!c.crc_poly) c.crc_poly = make_int(0x104C11DB7LL);
    if (!c.minus_one) c.minus_one = make_int(-1);
    if (!c.slice_2_3) c.slice_2_3 = make_slice(c.two, c.three);
    if (!c.slice_3_) c.slice_3_ = make_slice(c.three, Py_None);
    if (!c.crc_keywords)
        c.crc_keywords = check(PyTuple_Pack(3, t.initCrc, t.rev, t.xorOut)).release();
    if (!c.hex_keywords)
        c.hex_keywords =
            check(PyTuple_Pack(2, t.write_start_addr, t.byte_count)).release();
    if (!c.file_keyword) c.file_keyword = check(PyTuple_Pack(1, t.file)).release();
    if (!c.calc_keywords)
        c.calc_keywords =
            check(PyTuple_Pack(4, t.elffilename, t.varename, t.crcaddr, t.crcblock))
                .release();
    state.constants_made = true;
}

Ref global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(state.globals, name);
    if (!found && !PyErr_Occurred()) {
        PyObject* builtins_dict = PyModule_GetDict(state.builtins);
        found = PyDict_GetItemWithError(builtins_dict, name);
        if (!found && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    if (!found) throw PythonError{};
    return Ref::share(found);
}

void print(PyObject* text) {
    check(PyObject_CallOneArg(state.print, text));
}

void print_stderr(PyObject* text) {
    // The runtime's sys.stderr: a caller's replacement of the module's `sys`
    // does not take the warnings with it.
    PyObject* stderr_file = PySys_GetObject("stderr");
    if (!stderr_file || stderr_file == Py_None) return;
    Ref held = Ref::share(stderr_file);
    PyObject* const args[] = {text, held.get()};
    check(PyObject_Vectorcall(state.print, args, 1, state.c.file_keyword));
}

bool global_is(PyObject* name, PyObject* genuine) {
    PyObject* found = PyDict_GetItemWithError(state.globals, name);
    if (!found) {
        if (PyErr_Occurred()) throw PythonError{};
        found = PyDict_GetItemWithError(PyModule_GetDict(state.builtins), name);
        if (!found && PyErr_Occurred()) throw PythonError{};
    }
    return found != nullptr && found == genuine;
}

PyObject* fetch_builtin(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(state.builtins), name);
    if (!found) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PythonError{};
    }
    return Py_NewRef(found);
}

Ref import(PyObject* name, PyObject* fromlist) {
    return check(
        PyImport_ImportModuleLevelObject(name, state.globals, nullptr, fromlist, 0));
}

void bind(PyObject* name, PyObject* value) {
    check(PyDict_SetItem(state.globals, name, value));
}

// `import a.b` binds the top-level package; `import a` the module itself.
void import_module(PyObject* dotted, PyObject* bound_as) {
    bind(bound_as, import(dotted, nullptr).get());
}

}  // namespace velk
