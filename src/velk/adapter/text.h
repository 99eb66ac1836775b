// Python values as the pure cores take them: numbers and text.
#pragma once

#include <cstdint>
#include <string>

#include "../module/ops.h"

namespace velk {

// An integer the ELF reader gave as an address or size.
uint64_t as_u64(PyObject* value);

// Whether `value` is an int from 0 to 2**64 - 1, and which: for reasoning
// about a layout that a caller's objects may have made unusual.
bool fits_u64(PyObject* value, uint64_t& out);

// Back to text: what utf8_of() made, or a word of the command line.
Ref text_object(const std::string& utf8);

// Text for a message: UTF-8, with bytes that did not decode (a file name
// on the command line) kept as they came.
std::string utf8_of(PyObject* text);

}  // namespace velk
