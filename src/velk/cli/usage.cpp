// usage(str): the three-line usage text with the reason on its first line.
#include "../module/functions.h"
#include "../module/ops.h"

namespace velk {

Ref usage(PyObject* str) {
    const Texts& t = state.t;
    Ref help_str = add(t.usage_line1, str);
    print(help_str.get());
    print(t.usage_line2);
    print(t.usage_line3);
    return Ref::share(Py_None);
}

}  // namespace velk
