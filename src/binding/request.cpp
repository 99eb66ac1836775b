#include "request.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "../engine/mcuboot/settings.h"
#include "../engine/values/exclusion.h"
#include "../engine/values/hex_fields.h"
#include "../engine/request/option_table.h"
#include "../engine/values/header_layout.h"
#include "../engine/values/selector.h"
#include "../engine/values/values.h"
#include "text.h"

namespace velk::binding {

namespace {

// The keyword arguments, borrowed from the call, by the option's row;
// None or missing: not given.
struct Arguments {
    PyObject* given[static_cast<int>(Option::algorithms) + 1] = {};
    PyObject* operator[](Option option) const { return given[static_cast<int>(option)]; }
};

// The keyword of `option`, as a TypeError names it.
const char* keyword(Option option) {
    return row(option).keyword;
}

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

// An int as the number it is: one that does not fit 64 bits, or is
// negative, is none, and the engine refuses its text.
std::optional<uint64_t> whole_number(PyObject* value) {
    if (!PyLong_Check(value) || PyBool_Check(value)) return std::nullopt;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow || number < 0) return std::nullopt;
    return static_cast<uint64_t>(number);
}

// algorithms={"crc_app": "crc-32/iso-hdlc", 0x1FC: "crc-16/xmodem"}: a
// record's own algorithm, the record named by its symbol or its offset.
void own_algorithms(PyObject* mapping, std::vector<Selector>& selectors) {
    if (!PyDict_Check(mapping)) type_error(keyword(Option::algorithms), "a dict", mapping);
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(mapping, &at, &key, &value)) {
        const std::string what = std::string("an algorithm in ") + keyword(Option::algorithms);
        const std::string name = text_argument(value, what.c_str());
        const bool symbol = PyUnicode_Check(key);
        const std::string record =
            symbol ? text_of(key)
                   : number_argument(
                         key, (std::string("a key of ") + keyword(Option::algorithms)).c_str(),
                         true);
        // An offset by its number; one that is none (negative) as written.
        const std::optional<uint64_t> offset = symbol ? std::nullopt : whole_number(key);
        Selector* named = nullptr;
        for (Selector& s : selectors)
            if (s.letter == (symbol ? 'n' : 'a') &&
                (offset ? s.number == offset : s.value == record))
                named = &s;
        if (!named) {
            PyErr_Format(PyExc_ValueError, "%s: %R is no record's %s",
                         keyword(Option::algorithms), key,
                         symbol ? "symbol" : "offset");
            throw PythonError{};
        }
        named->algorithm = values::algorithm_of_text(name);
    }
}

// Whether `value` is a (from, to) of two ints: the bytes [from, to).
bool bounds(PyObject* value) {
    if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 2) return false;
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* bound = PyTuple_GET_ITEM(value, i);
        if (!PyLong_Check(bound) || PyBool_Check(bound)) return false;
    }
    return true;
}

// exclude="0x08000100-0x08000200:app_crc", exclude="calib" or
// exclude=(0x08000100, 0x08000200).
Exclusion exclusion_of(PyObject* value) {
    const char* option = keyword(Option::exclude);
    if (!bounds(value)) {
        const std::string text = text_argument(value, option);
        return read_exclusion(text, api_asker.given(Option::exclude, text));
    }
    Exclusion e;
    const std::string from = number_argument(PyTuple_GET_ITEM(value, 0), option, true);
    const std::string to = number_argument(PyTuple_GET_ITEM(value, 1), option, true);
    e.word = std::string(option) + "=(" + from + ", " + to + ")";
    const std::optional<uint64_t> start = whole_number(PyTuple_GET_ITEM(value, 0));
    const std::optional<uint64_t> end = whole_number(PyTuple_GET_ITEM(value, 1));
    e.bytes = start && end ? Exclusion::Bytes::range : Exclusion::Bytes::unreadable;
    e.from = start.value_or(0);
    e.to = end.value_or(0);
    return e;
}

void records_of(const Arguments& a, Request& r) {
    std::vector<Ref> held;
    if (given(a[Option::symbol]))
        for (PyObject* name : each(a[Option::symbol], held)) {
            const std::string text = text_argument(name, keyword(Option::symbol));
            r.selectors.push_back(read_selector(
                'n', text, api_asker.given(Option::symbol, text), api_asker));
        }
    if (given(a[Option::offset]))
        for (PyObject* value : each(a[Option::offset], held)) {
            r.selectors.push_back(selector_of_number(
                Option::offset, whole_number(value),
                number_argument(value, keyword(Option::offset), true), api_asker));
        }
    if (given(a[Option::block])) {
        PyObject* block = a[Option::block];
        r.selectors.push_back(selector_of_number(
            Option::block, whole_number(block),
            number_argument(block, keyword(Option::block), false), api_asker));
    }
    if (given(a[Option::algorithms])) own_algorithms(a[Option::algorithms], r.selectors);
    if (given(a[Option::header]))
        r.header = values::header_of_text(
            text_argument(a[Option::header], keyword(Option::header)), api_asker);
    if (PyObject* exclude = a[Option::exclude]; given(exclude)) {
        // One (from, to) of ints is one range; else each item is one.
        const bool one = bounds(exclude);
        for (PyObject* excluded : one ? std::vector<PyObject*>{exclude} : each(exclude, held))
            r.excludes.push_back(exclusion_of(excluded));
    }
    r.lpc_vectors = switch_of(a[Option::lpc_vectors], keyword(Option::lpc_vectors));
}

