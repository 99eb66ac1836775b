// The VELK_CRC extension module: definition, create step and start-up.
#include <cstdio>

#include "calls.h"
#include "functions.h"

#ifndef VELK_CRC_BUILD_MAJOR
#define VELK_CRC_BUILD_MAJOR PY_MAJOR_VERSION
#endif
#ifndef VELK_CRC_BUILD_MINOR
#define VELK_CRC_BUILD_MINOR PY_MINOR_VERSION
#endif

namespace velk {

namespace {

// Copies one attribute of the ModuleSpec onto the new module; when the
// ModuleSpec lacks it, the module attribute stays unset.
void copy_spec_attribute(PyObject* import_spec, PyObject* module, const char* from,
                         const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(import_spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        return;
    }
    Ref owned(value);
    if (value == Py_None && !allow_none) return;
    check(PyObject_SetAttrString(module, to, value));
}

PyObject* create_module(PyObject* import_spec, PyModuleDef*) noexcept {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (!state.have_interp_id) {
        state.interp_id = id;
        state.have_interp_id = true;
    } else if (state.interp_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be "
                        "loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);
    try {
        Ref name = check(PyObject_GetAttrString(import_spec, "name"));
        Ref module = check(PyModule_NewObject(name.get()));
        copy_spec_attribute(import_spec, module.get(), "loader", "__loader__", true);
        copy_spec_attribute(import_spec, module.get(), "origin", "__file__", true);
        copy_spec_attribute(import_spec, module.get(), "parent", "__package__", true);
        copy_spec_attribute(import_spec, module.get(), "submodule_search_locations",
                            "__path__", false);
        return module.release();
    } catch (...) {
        raise_from_current_exception();
    }
    return nullptr;
}

void warn_on_version_mismatch() {
    int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == VELK_CRC_BUILD_MAJOR && minor == VELK_CRC_BUILD_MINOR) return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s "
                  "runtime version %d.%d",
                  VELK_CRC_BUILD_MAJOR, VELK_CRC_BUILD_MINOR, "VELK_CRC",
                  "does not match", major, minor);
    check(PyErr_WarnEx(nullptr, message, 1));
}

void fetch_builtins() {
    const Texts& t = state.t;
    Py_XSETREF(state.print, fetch_builtin(t.print));
    Py_XSETREF(state.open, fetch_builtin(t.open));
    Py_XSETREF(state.enumerate, fetch_builtin(t.enumerate));
    Py_XSETREF(state.range, fetch_builtin(t.range));
}

// `from package import name`
void import_from(PyObject* package, PyObject* name) {
    Ref fromlist = check(PyTuple_Pack(1, name));
    Ref module = import(package, fromlist.get());
    PyObject* value = PyObject_GetAttr(module.get(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        // A submodule of that name that the import system already holds.
        Ref full = check(PyUnicode_FromFormat("%U.%U", package, name));
        value = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            throw PythonError{};
        }
        Py_INCREF(value);
    }
    Ref owned(value);
    bind(name, value);
}

// Remembers what the imports bound, for the native steps' identity checks.
// They read nothing a caller could have changed yet: the start-up is still
// running.
void record_genuine() {
    const Texts& t = state.t;
    State::Genuine& g = state.genuine;
    auto bound = [](PyObject* name) {
        PyObject* value = PyDict_GetItemWithError(state.globals, name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
            throw PythonError{};
        }
        return Py_NewRef(value);
    };
    Py_XSETREF(g.ELFFile, bound(t.ELFFile));
    Py_XSETREF(g.SymbolTableSection, bound(t.SymbolTableSection));
    Py_XSETREF(g.IntelHex, bound(t.IntelHex));
    // The from-import has just put the module into sys.modules.
    Ref module(PyImport_GetModule(t.elftools_elf_sections));
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, t.elftools_elf_sections);
        throw PythonError{};
    }
    Py_XSETREF(g.StringTableSection,
               check(PyObject_GetAttr(module.get(), t.StringTableSection)).release());
    Py_XSETREF(g.Symbol, check(PyObject_GetAttr(module.get(), t.Symbol)).release());
    Py_XSETREF(g.frombytes, check(PyObject_GetAttr(g.IntelHex, t.frombytes)).release());
    Py_XSETREF(g.setitem,
               check(PyObject_GetAttr(g.IntelHex, t.dunder_setitem)).release());
    Py_XSETREF(g.write_hex_file,
               check(PyObject_GetAttr(g.IntelHex, t.write_hex_file)).release());
}

void run_main_guard() {
    Ref name = global(state.t.dunder_name);
    if (check(PyObject_RichCompareBool(name.get(), state.t.dunder_main, Py_EQ))) {
        Ref runmain_func = global(state.t.runmain);
        check(PyObject_CallNoArgs(runmain_func.get()));
    }
}

void start_up(PyObject* module) {
    state.globals = PyModule_GetDict(module);

    Ref builtins = check(PyImport_ImportModule("builtins"));
    check(PyObject_SetAttrString(module, "__builtins__", builtins.get()));
    Py_XSETREF(state.builtins, builtins.release());

    warn_on_version_mismatch();
    make_constants();
    const Texts& t = state.t;

    PyObject* modules = PyImport_GetModuleDict();
    if (!check(PyDict_Contains(modules, t.module_name)))
        check(PyDict_SetItem(modules, t.module_name, module));

    fetch_builtins();

    import_module(t.os_path, t.os);
    import_module(t.struct_, t.struct_);
    import_module(t.sys, t.sys);
    import_module(t.traceback, t.traceback);
    import_module(t.crcmod, t.crcmod);
    import_from(t.elftools_elf_elffile, t.ELFFile);
    import_from(t.elftools_elf_sections, t.SymbolTableSection);
    import_from(t.intelhex, t.IntelHex);
    record_genuine();

    bind_functions(module);
    run_main_guard();
    Ref test_dict = check(PyDict_New());
    bind(t.dunder_test, test_dict.get());
}

int exec_module(PyObject* module) noexcept {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'VELK_CRC' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    try {
        start_up(module);
        return 0;
    } catch (...) {
        raise_from_current_exception();
    }
    if (state.constants_made) add_traceback(Entry::init);
    // Forget this module so that a later import starts afresh.
    state.globals = nullptr;
    Py_CLEAR(state.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "VELK_CRC",    // m_name
    nullptr,       // m_doc
    0,             // m_size: the state is process-wide
    nullptr,       // m_methods: the functions are bound by the start-up
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace velk

PyMODINIT_FUNC PyInit_VELK_CRC(void) {
    return PyModuleDef_Init(&velk::module_def);
}
