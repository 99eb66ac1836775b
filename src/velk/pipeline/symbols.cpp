// The symbol scan of the name mode. pyelftools' loop over every symbol
// costs tens of microseconds a symbol; while the reader and the section
// classes are the ones start-up bound, each symbol table's raw entries are
// read natively instead, and any table that reading cannot answer exactly
// as the loop would goes through the loop.
#include "symbols.h"

#include <string>
#include <vector>

#include "../adapter/files.h"
#include "../adapter/text.h"

namespace velk {

namespace {

using elfsyms::Bytes;
using elfsyms::Matches;
using elfsyms::Scan;

// One symbol table's raw bytes and those of its string table, read
// straight from the file behind the genuine reader.
struct RawTable {
    std::vector<uint8_t> table, strings;
    uint64_t size, entsize, strings_size;

    elfsyms::Bytes table_bytes() const { return {table.data(), table.size()}; }
    elfsyms::Bytes string_bytes() const { return {strings.data(), strings.size()}; }
};

class RawTables {
public:
    // Whether the tables may be read natively: the reader and its classes
    // are the genuine ones.
    explicit RawTables(const SymbolSource& source) {
        const Texts& t = state.t;
        allowed_ = source.genuine_reader && global_is(t.ELFFile, state.genuine.ELFFile);
        if (!allowed_) return;
        file_ = source.file;
        size_ = file_size(source.file);
        Ref elfclass = attr(source.elf_file, t.elfclass);
        Ref little = attr(source.elf_file, t.little_endian);
        format_ = {as_u64(elfclass.get()) == 64, truth(little.get())};
    }

    elfsyms::TableFormat format() const { return format_; }

    // The section's raw table, or false when only the loop can read it.
    bool read(PyObject* section, PyObject* symtab_type, RawTable& out) const {
        const Texts& t = state.t;
        if (!allowed_ || symtab_type != state.genuine.SymbolTableSection ||
            reinterpret_cast<PyObject*>(Py_TYPE(section)) !=
                state.genuine.SymbolTableSection)
            return false;
        Ref strings = attr(section, t.stringtable);
        if (reinterpret_cast<PyObject*>(Py_TYPE(strings.get())) !=
            state.genuine.StringTableSection)
            return false;
        uint64_t offset = as_u64(item(section, t.sh_offset).get());
        out.size = as_u64(item(section, t.sh_size).get());
        out.entsize = as_u64(item(section, t.sh_entsize).get());
        uint64_t str_offset = as_u64(item(strings.get(), t.sh_offset).get());
        out.strings_size = as_u64(item(strings.get(), t.sh_size).get());
        // A table that claims more than the file holds is the loop's to report.
        if (offset > size_ || out.size > size_ - offset) return false;
        if (str_offset > size_ || out.strings_size > size_ - str_offset) return false;
        out.table = read_file_at(file_, offset, out.size);
        out.strings = read_file_at(file_, str_offset, out.strings_size);
        return true;
    }

private:
    bool allowed_ = false;
    PyObject* file_ = nullptr;
    uint64_t size_ = 0;
    elfsyms::TableFormat format_{};
};

// for section in elf_file.iter_sections():
//     if isinstance(section, SymbolTableSection): visit(section, its class)
template <class Visit>
void for_each_symbol_table(const SymbolSource& source, Visit&& visit) {
    const Texts& t = state.t;
    Ref sections =
        check(PyObject_GetIter(call_method(source.elf_file, t.iter_sections).get()));
    while (PyObject* next = PyIter_Next(sections.get())) {
        Ref section(next);
        Ref symtab_type = global(t.SymbolTableSection);
        if (!check(PyObject_IsInstance(section.get(), symtab_type.get()))) continue;
        visit(section.get(), symtab_type.get());
    }
    if (PyErr_Occurred()) throw PythonError{};
}

// for symbol in section.iter_symbols(): visit(symbol)
template <class Visit>
void for_each_symbol(PyObject* section, Visit&& visit) {
    Ref symbols =
        check(PyObject_GetIter(call_method(section, state.t.iter_symbols).get()));
    while (PyObject* next = PyIter_Next(symbols.get())) {
        Ref symbol(next);
        visit(symbol.get());
    }
    if (PyErr_Occurred()) throw PythonError{};
}

class SymbolScan {
public:
    SymbolScan(PyObject* name, SymbolLookup& found) : varename_(name), found_(found) {
        // A name whose comparison with pyelftools' names is plain byte
        // equality can be compared with the raw names.
        plain_ = PyUnicode_CheckExact(name) && PyUnicode_IS_ASCII(name);
        if (plain_)
            name_.assign(PyUnicode_AsUTF8(name),
                         static_cast<size_t>(PyUnicode_GET_LENGTH(name)));
    }

