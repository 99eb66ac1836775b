// runmain(): the command line `prog VELK <elffile> --n<name>|--a<addr>|--s<block>`,
// and the same with FLASH (the whole flash image) or CHECK (verify only).
#include "../module/functions.h"
#include "../module/ops.h"

namespace velk {

namespace {

// sys.argv is read afresh at every use: a caller may replace it.
Ref argv() {
    return attr(global(state.t.sys).get(), state.t.argv);
}

Ref argv_word(PyObject* index) {
    return item(argv().get(), index);
}

void show_usage(PyObject* reason) {
    call(global(state.t.usage).get(), reason);
}

using Calc = Ref (*)(PyObject*, PyObject*, PyObject*, PyObject*);

void sys_exit(PyObject* value) {
    call(attr(global(state.t.sys).get(), state.t.exit).get(), value);
}

}  // namespace

Ref runmain() {
    const Texts& t = state.t;
    const Constants& c = state.c;
    Ref elfFilename = Ref::share(Py_None);
    Ref VareName = Ref::share(Py_None);
    Ref Crcaddr = Ref::share(Py_None);
    Ref Crcblock = Ref::share(Py_None);
    Ref ret = Ref::share(c.minus_one);

    Py_ssize_t words = PyObject_Length(argv().get());
    if (words < 0) throw PythonError{};
    if (words < 4) {
        show_usage(t.reason_short);
        sys_exit(ret.get());
    }

    Ref starts = check(
        PyObject_CallMethodOneArg(argv_word(c.three).get(), t.startswith, t.dashdash));
    if (truth(starts.get())) {
        Ref option = item(argv_word(c.three).get(), c.slice_2_3);
        if (compare(option.get(), t.opt_n, Py_EQ))
            VareName = item(argv_word(c.three).get(), c.slice_3_);
        else if (compare(option.get(), t.opt_a, Py_EQ))
            Crcaddr = item(argv_word(c.three).get(), c.slice_3_);
        else if (compare(option.get(), t.opt_s, Py_EQ))
            Crcblock = item(argv_word(c.three).get(), c.slice_3_);
    }
    elfFilename = argv_word(c.two);

    Ref mode = argv_word(c.one);
    Calc calc = nullptr;
    if (compare(mode.get(), t.FLASH, Py_EQ))
        calc = flash_crc_calc;
    else if (compare(mode.get(), t.CHECK, Py_EQ))
        calc = check_crc;
    else if (compare(mode.get(), t.VELK, Py_NE)) {
        show_usage(t.reason_mode);
        // A mistyped mode word did not insert a checksum: fail the build step.
        sys_exit(c.minus_one);
    }

    if (elfFilename.get() != Py_None && calc) {
        ret = calc(elfFilename.get(), VareName.get(), Crcaddr.get(), Crcblock.get());
    } else if (elfFilename.get() != Py_None) {
        PyObject* const args[] = {elfFilename.get(), VareName.get(), Crcaddr.get(),
                                  Crcblock.get()};
        ret = check(
            PyObject_Vectorcall(global(t.velk_crc_calc).get(), args, 0, c.calc_keywords));
    } else {
        show_usage(t.reason_no_file);
    }
    sys_exit(ret.get());
    return Ref::share(Py_None);
}

}  // namespace velk
