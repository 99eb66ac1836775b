// runmain(): the command line. `prog VELK <elffile> --n<name>|--a<addr>|--s<block>`
// as it always was; `prog FLASH ...` and `prog CHECK ...` with their own
// option words; `prog --help` and `prog --version`.
#include <sys/stat.h>

#include <algorithm>

#include "../module/calls.h"
#include "../module/functions.h"
#include "../pipeline/adapter.h"
#include "../report/reporter.h"
#include "../report/text.h"
#include "help.h"
#include "options.h"

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

void sys_exit(int value) {
    Ref code = check(PyLong_FromLong(value));
    sys_exit(code.get());
}

std::string option_fault(const cli::OptionFault& f, cli::Mode mode) {
    using F = cli::OptionFault;
    const std::string word = "\"" + f.word + "\"";
    const char* name = cli::mode_name(mode);
    switch (f.kind) {
        case F::no_file:
            return text::format(
                "no input file: velk-crc %s <file> --n<variable>|--a<offset>|"
                "--s<block size>",
                name);
        case F::two_files:
            return "unexpected word " + word + ": one input file only (velk-crc --help)";
        case F::unknown:
            return "unknown option " + word + " (velk-crc --help lists the options)";
        case F::two_selectors:
            return "two selectors (the second is " + word +
                   "): give one of --n<variable>, --a<offset>, --s<block size>";
        case F::no_selector:
            return "no selector: give --n<variable>, --a<hex offset> or --s<block size>";
        case F::not_in_mode:
            return word + text::format(" is not an option of %s (velk-crc --help)", name);
        case F::elf_needs_file:
            return "--elf needs the build's ELF file, as in --elf fw.elf";
        case F::repeated:
            return word + " is given twice";
    }
    return "bad option " + word;
}

// FLASH or CHECK with the words after the mode word; the exit status.
int run_mode(cli::Mode mode, const std::vector<std::string>& words) {
    bool json = std::find(words.begin(), words.end(), "--json") != words.end();
    auto parsed = cli::parse(mode, words);
    if (auto* fault = std::get_if<cli::OptionFault>(&parsed)) {
        Reporter report(cli::mode_name(mode), cli::input_word(words), json);
        report.error(option_fault(*fault, mode));
        report.finish("error");
        return mode == cli::Mode::flash ? -1 : 2;
    }
    const cli::Options& options = std::get<cli::Options>(parsed);
    if (options.help) {
        say(cli::help_text());
        return 0;
    }
    Reporter report(cli::mode_name(mode), options.file, options.json);
    if (mode == cli::Mode::flash)
        return with_traceback_entry(Entry::flash_crc_calc,
                                    [&] { return flash_crc_calc(options, report); });
    return with_traceback_entry(Entry::check_crc,
                                [&] { return check_crc(options, report); });
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
    std::string root = cli::path_root(fs_path(elffilename));
    std::string shown = cli::path_root(utf8_of(elffilename));
    for (const char* suffix : {"_CRC.elf", "_CRC.bin", "_CRC.srec"}) {
        struct stat st;
        if (::lstat((root + suffix).c_str(), &st) == 0 && S_ISREG(st.st_mode))
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

// Our own first words: help, version, FLASH and CHECK. False when the
// command line is VELK's (or a refusal of it).
bool run_own_words() {
    Ref args = argv();
    Py_ssize_t count = PyObject_Length(args.get());
    if (count < 0) throw PythonError{};
    if (count < 2) return false;
    Ref first = check(PySequence_GetItem(args.get(), 1));
    if (!PyUnicode_Check(first.get())) return false;
    std::string word = utf8_of(first.get());
    if (word == "--help" || word == "-h" || word == "help") {
        say(cli::help_text());
        sys_exit(0);
        return true;
    }
    if (word == "--version") {
        say(cli::version_text());
        sys_exit(0);
        return true;
    }
    if (word != "FLASH" && word != "CHECK") return false;
    cli::Mode mode = word == "FLASH" ? cli::Mode::flash : cli::Mode::check;
    std::vector<std::string> words;
    for (Py_ssize_t i = 2; i < count; ++i)
        words.push_back(utf8_of(check(PySequence_GetItem(args.get(), i)).get()));
    sys_exit(run_mode(mode, words));
    return true;
}

}  // namespace

Ref runmain() {
    const Texts& t = state.t;
    const Constants& c = state.c;
    if (run_own_words()) return Ref::share(Py_None);

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
