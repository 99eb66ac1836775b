// runmain(): VELK mode's command line, `prog VELK <elffile>
// --n<name>|--a<addr>|--s<block>`, as it always was. The product's other
// words (FLASH, CHECK, --help) are the velk-crc command's, not this one's.

#include "../../engine/cli/help.h"
#include "../../engine/formats/formats.h"
#include "../../engine/outfile/names.h"
#include "../../engine/platform/platform.h"
#include "../adapter/files.h"
#include "../adapter/printing.h"
#include "../adapter/text.h"
#include "../module/functions.h"

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

void sys_exit(PyObject* value) {
    call(attr(global(state.t.sys).get(), state.t.exit).get(), value);
}

// VELK mode reads the fourth word alone: the words after it, FLASH's
// options among them, are said to be left unread.
void hint_unread_words(PyObject* args) {
    Py_ssize_t count = PyObject_Length(args);
    if (count < 0) throw PythonError{};
    std::string unread;
    for (Py_ssize_t i = 4; i < count; ++i)
        unread += (unread.empty() ? "" : " ") +
                  utf8_of(check(PySequence_GetItem(args, i)).get());
    if (!unread.empty())
        say_to_stderr("hint: VELK mode reads one option word; \"" + unread +
                      "\" is not read (FLASH takes several: velk-crc --help)");
}

// After a VELK run: files FLASH wrote for the same ELF earlier no longer
// match the new HEX.
void warn_earlier_flash_files(PyObject* elffilename) {
    if (!PyUnicode_Check(elffilename)) return;
    std::string root = outfile::path_root(fs_path(elffilename));
    std::string shown = outfile::path_root(utf8_of(elffilename));
    // Every file FLASH may write, but the HEX this run has just written.
    const std::string written = utf8_of(state.t.crc_hex_suffix);
    for (const std::string& suffix : formats::flash_endings()) {
        if (suffix == written) continue;
        if (platform::kind_of(root + suffix, false) == platform::Kind::file)
            say_to_stderr("warning: " + shown + suffix +
                          " is from an earlier FLASH run: it does not match this HEX");
    }
}

// The usage text of a refusal says how to call VELK mode; this line says
// where the other modes and options are.
void hint_after_usage(PyObject* mode_word) {
    std::string word = mode_word && PyUnicode_Check(mode_word) ? utf8_of(mode_word) : "";
    say_to_stderr(cli::usage_hint(word));
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
        hint_after_usage(nullptr);
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
    if (compare(mode.get(), t.VELK, Py_NE)) {
        show_usage(t.reason_mode);
        hint_after_usage(mode.get());
        // A mistyped mode word did not insert a checksum: fail the build step.
        sys_exit(c.minus_one);
    }

    if (elfFilename.get() != Py_None) {
        hint_unread_words(argv().get());
        PyObject* const args[] = {elfFilename.get(), VareName.get(), Crcaddr.get(),
                                  Crcblock.get()};
        ret = check(
            PyObject_Vectorcall(global(t.velk_crc_calc).get(), args, 0, c.calc_keywords));
        if (ret.get() == Py_None) warn_earlier_flash_files(elfFilename.get());
    } else {
        show_usage(t.reason_no_file);
        hint_after_usage(nullptr);
    }
    sys_exit(ret.get());
    return Ref::share(Py_None);
}

}  // namespace velk
