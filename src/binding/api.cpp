#include "api.h"

#include <string>
#include <vector>

#include "../velk/adapter/text.h"
#include "../engine/cli/command_line.h"
#include "../velk/module/calls.h"
#include "host.h"

namespace velk::product {

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
        words.push_back(utf8_of(word));
    }
    return words;
}

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

}  // namespace

PyObject* main(PyObject*, PyObject* words) noexcept {
    return boundary(Entry::product_main, [&] {
        PythonHost host;
        std::vector<std::string> given = words_of(words);
        int status = engine_call([&] { return cli::command_line(given, host); });
        return check(PyLong_FromLong(status));
    });
}

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
    return boundary(Entry::product_run, [&] {
        if (count != 3 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "run(mode: str, input: str, words: list)");
            throw PythonError{};
        }
        const Mode* mode = find_mode(utf8_of(args[0]));
        if (!mode) {
            PyErr_Format(PyExc_ValueError, "no mode %R", args[0]);
            throw PythonError{};
        }
        PythonHost host;
        std::vector<std::string> words = words_of(args[2]);
        std::string input = utf8_of(args[1]);
        cli::Outcome outcome =
            engine_call([&] { return cli::run_quietly(*mode, words, input, host); });
        Ref status = check(PyLong_FromLong(outcome.status));
        Ref object = python_of(outcome.object);
        return check(PyTuple_Pack(2, status.get(), object.get()));
    });
}

Ref own_words() {
    std::vector<std::string> words = cli::own_words();
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(words.size())));
    for (size_t i = 0; i < words.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                         text_object(words[i]).release());
    return tuple;
}

Ref interrupted() {
    Ref lines = check(PyDict_New());
    for (const Mode* mode = modes_begin(); mode != modes_end(); ++mode)
        check(PyDict_SetItem(
            lines.get(), text_object(mode->word).get(),
            text_object(std::string("error: ") + mode->interrupted).get()));
    return lines;
}

}  // namespace velk::product