    // One table through its raw entries; false leaves it to the loop.
    bool scan_natively(const RawTable& raw, elfsyms::TableFormat format) {
        if (!plain_) return false;
        Matches before = found_.matches;
        Scan scan = elfsyms::scan_symbol_table(raw.table_bytes(), raw.size, raw.entsize,
                                               raw.string_bytes(), raw.strings_size,
                                               format, name_, found_.matches);
        if (scan == Scan::irregular) return false;
        if (found_.matches.count > before.count)
            found_.value = check(PyLong_FromUnsignedLongLong(found_.matches.value));
        return true;
    }

    // pyelftools' own loop: for symbol in section.iter_symbols(): ...
    void scan_with_reader(PyObject* section) {
        for_each_symbol(section, [&](PyObject* symbol) {
            Ref name = attr(symbol, state.t.name);
            if (!compare(name.get(), varename_, Py_EQ)) return;
            found_.value = item(symbol, state.t.st_value);
            note_match(symbol);
        });
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
        Ref type = item(item(symbol, t.st_info).get(), t.type);
        m.add(as_u64(found_.value.get()), as_u64(item(symbol, t.st_size).get()),
              compare(type.get(), t.STT_FUNC, Py_EQ) ? elfsyms::symbol_type_function : 0);
    }

    PyObject* varename_;
    SymbolLookup& found_;
    bool plain_ = false;
    std::string name_;
    bool unknown_ = false;
};

}  // namespace

SymbolLookup find_symbol(const SymbolSource& source, PyObject* name) {
    SymbolLookup found;
    SymbolScan scan(name, found);
    // An empty name would match the null symbol and the section symbols,
    // so it matches nothing.
    bool empty = PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 0;
    RawTables raw(source);
    for_each_symbol_table(source, [&](PyObject* section, PyObject* symtab_type) {
        found.tables += 1;
        if (empty) return;
        RawTable table;
        if (raw.read(section, symtab_type, table) &&
            scan.scan_natively(table, raw.format()))
            return;
        scan.scan_with_reader(section);
    });
    found.known = source.genuine_reader && !scan.unknown();
    return found;
}

std::vector<std::string> symbol_names(const SymbolSource& source, size_t longest) {
    std::vector<std::string> names;
    RawTables raw(source);
    for_each_symbol_table(source, [&](PyObject* section, PyObject* symtab_type) {
        RawTable table;
        if (raw.read(section, symtab_type, table) &&
            elfsyms::list_symbol_names(table.table_bytes(), table.size, table.entsize,
                                       table.string_bytes(), table.strings_size,
                                       raw.format(), longest, names) == Scan::done)
            return;
        for_each_symbol(section, [&](PyObject* symbol) {
            Ref name = attr(symbol, state.t.name);
            if (PyUnicode_Check(name.get()) && PyUnicode_GET_LENGTH(name.get()) > 0 &&
                static_cast<size_t>(PyUnicode_GET_LENGTH(name.get())) <= longest)
                names.push_back(utf8_of(name.get()));
        });
    });
    return names;
}

}  // namespace velk
