#include "native_output.h"

#include "../module/state.h"

namespace velk {

namespace {

// A method looked up on the instance is the genuine function bound to it.
bool genuine_method(PyObject* ihex, PyObject* name, PyObject* genuine) {
    Ref method(PyObject_GetAttr(ihex, name));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        return false;
    }
    return PyMethod_Check(method.get()) &&
           PyMethod_GET_FUNCTION(method.get()) == genuine &&
           PyMethod_GET_SELF(method.get()) == ihex;
}

}  // namespace

bool genuine_container(PyObject* ihex) {
    const State::Genuine& g = state.genuine;
    if (reinterpret_cast<PyObject*>(Py_TYPE(ihex)) != g.IntelHex) return false;
    Ref setitem(PyObject_GetAttr(g.IntelHex, state.t.dunder_setitem));
    if (!setitem) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        return false;
    }
    return setitem.get() == g.setitem &&
           genuine_method(ihex, state.t.frombytes, g.frombytes) &&
           genuine_method(ihex, state.t.write_hex_file, g.write_hex_file);
}

bool record_bytes(PyObject* record, uint8_t out[4]) {
    if (!PyList_CheckExact(record) || PyList_GET_SIZE(record) != 4) return false;
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* value = PyList_GET_ITEM(record, i);
        if (!PyLong_CheckExact(value)) return false;
        int overflow = 0;
        long byte = PyLong_AsLongAndOverflow(value, &overflow);
        if (overflow || byte < 0 || byte > 255) return false;
        out[i] = static_cast<uint8_t>(byte);
    }
    return true;
}

}  // namespace velk
