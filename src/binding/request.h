// The Python API's arguments as the engine's request, with no command-line
// words between: each argument's type is checked here (TypeError names
// it), and the engine's one set of rules judges the values, naming the
// API's arguments in what it refuses.
#pragma once

#include "../engine/cli/modes.h"
#include "../engine/request/request.h"
#include "../python/handle.h"

namespace velk::binding {

// flash(elf, *, ...) and check(path, *, ...): `args` and `kwnames` as a
// vectorcall gives them (the package's functions pass every keyword).
Request api_request(const Mode& mode, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

}  // namespace velk::binding
