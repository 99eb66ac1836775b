#include "algorithm.h"

#include "../adapter/text.h"
#include "../module/ops.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "catalogue.h"

namespace velk::records {

namespace {

// crcmod's predefined catalogue, looked up at use: its table ([name,
// identifier, polynomial, reflected, initial value, final XOR, check value]
// a row, as a sequence) and the maker of a CRC function by a row's name.
struct Predefined {
    Ref rows;
    Ref make;
};

Predefined predefined() {
    Ref module = check(PyImport_ImportModule("crcmod.predefined"));
    Ref table = check(PyObject_GetAttrString(module.get(), "_crc_definitions_table"));
    return {check(PySequence_Fast(table.get(), "crcmod's catalogue is no list")),
            check(PyObject_GetAttrString(module.get(), "mkPredefinedCrcFun"))};
}

std::string row_name(PyObject* row) {
    return utf8_of(check(PySequence_GetItem(row, 0)).get());
}

// Bytes of a polynomial's value: its degree / 8.
unsigned width_of(PyObject* row) {
    Ref poly = check(PySequence_GetItem(row, 2));
    Ref bits = check(PyObject_CallMethod(poly.get(), "bit_length", nullptr));
    long degree = PyLong_AsLong(bits.get()) - 1;
    if (degree < 0 && PyErr_Occurred()) throw PythonError{};
    return static_cast<unsigned>(degree / 8);
}

std::string display_name(const std::string& crcmod_name) {
    std::vector<std::string> names = catalogue_names(crcmod_name);
    return names.empty() ? crcmod_name : names.front();
}

Algorithm from_row(PyObject* row, PyObject* make) {
    Algorithm a;
    a.crcmod_name = row_name(row);
    a.name = display_name(a.crcmod_name);
    a.width = width_of(row);
    a.function = call(make, text_object(a.crcmod_name).get());
    return a;
}

Algorithm default_one() {
    Algorithm a;
    a.crcmod_name = default_algorithm;
    a.name = display_name(a.crcmod_name);
    a.width = 4;
    a.function = make_crc32_mpeg2();
    return a;
}

}  // namespace

bool Algorithm::is_default() const {
    return crcmod_name == default_algorithm;
}

Algorithm find_algorithm(const std::optional<std::string>& name) {
    if (!name) return default_one();
    std::string wanted = folded(*name), aliased = crcmod_name_of(*name);
    if (wanted == default_algorithm || aliased == default_algorithm) return default_one();
    Predefined catalogue = predefined();
    PyObject* rows = catalogue.rows.get();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows); ++i) {
        PyObject* row = PySequence_Fast_GET_ITEM(rows, i);
        std::string crcmod = row_name(row);
        if (folded(crcmod) == wanted || crcmod == aliased)
            return from_row(row, catalogue.make.get());
    }
    throw Refusal{"no CRC algorithm named \"" + *name +
                  "\" (velk-crc --list-crc lists the names)"};
}

std::vector<Listed> catalogue() {
    std::vector<Listed> out;
    Predefined catalogue = predefined();
    PyObject* rows = catalogue.rows.get();
    Ref nine = check(PyBytes_FromString("123456789"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows); ++i) {
        Listed listed{from_row(PySequence_Fast_GET_ITEM(rows, i), catalogue.make.get()), {},
                      0};
        listed.names.push_back(listed.algorithm.crcmod_name);
        for (const std::string& n : catalogue_names(listed.algorithm.crcmod_name))
            if (folded(n) != listed.algorithm.crcmod_name) listed.names.push_back(n);
        Ref check_value = call(listed.algorithm.function.get(), nine.get());
        listed.check = PyLong_AsUnsignedLongLong(check_value.get());
        if (PyErr_Occurred()) throw PythonError{};
        out.push_back(std::move(listed));
    }
    return out;
}

std::string catalogue_text() {
    std::string out =
        "CRC algorithms (velk-crc --crc <name>; any name of a line, any case):\n"
        "bytes  check               names\n";
    for (const Listed& l : catalogue()) {
        std::string names;
        for (const std::string& n : l.names) names += (names.empty() ? "" : ", ") + n;
        if (l.algorithm.is_default()) names += " (the default)";
        out += text::format("%-6u 0x%0*llX%*s %s\n", l.algorithm.width,
                            static_cast<int>(2 * l.algorithm.width),
                            static_cast<unsigned long long>(l.check),
                            static_cast<int>(18 - 2 * l.algorithm.width), "", names.c_str());
    }
    out.pop_back();
    return out;
}

uint64_t checksum_of(const Algorithm& algorithm, const layout::MemoryMap& memory,
                     uint64_t from, uint64_t to, Feed feed) {
    return velk::checksum_of(algorithm.function.get(), memory, from, to, feed);
}

}  // namespace velk::records
