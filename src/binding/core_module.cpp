// velk_crc._core: the native half of the velk_crc package. Its start-up
// imports nothing of the CRC, ELF or HEX packages: a FLASH run starts as
// fast as the interpreter does.
#include "../engine/cli/help.h"
#include "../velk/module/calls.h"
#include "api.h"
#include "elf_probe.h"

namespace velk {

namespace {

int exec_module(PyObject* module) noexcept {
    if (state.module) {
        PyErr_SetString(PyExc_ImportError,
                        "velk_crc._core is loaded once per process and interpreter");
        return -1;
    }
    try {
        state.globals = PyModule_GetDict(module);
        Py_XSETREF(state.builtins, check(PyImport_ImportModule("builtins")).release());
        make_constants();
        const Texts& t = state.t;
        Py_XSETREF(state.print, fetch_builtin(t.print));
        Py_XSETREF(state.open, fetch_builtin(t.open));
        check(PyModule_AddObjectRef(module, "own_words", product::own_words().get()));
        check(PyModule_AddObjectRef(module, "interrupted", product::interrupted().get()));
        check(PyModule_AddStringConstant(module, "version", cli::version()));
        state.module = Py_NewRef(module);
        return 0;
    } catch (...) {
        raise_from_current_exception();
    }
    state.globals = nullptr;
    return -1;
}

PyMethodDef methods[] = {
    {"main", reinterpret_cast<PyCFunction>(product::main), METH_O,
     "main(words) -> int: the command line after the program name."},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(product::run)),
     METH_FASTCALL,
     "run(mode, input, words) -> (status, report): a mode run that prints nothing."},
    {"_elf_probe", reinterpret_cast<PyCFunction>(elf_probe), METH_O,
     "_elf_probe(data) -> tuple: what the ELF reader reads of the bytes (tests)."},
    {"_checksum", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(checksum_probe)),
     METH_FASTCALL, "_checksum(name, data, words) -> int: a catalogue checksum (tests)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velk_crc._core",
    "The native half of velk_crc: FLASH, CHECK and their command line.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace velk

PyMODINIT_FUNC PyInit__core(void) {
    return PyModuleDef_Init(&velk::module_def);
}
