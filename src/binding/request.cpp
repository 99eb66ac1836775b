#include "request.h"

#include <cstring>

#include "text.h"

namespace velk::binding {

namespace {

// The keyword arguments, borrowed from the call; None or missing: not
// given.
struct Arguments {
    PyObject *symbol = nullptr, *offset = nullptr, *block = nullptr, *header = nullptr,
             *lpc_vectors = nullptr, *crc = nullptr, *be = nullptr, *fill = nullptr,
             *words = nullptr, *bin = nullptr, *srec = nullptr, *uf2 = nullptr,
             *merge = nullptr, *entry = nullptr, *force = nullptr, *elf = nullptr,
             *base = nullptr, *mcuboot = nullptr;
};

struct Keyword {
    const char* name;
    PyObject* Arguments::*field;
    unsigned modes;  // mode_bit::flash | check
};

constexpr unsigned in_flash = mode_bit::flash, in_check = mode_bit::check;

const Keyword keywords[] = {
    {"symbol", &Arguments::symbol, in_flash | in_check},
    {"offset", &Arguments::offset, in_flash | in_check},
    {"block", &Arguments::block, in_flash | in_check},
    {"header", &Arguments::header, in_flash | in_check},
    {"lpc_vectors", &Arguments::lpc_vectors, in_flash | in_check},
    {"crc", &Arguments::crc, in_flash | in_check},
    {"be", &Arguments::be, in_flash | in_check},
    {"fill", &Arguments::fill, in_flash | in_check},
    {"words", &Arguments::words, in_flash | in_check},
    {"bin", &Arguments::bin, in_flash},
    {"srec", &Arguments::srec, in_flash},
    {"uf2", &Arguments::uf2, in_flash | in_check},
    {"merge", &Arguments::merge, in_flash | in_check},
    {"entry", &Arguments::entry, in_flash | in_check},
    {"force", &Arguments::force, in_flash | in_check},
    {"elf", &Arguments::elf, in_check},
    {"base", &Arguments::base, in_check},
    {"mcuboot", &Arguments::mcuboot, in_check},
};

[[noreturn]] void type_error(const char* what, const char* wanted, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %.100s", what, wanted,
                 Py_TYPE(value)->tp_name);
    throw PythonError{};
}

bool given(PyObject* value) {
    return value && value != Py_None;
}

// On and off are True and False only: a string or a number could mean
// either ("no", "0", 1).
bool switch_of(PyObject* value, const char* what) {
    if (!value) return false;
    if (!PyBool_Check(value)) type_error(what, "a bool", value);
    return value == Py_True;
}

std::string text_argument(PyObject* value, const char* what) {
    if (!PyUnicode_Check(value)) type_error(what, "a str", value);
    return text_of(value);
}

// An int as the engine reads the command line's numbers: "0x1F" in hex,
// "1024" in decimal; a negative one keeps its sign for the engine to
// refuse.
std::string number_argument(PyObject* value, const char* what, bool hex) {
    if (PyBool_Check(value) || !PyLong_Check(value)) type_error(what, "an int", value);
    Ref shown = check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                            "O", value));
    if (!hex) return text_of(shown.get());
    int negative = PyObject_RichCompareBool(value, Ref(check(PyLong_FromLong(0))).get(),
                                            Py_LT);
    if (negative < 0) throw PythonError{};
    Ref magnitude = negative ? check(PyNumber_Negative(value)) : Ref::share(value);
    Ref digits = check(PyNumber_ToBase(magnitude.get(), 16));
    std::string text = text_of(digits.get());  // "0x1f"
    for (size_t i = 2; i < text.size(); ++i)
        if (text[i] >= 'a' && text[i] <= 'f') text[i] = static_cast<char>(text[i] - 'a' + 'A');
    return negative ? "-" + text : text;
}

// One value or a sequence of them: a str or bytes is one.
std::vector<PyObject*> each(PyObject* value, std::vector<Ref>& held) {
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyLong_Check(value) ||
        !PySequence_Check(value))
        return {value};
    Ref items = check(PySequence_Fast(value, "not a sequence"));
    std::vector<PyObject*> out;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i)
        out.push_back(PySequence_Fast_GET_ITEM(items.get(), i));
    held.push_back(std::move(items));
    return out;
}

