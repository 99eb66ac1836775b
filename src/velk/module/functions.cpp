// The function table: argument binding in front of each body.
#include "functions.h"

#include "calls.h"

namespace velk {

namespace {

PyObject* py_calc_crc_mpeg2(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary(Entry::calc_crc_mpeg2, [&] {
        PyObject* const params[] = {state.t.data};
        PyObject* a[1];
        bind_arguments("calc_crc_mpeg2", args, kwargs, params, 1, a);
        return calc_crc_mpeg2(a[0]);
    });
}

PyObject* py_velk_crc_calc(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary(Entry::velk_crc_calc, [&] {
        const Texts& t = state.t;
        PyObject* const params[] = {t.elffilename, t.varename, t.crcaddr, t.crcblock};
        PyObject* a[4];
        bind_arguments("velk_crc_calc", args, kwargs, params, 4, a);
        return velk_crc_calc(a[0], a[1], a[2], a[3]);
    });
}

PyObject* py_usage(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary(Entry::usage, [&] {
        PyObject* const params[] = {state.t.str};
        PyObject* a[1];
        bind_arguments("usage", args, kwargs, params, 1, a);
        return usage(a[0]);
    });
}

PyObject* py_runmain(PyObject*, PyObject* args, PyObject* kwargs) {
    // A call with arguments is refused before the body starts, and without
    // a traceback entry of runmain's own.
    Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", "runmain",
                     "takes no arguments", npos);
        return nullptr;
    }
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", "runmain",
                     "takes no keyword arguments");
        return nullptr;
    }
    return boundary(Entry::runmain, [] { return runmain(); });
}

PyMethodDef method(const char* name, PyCFunctionWithKeywords body) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(body)),
            METH_VARARGS | METH_KEYWORDS, nullptr};
}

PyMethodDef function_table[] = {
    method("calc_crc_mpeg2", py_calc_crc_mpeg2),
    method("velk_crc_calc", py_velk_crc_calc),
    method("usage", py_usage),
    method("runmain", py_runmain),
};

}  // namespace

void bind_functions(PyObject* module) {
    const Texts& t = state.t;
    PyObject* const names[] = {t.calc_crc_mpeg2, t.velk_crc_calc, t.usage, t.runmain};
    PyObject* dict = PyModule_GetDict(module);
    for (int i = 0; i < 4; ++i) {
        Ref func = check(PyCFunction_NewEx(&function_table[i], module, t.module_name));
        check(PyDict_SetItem(dict, names[i], func.get()));
    }
}

}  // namespace velk
