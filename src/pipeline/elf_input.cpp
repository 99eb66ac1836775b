#include "elf_input.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "../report/text.h"
#include "../report/wording.h"
#include "adapter.h"

namespace velk {

namespace {

// The text of the pending exception, which is taken.
std::string take_exception_text(bool with_type) {
    Ref error = take_exception();
    std::string message = utf8_of(error.get());
    if (!with_type) return message;
    std::string name = Py_TYPE(error.get())->tp_name;
    return message.empty() ? name : name + ": " + message;
}

}  // namespace

layout::ProgramHeader program_header(PyObject* segment) {
    const Texts& t = state.t;
    Ref type = item(segment, t.p_type);
    Ref header = attr(segment, t.header);
    return {compare(type.get(), t.PT_LOAD, Py_EQ),
            as_u64(item(header.get(), t.p_offset).get()),
            as_u64(item(header.get(), t.p_vaddr).get()),
            as_u64(item(header.get(), t.p_paddr).get()),
            as_u64(item(header.get(), t.p_filesz).get()),
            as_u64(item(header.get(), t.p_memsz).get())};
}

bool header_table_fits(PyObject* elf_file, uint64_t file_size, std::string& why) {
    const Texts& t = state.t;
    Ref header = attr(elf_file, t.header);
    uint64_t offset = as_u64(item(header.get(), t.e_phoff).get());
    uint64_t entry_size = as_u64(item(header.get(), t.e_phentsize).get());
    uint64_t count = as_u64(call_method(elf_file, t.num_segments).get());
    bool elf64 = as_u64(attr(elf_file, t.elfclass).get()) == 64;
    if (layout::header_table_fits(offset, entry_size, count, elf64, file_size))
        return true;
    why = text::format(
        "the program header table (%llu entries of %llu bytes at offset 0x%llX) does not "
        "fit the file: it is damaged",
        static_cast<unsigned long long>(count),
        static_cast<unsigned long long>(entry_size),
        static_cast<unsigned long long>(offset));
    return false;
}

InputFile::~InputFile() {
    if (file) close_keeping_error(file.get());
}

void refuse_package_error(const char* what) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw Refusal{text::format("out of memory while reading %s", what)};
    }
    throw Refusal{text::format("cannot read %s: ", what) + take_exception_text(true)};
}

void refuse_exception(const char* doing) {
    throw Refusal{std::string(doing) + ": " + take_exception_text(true)};
}

InputFile read_input(PyObject* filename) {
    InputFile input;
    std::string path;
    try {
        path = fs_path(filename);
    } catch (const PythonError&) {
        // A name no file can have (a NUL in it): open() would refuse it too.
        if (!PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_TypeError))
            throw;
        throw Refusal{"cannot open it: " + take_exception_text(false)};
    }
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw Refusal{"it is a directory, not a file"};
    if (const char* kind = special_file_kind(path))
        throw Refusal{text::format("not a regular file but %s", kind)};
    try {
        input.file = call(state.open, filename, state.t.rb);
        input.bytes = read_file_at(input.file.get(), 0, UINT64_MAX);
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        throw Refusal{"cannot open it: " + take_os_error().why};
    }
    input.kind =
        layout::kind_of(input.bytes.data(), std::min<size_t>(input.bytes.size(), 4096));
    return input;
}

ElfBuild read_elf(InputFile input) {
    const Texts& t = state.t;
    if (input.kind != layout::FileKind::elf) throw Refusal{wording::not_elf(input.kind)};
    ElfBuild elf;
    elf.input = std::move(input);
    reading("it as an ELF file", [&] {
        elf.elf_file = call(global(t.ELFFile).get(), elf.input.file.get());
        elf.genuine_reader = reinterpret_cast<PyObject*>(Py_TYPE(elf.elf_file.get())) ==
                             state.genuine.ELFFile;
        elf.entry = item(attr(elf.elf_file.get(), t.header).get(), t.e_entry);
        std::string why;
        if (!header_table_fits(elf.elf_file.get(), elf.input.bytes.size(), why))
            throw Refusal{why};
        Ref segments = check(
            PyObject_GetIter(call_method(elf.elf_file.get(), t.iter_segments).get()));
        while (PyObject* next = PyIter_Next(segments.get())) {
            Ref segment(next);
            elf.headers.push_back(program_header(segment.get()));
        }
        if (PyErr_Occurred()) throw PythonError{};
        return 0;
    });
    uint64_t entry;
    if (!fits_u64(elf.entry.get(), entry))
        throw Refusal{"the ELF header holds no entry point"};
    auto loadable = layout::loadable_of_elf(elf.headers, elf.input.bytes.size());
    if (auto* fault = std::get_if<layout::Fault>(&loadable))
        throw Refusal{wording::layout_fault(*fault, elf.headers)};
    elf.loadable = std::move(std::get<layout::Loadable>(loadable));
    return elf;
}

}  // namespace velk