// symbol="name@from": the variable, and where its range starts.
Selector symbol_selector(const std::string& text) {
    Selector s{'n', text, std::nullopt, "symbol=\"" + text + "\"", Front::api};
    size_t at = text.find('@');
    if (at != std::string::npos) {
        s.from = text.substr(at + 1);
        s.value = text.substr(0, at);
    }
    return s;
}

void records_of(const Arguments& a, Request& r) {
    std::vector<Ref> held;
    if (given(a.symbol))
        for (PyObject* name : each(a.symbol, held))
            r.selectors.push_back(symbol_selector(text_argument(name, "symbol")));
    if (given(a.offset))
        for (PyObject* value : each(a.offset, held)) {
            std::string hex = number_argument(value, "offset", true);
            r.selectors.push_back({'a', hex, std::nullopt, "offset=" + hex, Front::api});
        }
    if (given(a.block)) {
        std::string size = number_argument(a.block, "block", false);
        r.selectors.push_back({'s', size, std::nullopt, "block=" + size, Front::api});
    }
    if (given(a.header)) r.header = text_argument(a.header, "header");
    r.lpc_vectors = switch_of(a.lpc_vectors, "lpc_vectors");
}

// mcuboot={"key": path, "header": 0x200}: the settings as --mcuboot
// takes them, which the engine reads for both fronts; True: none.
std::string mcuboot_settings(PyObject* value) {
    if (value == Py_True) return "";
    if (!PyDict_Check(value)) type_error("mcuboot", "a dict or True", value);
    std::string text;
    PyObject *name, *setting;
    Py_ssize_t at = 0;
    while (PyDict_Next(value, &at, &name, &setting)) {
        if (!PyUnicode_Check(name)) type_error("mcuboot's setting name", "a str", name);
        const std::string word = text_of(name);
        const std::string what = "mcuboot[\"" + word + "\"]";
        std::string shown;
        if (word == "key")
            shown = path_of(setting, what.c_str());
        else if (PyLong_Check(setting) && !PyBool_Check(setting))
            shown = number_argument(setting, what.c_str(), true);
        else
            shown = text_argument(setting, what.c_str());
        text += (text.empty() ? "" : ",") + word + "=" + shown;
    }
    return text;
}

}  // namespace

Request api_request(const Mode& mode, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    const char* function = mode.bit == mode_bit::flash ? "flash" : "check";
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given",
                     function, nargs);
        throw PythonError{};
    }
    Arguments a;
    const Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, i));
        if (!name) throw PythonError{};
        const Keyword* keyword = nullptr;
        for (const Keyword& k : keywords)
            if (std::strcmp(k.name, name) == 0 && (k.modes & mode.bit)) keyword = &k;
        if (!keyword) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'",
                         function, name);
            throw PythonError{};
        }
        a.*(keyword->field) = args[nargs + i];
    }
    Request r;
    r.front = Front::api;
    // The switches are checked first: their type is wrong whatever else is.
    r.big_endian = switch_of(a.be, "be");
    r.words = switch_of(a.words, "words");
    if (switch_of(a.bin, "bin")) r.outputs.insert("bin");
    if (switch_of(a.srec, "srec")) r.outputs.insert("srec");
    r.force = switch_of(a.force, "force");
    records_of(a, r);
    if (given(a.crc)) r.crc = text_argument(a.crc, "crc");
    if (given(a.fill)) {
        std::string hex = number_argument(a.fill, "fill", true);
        // One byte is two digits, as --fill 0x0A reads.
        if (hex.size() == 3) hex.insert(2, "0");
        r.fill = hex;
    }
    if (given(a.uf2)) {
        r.uf2 = text_argument(a.uf2, "uf2");
        if (mode.bit == mode_bit::flash) r.outputs.insert("uf2");
    }
    if (given(a.elf)) r.elf = path_of(a.elf, "elf");
    if (given(a.base)) r.base = number_argument(a.base, "base", true);
    std::vector<Ref> held;
    if (given(a.merge))
        for (PyObject* path : each(a.merge, held)) r.merge.push_back(path_of(path, "merge"));
    if (given(a.entry)) {
        if (PyLong_Check(a.entry) && !PyBool_Check(a.entry))
            r.entry = number_argument(a.entry, "entry", true);
        else
            r.entry = path_of(a.entry, "entry");
    }
    if (given(a.mcuboot) && a.mcuboot != Py_False) r.mcuboot = mcuboot_settings(a.mcuboot);
    r.input = path_of(args[0], mode.bit == mode_bit::flash ? "elf" : "path");
    return r;
}

}  // namespace velk::binding