// A setting's value as the command line writes it: a str as it is, an int
// in hex (a size) or decimal, bytes as hex digits.
std::string setting_value(PyObject* value, const std::string& what) {
    if (PyUnicode_Check(value)) return text_of(value);
    if (PyBytes_Check(value) || PyByteArray_Check(value)) {
        Ref hex = check(PyObject_CallMethod(value, "hex", nullptr));
        return text_of(hex.get());
    }
    if (PyLong_Check(value) && !PyBool_Check(value))
        return number_argument(value, what.c_str(), what == "header" || what == "slot");
    type_error((std::string(keyword(Option::mcuboot)) + "[\"" + what + "\"]").c_str(),
               "a str or an int", value);
}

// mcuboot={"key": path, "header": 0x200, "pad": True, "dependency": [(1, "1.2.0")],
// "tlv": {0xA0: b"..."}}: the settings of an MCUboot image, each as given
// (a key's path whatever it holds, a size as its number); True (CHECK's):
// none.
McubootSettings mcuboot_settings(PyObject* value) {
    McubootSettings out;
    if (value == Py_True) return out;
    const char* option = keyword(Option::mcuboot);
    if (!PyDict_Check(value)) type_error(option, "a dict or True", value);
    auto add = [&](const std::string& name, const std::string& given,
                   std::optional<uint64_t> number = std::nullopt) {
        McubootSetting s{name, true, given, number, name + "=" + given};
        out.typed += (out.typed.empty() ? "" : ",") + s.typed;
        out.settings.push_back(std::move(s));
    };
    PyObject *key, *item;
    Py_ssize_t at = 0;
    while (PyDict_Next(value, &at, &key, &item)) {
        const std::string name =
            text_argument(key, (std::string("a setting of ") + option).c_str());
        const std::string what = std::string(option) + "[\"" + name + "\"]";
        // pad and confirm are switches; the other settings hold values, of
        // which a bool is none.
        const mcuboot::SettingRow* row = mcuboot::setting_row(name);
        const bool flag = row && !row->valued;
        if (item == Py_None) continue;
        if (flag && !PyBool_Check(item)) type_error(what.c_str(), "True or False", item);
        if (row && row->valued && PyBool_Check(item))
            type_error(what.c_str(), "a str or an int", item);
        if (item == Py_False) continue;
        if (item == Py_True) {
            out.settings.push_back({name, false, "", std::nullopt, name});
            out.typed += (out.typed.empty() ? "" : ",") + name;
        } else if (row && row->file) {
            add(name, path_of(item, what.c_str()));
        } else if (name == "tlv" && PyDict_Check(item)) {  // {type: bytes}
            PyObject *type, *bytes;
            Py_ssize_t entry = 0;
            while (PyDict_Next(item, &entry, &type, &bytes))
                add(name, number_argument(type, "a TLV's type", true) + ":" +
                              setting_value(bytes, "tlv"));
        } else if (row && row->repeats && !PyUnicode_Check(item)) {
            std::vector<Ref> held;
            for (PyObject* one : each(item, held)) {
                if (PyTuple_Check(one) && PyTuple_GET_SIZE(one) == 2)
                    add(name, setting_value(PyTuple_GET_ITEM(one, 0), name) + ":" +
                                  setting_value(PyTuple_GET_ITEM(one, 1), name));
                else
                    add(name, setting_value(one, name));
            }
        } else {
            add(name, setting_value(item, name), whole_number(item));
        }
    }
    return out;
}

// "0483:df11" or (0x0483, 0xDF11): hex fields, read from the str as the
// command line reads its word, or each int as its number (a negative one,
// or one past 64 bits, is none).
HexFields hex_fields_of(PyObject* value, const OptionRow& r) {
    if (PyUnicode_Check(value)) {
        const std::string text = text_of(value);
        return read_hex_fields(text, api_asker.given(r.option, text));
    }
    if (!PyTuple_Check(value)) type_error(r.keyword, "a str or a tuple of ints", value);
    HexFields out;
    out.word = std::string(r.keyword) + "=(";
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
        PyObject* field = PyTuple_GET_ITEM(value, i);
        out.word += (i ? ", " : "") + number_argument(field, r.keyword, true);
        out.numbers.push_back(whole_number(field));
    }
    out.word += PyTuple_GET_SIZE(value) == 1 ? ",)" : ")";
    return out;
}

// stamp=("serial_no", "serial:1..10"), or a sequence of such pairs: each
// as --stamp <place>=<values> reads it.
bool stamp_pair(PyObject* value) {
    return PyTuple_Check(value) && PyTuple_GET_SIZE(value) == 2 &&
           PyUnicode_Check(PyTuple_GET_ITEM(value, 0)) &&
           PyUnicode_Check(PyTuple_GET_ITEM(value, 1));
}

