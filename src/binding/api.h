// The functions of velk_crc._core, under the package's Python layer: the
// command line and a quiet run for the Python API.
#pragma once

#include "../velk/module/handle.h"

namespace velk::product {

// main(words: list[str]) -> int: the command line after the program name.
PyObject* main(PyObject* module, PyObject* words) noexcept;

// run(mode: str, input: str, words: list[str]) -> (int, dict): a mode run
// on `input` with the option words, printing nothing; the dict is the
// object --json prints.
PyObject* run(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept;

// The words main() answers itself, for the package to tell VELK mode's.
Ref own_words();

// {mode word: the line of a run the user interrupted}
Ref interrupted();

}  // namespace velk::product
