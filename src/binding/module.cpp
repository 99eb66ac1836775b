// velk_crc._core: the binding between the velk_crc package and the engine.
// It turns the Python API's arguments and the command line's words into the
// engine's request, runs the engine without the interpreter's lock, and
// turns what the engine says into the package's Report and exceptions.
// Its start-up imports nothing of the CRC, ELF or HEX packages: a FLASH run
// starts as fast as the interpreter does.
#include <string>
#include <vector>

#include "../engine/cli/command_line.h"
#include "../engine/cli/help.h"
#include "boundary.h"
#include "probes.h"
#include "report.h"
#include "request.h"
#include "text.h"

namespace velk::binding {

ModuleState& state_of(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

void raise_terminated(const outfile::Terminated& terminated) {
    Ref status = check(PyLong_FromLong(128 + terminated.signal_number));
    PyErr_SetObject(PyExc_SystemExit, status.get());
    throw PythonError{};
}

namespace {

std::vector<std::string> words_of(PyObject* list) {
    if (!PyList_Check(list)) {
        PyErr_SetString(PyExc_TypeError, "the words must be a list of str");
        throw PythonError{};
    }
    std::vector<std::string> words;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* word = PyList_GET_ITEM(list, i);
        if (!PyUnicode_Check(word)) {
            PyErr_Format(PyExc_TypeError, "a word must be str, not %.100s",
                         Py_TYPE(word)->tp_name);
            throw PythonError{};
        }
        words.push_back(text_of(word));
    }
    return words;
}

// main(words) -> int: the command line after the program name.
PyObject* core_main(PyObject* module, PyObject* words) noexcept {
    return boundary([&] {
        PythonHost host(state_of(module));
        std::vector<std::string> given = words_of(words);
        int status = engine_call(host, [&] { return cli::command_line(given, host); });
        return check(PyLong_FromLong(status));
    });
}

// flash(elf, **options) and check(path, **options) -> Report.
PyObject* core_run(const char* word, PyObject* module, PyObject* const* args, size_t nargsf,
              PyObject* kwnames) noexcept {
    return boundary([&] {
        const Mode& mode = *find_mode(word);
        const ModuleState& state = state_of(module);
        Request request = api_request(mode, args, PyVectorcall_NARGS(nargsf), kwnames);
        PythonHost host(state);
        cli::Outcome outcome =
            engine_call(host, [&] { return cli::run_quietly(mode, request, host); });
        return report_of(state, mode, outcome);
    });
}

PyObject* core_flash(PyObject* module, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) noexcept {
    return core_run("FLASH", module, args, nargsf, kwnames);
}

PyObject* core_check(PyObject* module, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) noexcept {
    return core_run("CHECK", module, args, nargsf, kwnames);
}

Ref own_words() {
    std::vector<std::string> words = cli::own_words();
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(words.size())));
    for (size_t i = 0; i < words.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                         text_object(words[i]).release());
    return tuple;
}

// {mode word: the line of a run the user interrupted}, and under
// "<mode word> --stamp" that of a run writing a set of files per device.
Ref interrupted_lines() {
    Ref lines = check(PyDict_New());
    for (const Mode* mode = modes_begin(); mode != modes_end(); ++mode) {
        check(PyDict_SetItem(
            lines.get(), text_object(mode->word).get(),
            text_object(std::string("error: ") + mode->interrupted).get()));
        if (mode->interrupted_devices)
            check(PyDict_SetItem(
                lines.get(), text_object(std::string(mode->word) + " --stamp").get(),
                text_object(std::string("error: ") + mode->interrupted_devices).get()));
    }
    return lines;
}

Ref attribute(PyObject* module, const char* name) {
    return check(PyObject_GetAttrString(module, name));
}

int exec_module(PyObject* module) noexcept {
    ModuleState& state = state_of(module);
    try {
        // The package's classes: the package is loaded whole before its
        // native half, which its functions load at their first call.
        Ref package = check(PyImport_ImportModule("velk_crc"));
        state.report = attribute(package.get(), "Report").release();
        state.output_file = attribute(package.get(), "OutputFile").release();
        state.refused = attribute(package.get(), "Refused").release();
        state.cannot_verify = attribute(package.get(), "CannotVerify").release();
        state.internal_error = attribute(package.get(), "InternalError").release();
        Ref builtins = check(PyImport_ImportModule("builtins"));
        state.print = attribute(builtins.get(), "print").release();
        check(PyModule_AddObjectRef(module, "own_words", own_words().get()));
        check(PyModule_AddObjectRef(module, "interrupted", interrupted_lines().get()));
        check(PyModule_AddStringConstant(module, "version", cli::version()));
        return 0;
    } catch (const PythonError&) {
        return -1;
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = state_of(module);
    Py_VISIT(state.report);
    Py_VISIT(state.output_file);
    Py_VISIT(state.refused);
    Py_VISIT(state.cannot_verify);
    Py_VISIT(state.internal_error);
    Py_VISIT(state.print);
    return 0;
}

int clear(PyObject* module) {
    ModuleState& state = state_of(module);
    Py_CLEAR(state.report);
    Py_CLEAR(state.output_file);
    Py_CLEAR(state.refused);
    Py_CLEAR(state.cannot_verify);
    Py_CLEAR(state.internal_error);
    Py_CLEAR(state.print);
    return 0;
}

void free_module(void* module) {
    clear(static_cast<PyObject*>(module));
}

PyMethodDef methods[] = {
    {"main", reinterpret_cast<PyCFunction>(core_main), METH_O,
     "main(words) -> int: the command line after the program name."},
    {"flash", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(core_flash)),
     METH_FASTCALL | METH_KEYWORDS,
     "flash(elf, **options) -> Report: velk_crc.flash's run."},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(core_check)),
     METH_FASTCALL | METH_KEYWORDS,
     "check(path, **options) -> Report: velk_crc.check's run."},
    {"_elf_probe", reinterpret_cast<PyCFunction>(elf_probe), METH_O,
     "_elf_probe(data) -> tuple: what the ELF reader reads of the bytes (tests)."},
    {"_checksum", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(checksum_probe)),
     METH_FASTCALL, "_checksum(name or parameters, data, words, big_endian=False) -> int: a checksum (tests, benchmarks)."},
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
    sizeof(ModuleState),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace

}  // namespace velk::binding

PyMODINIT_FUNC PyInit__core(void) {
    return PyModuleDef_Init(&velk::binding::module_def);
}