void stamps_of(PyObject* value, std::vector<StampWord>& stamps, std::vector<Ref>& held) {
    const char* what = keyword(Option::stamp);
    for (PyObject* pair : stamp_pair(value) ? std::vector<PyObject*>{value} : each(value, held)) {
        if (!stamp_pair(pair)) type_error(what, "a (place, values) tuple of str", pair);
        stamps.push_back(values::stamp_of_text(text_of(PyTuple_GET_ITEM(pair, 0)) + "=" +
                                                   text_of(PyTuple_GET_ITEM(pair, 1)),
                                               api_asker));
    }
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
        const OptionRow* option = row_of_keyword(name, mode.bit);
        if (!option) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'",
                         function, name);
            throw PythonError{};
        }
        a.given[static_cast<int>(option->option)] = args[nargs + i];
    }
    Request r;
    r.asker = api_asker;
    // The switches are checked first: their type is wrong whatever else is.
    for (Option on : {Option::be, Option::words, Option::bin, Option::srec, Option::force,
                       Option::nxp_mbi}) {
        const OptionRow& o = row(on);
        if (!switch_of(a[on], o.keyword)) continue;
        if (o.on) r.*(o.on) = true;
        if (o.output) r.outputs.insert(o.output);
    }
    records_of(a, r);
    if (given(a[Option::crc]))
        r.crc = values::algorithm_of_text(
            text_argument(a[Option::crc], keyword(Option::crc)));
    if (PyObject* fill = a[Option::fill]; given(fill))
        r.fill = values::fill_of_number(
            whole_number(fill), number_argument(fill, keyword(Option::fill), true),
            api_asker);
    if (given(a[Option::uf2])) {
        r.uf2 = values::family_of_text(
            text_argument(a[Option::uf2], keyword(Option::uf2)), api_asker);
        if (mode.bit == mode_bit::flash) r.outputs.insert(row(Option::uf2).output);
    }
    if (given(a[Option::esp32])) {
        r.esp32 = text_argument(a[Option::esp32], keyword(Option::esp32));
        r.outputs.insert(row(Option::esp32).output);
    }
    if (given(a[Option::nrf_settings])) {
        r.nrf_settings = text_argument(a[Option::nrf_settings], keyword(Option::nrf_settings));
        if (mode.bit == mode_bit::flash) r.outputs.insert(row(Option::nrf_settings).output);
    }
    if (given(a[Option::elf])) r.elf = path_of(a[Option::elf], keyword(Option::elf));
    if (PyObject* base = a[Option::base]; given(base))
        r.base = values::base_of_number(
            whole_number(base), number_argument(base, keyword(Option::base), true),
            api_asker);
    std::vector<Ref> held;
    if (given(a[Option::merge]))
        for (PyObject* path : each(a[Option::merge], held))
            r.merge.push_back(
                values::merge_of_text(path_of(path, keyword(Option::merge)), api_asker));
    // A devices run: one set of files per device, into out=.
    if (mode.bit == mode_bit::flash) {
        if (given(a[Option::stamp])) stamps_of(a[Option::stamp], r.stamps, held);
        if (PyObject* n = a[Option::count]; given(n))
            r.count = values::count_of_number(
                whole_number(n), number_argument(n, keyword(Option::count), false), api_asker);
        if (given(a[Option::out])) r.out = path_of(a[Option::out], keyword(Option::out));
        r.resume = switch_of(a[Option::resume], keyword(Option::resume));
    }
    if (PyObject* entry = a[Option::entry]; given(entry)) {
        if (PyLong_Check(entry) && !PyBool_Check(entry))
            r.entry = values::entry_of_number(
                whole_number(entry), number_argument(entry, keyword(Option::entry), true),
                api_asker);
        else
            r.entry =
                values::entry_of_text(path_of(entry, keyword(Option::entry)), api_asker);
    }
    // CHECK's stamp=: the values a device's file must hold.
    if (mode.bit == mode_bit::check && given(a[Option::stamp]))
        stamps_of(a[Option::stamp], r.stamps, held);
    if (given(a[Option::manifest]))
        r.manifest = path_of(a[Option::manifest], keyword(Option::manifest));
    if (PyObject* settings = a[Option::mcuboot]; given(settings) && settings != Py_False)
        r.mcuboot = mcuboot_settings(settings);
    // Hex fields, and the format's files they ask FLASH for.
    for (const OptionRow* o = options_begin(); o != options_end(); ++o) {
        if (o->value != Value::hex_fields || !given(a[o->option])) continue;
        r.*(o->fields) = hex_fields_of(a[o->option], *o);
        if (o->output && mode.bit == mode_bit::flash) r.outputs.insert(o->output);
    }
    r.input = path_of(args[0], mode.bit == mode_bit::flash ? "elf" : "path");
    return r;
}

}  // namespace velk::binding
