// The symbol scan of the name mode. pyelftools' loop over every symbol
// costs tens of microseconds a symbol; while the reader and the section
// classes are the ones start-up bound, each symbol table's raw entries are
// read natively instead, and any table that reading cannot answer exactly
// as the loop would goes through the loop.
#include "symbols.h"

#include <string>
#include <vector>

#include "adapter.h"

namespace velk {

namespace {

using elfsyms::Bytes;
using elfsyms::Matches;
using elfsyms::Scan;

// The file behind the genuine reader.
struct RawFile {
    PyObject* file = nullptr;
    uint64_t size = 0;
    elfsyms::TableFormat format{};
};

class SymbolScan {
public:
    SymbolScan(const SymbolSource& source, PyObject* name, SymbolLookup& found)
        : source_(source), varename_(name), found_(found) {}

    // Whether the tables may be read natively: the genuine classes, and a
    // name whose comparison with pyelftools' names is plain byte equality.
    bool native_allowed() {
        const Texts& t = state.t;
        const State::Genuine& g = state.genuine;
        if (!source_.genuine_reader || !global_is(t.ELFFile, g.ELFFile)) return false;
        if (!PyUnicode_CheckExact(varename_) || !PyUnicode_IS_ASCII(varename_))
            return false;
        name_.assign(PyUnicode_AsUTF8(varename_),
                     static_cast<size_t>(PyUnicode_GET_LENGTH(varename_)));
        Ref elfclass = attr(source_.elf_file, t.elfclass);
        Ref little = attr(source_.elf_file, t.little_endian);
        file_.file = source_.file;
        file_.size = file_size(source_.file);
        file_.format = {as_u64(elfclass.get()) == 64, truth(little.get())};
        return true;
    }

    // One table through the raw entries; false leaves it to the loop.
    bool scan_natively(PyObject* section) {
        const Texts& t = state.t;
        if (reinterpret_cast<PyObject*>(Py_TYPE(section)) !=
            state.genuine.SymbolTableSection)
            return false;
        Ref strings = attr(section, t.stringtable);
        if (reinterpret_cast<PyObject*>(Py_TYPE(strings.get())) !=
            state.genuine.StringTableSection)
            return false;
        uint64_t offset = as_u64(item(section, t.sh_offset).get());
        uint64_t size = as_u64(item(section, t.sh_size).get());
        uint64_t entsize = as_u64(item(section, t.sh_entsize).get());
        uint64_t str_offset = as_u64(item(strings.get(), t.sh_offset).get());
        uint64_t str_size = as_u64(item(strings.get(), t.sh_size).get());
        // A table that claims more than the file holds is the loop's to report.
        if (offset > file_.size || size > file_.size - offset) return false;
        if (str_offset > file_.size || str_size > file_.size - str_offset) return false;
        std::vector<uint8_t> table = read_file_at(file_.file, offset, size);
        std::vector<uint8_t> text = read_file_at(file_.file, str_offset, str_size);
        Matches before = found_.matches;
        Scan scan = elfsyms::scan_symbol_table(
            {table.data(), table.size()}, size, entsize, {text.data(), text.size()},
            str_size, file_.format, name_, found_.matches);
        if (scan == Scan::irregular) return false;
        if (found_.matches.count > before.count)
            found_.value = check(PyLong_FromUnsignedLongLong(found_.matches.value));
        return true;
    }

    // pyelftools' own loop: for symbol in section.iter_symbols(): ...
    void scan_with_reader(PyObject* section) {
        const Texts& t = state.t;
        Ref symbols = check(PyObject_GetIter(call_method(section, t.iter_symbols).get()));
        while (PyObject* next = PyIter_Next(symbols.get())) {
            Ref symbol(next);
            Ref name = attr(symbol.get(), t.name);
            if (!compare(name.get(), varename_, Py_EQ)) continue;
            found_.value = item(symbol.get(), t.st_value);
            note_match(symbol.get());
        }
        if (PyErr_Occurred()) throw PythonError{};
    }

    // A match came from a symbol object pyelftools did not make.
    bool unknown() const { return unknown_; }

private:
    // The diagnostics learn size and type from pyelftools' own symbols only.
    void note_match(PyObject* symbol) {
        const Texts& t = state.t;
        Matches& m = found_.matches;
        if (reinterpret_cast<PyObject*>(Py_TYPE(symbol)) != state.genuine.Symbol) {
            unknown_ = true;
            return;
        }
        uint64_t value = as_u64(found_.value.get());
        if (m.count > 0 && value != m.value) m.values_differ = true;
        m.count += 1;
        m.value = value;
        m.size = as_u64(item(symbol, t.st_size).get());
        Ref type = item(item(symbol, t.st_info).get(), t.type);
        m.info =
            compare(type.get(), t.STT_FUNC, Py_EQ) ? elfsyms::symbol_type_function : 0;
    }

    const SymbolSource& source_;
    PyObject* varename_;
    SymbolLookup& found_;
    std::string name_;
    RawFile file_;
    bool unknown_ = false;
};

}  // namespace

SymbolLookup find_symbol(const SymbolSource& source, PyObject* name) {
    const Texts& t = state.t;
    SymbolLookup found;
    SymbolScan scan(source, name, found);
    // An empty name would match the null symbol and the section symbols,
    // so it matches nothing.
    bool empty = PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 0;
    bool native = !empty && scan.native_allowed();
    Ref sections =
        check(PyObject_GetIter(call_method(source.elf_file, t.iter_sections).get()));
    while (PyObject* next = PyIter_Next(sections.get())) {
        Ref section(next);
        Ref symtab_type = global(t.SymbolTableSection);
        if (!check(PyObject_IsInstance(section.get(), symtab_type.get()))) continue;
        found.tables += 1;
        if (empty) continue;
        bool genuine_class = symtab_type.get() == state.genuine.SymbolTableSection;
        if (native && genuine_class && scan.scan_natively(section.get())) continue;
        scan.scan_with_reader(section.get());
    }
    if (PyErr_Occurred()) throw PythonError{};
    found.known = source.genuine_reader && !scan.unknown();
    return found;
}

std::vector<std::string> symbol_names(const SymbolSource& source) {
    const Texts& t = state.t;
    std::vector<std::string> names;
    Ref sections =
        check(PyObject_GetIter(call_method(source.elf_file, t.iter_sections).get()));
    while (PyObject* next = PyIter_Next(sections.get())) {
        Ref section(next);
        if (!check(
                PyObject_IsInstance(section.get(), global(t.SymbolTableSection).get())))
            continue;
        Ref symbols =
            check(PyObject_GetIter(call_method(section.get(), t.iter_symbols).get()));
        while (PyObject* symbol = PyIter_Next(symbols.get())) {
            Ref owned(symbol);
            Ref name = attr(symbol, t.name);
            if (PyUnicode_Check(name.get()) && PyUnicode_GET_LENGTH(name.get()) > 0)
                names.push_back(utf8_of(name.get()));
        }
        if (PyErr_Occurred()) throw PythonError{};
    }
    if (PyErr_Occurred()) throw PythonError{};
    return names;
}

}  // namespace velk
