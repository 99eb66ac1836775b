// Text and paths between Python objects and the engine's bytes: the
// engine's text is UTF-8 in which a file name's bytes that are not stand as
// they came, as Python's surrogateescape reads them.
#pragma once

#include <string>

#include "../python/handle.h"

namespace velk::binding {

// A str from the engine's text.
Ref text_object(const std::string& text);

// The engine's text of a str.
std::string text_of(PyObject* text);

// A path argument (str, bytes or os.PathLike) as the file system's bytes,
// or TypeError naming `what` ("elf must be a path (str or os.PathLike), not
// int"); ValueError for a str no file system name holds.
std::string path_of(PyObject* value, const char* what);

}  // namespace velk::binding
