#include "report.h"

#include "../engine/report/refusal.h"
#include "text.h"

namespace velk::binding {

Ref python_of(const json::Value& value) {
    using Kind = json::Value::Kind;
    switch (value.kind()) {
        case Kind::null:
            return Ref::share(Py_None);
        case Kind::boolean:
            return Ref::share(value.boolean() ? Py_True : Py_False);
        case Kind::number:
            return check(PyLong_FromUnsignedLongLong(value.number()));
        case Kind::text:
            return text_object(value.text());
        case Kind::array: {
            Ref list = check(PyList_New(0));
            for (const auto& item : value.items())
                check(PyList_Append(list.get(), python_of(item.second).get()));
            return list;
        }
        case Kind::object: {
            Ref dict = check(PyDict_New());
            for (const auto& item : value.items())
                check(PyDict_SetItem(dict.get(), text_object(item.first).get(),
                                     python_of(item.second).get()));
            return dict;
        }
    }
    return Ref::share(Py_None);
}

namespace {

// OutputFile(path, format, base): the file's name, which says what it is.
Ref files_of(const ModuleState& state, const std::vector<Reporter::Written>& written) {
    Ref list = check(PyList_New(0));
    for (const Reporter::Written& file : written) {
        Ref path = text_object(file.path);
        Ref format = text_object(file.format);
        Ref base = file.base ? check(PyLong_FromUnsignedLongLong(*file.base))
                             : Ref::share(Py_None);
        Ref entry = check(PyObject_CallFunctionObjArgs(state.output_file, path.get(),
                                                       format.get(), base.get(), nullptr));
        check(PyList_Append(list.get(), entry.get()));
    }
    return list;
}

}  // namespace

Ref report_of(const ModuleState& state, const Mode& mode, const cli::Outcome& outcome) {
    Ref data = python_of(outcome.object);
    check(PyDict_SetItemString(data.get(), "files", files_of(state, outcome.files).get()));
    Ref report = check(PyObject_CallOneArg(state.report, data.get()));
    const bool internal = outcome.status == internal_error_status;
    if (outcome.status != mode.refused && !internal) return report;
    PyObject* message = PyDict_GetItemString(data.get(), "message");
    PyObject* error = internal                       ? state.internal_error
                      : mode.bit == mode_bit::flash ? state.refused
                                                    : state.cannot_verify;
    Ref exception = check(PyObject_CallFunctionObjArgs(
        error, message ? message : Py_None, report.get(), nullptr));
    PyErr_SetObject(error, exception.get());
    throw PythonError{};
}

}  // namespace velk::binding
