#include "flash_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velk {

namespace {

struct Loadable {
    size_t index;  // in l.segments
    uint64_t paddr, size;

    uint64_t end() const { return paddr + size; }
};

// Every program header, recorded, and the segment objects with them.
std::vector<Ref> read_all_headers(CalcLocals& l) {
    const Texts& t = state.t;
    Ref segments =
        check(PyObject_GetIter(call_method(l.elf_file.get(), t.iter_segments).get()));
    std::vector<Ref> objects;
    while (PyObject* next = PyIter_Next(segments.get())) {
        objects.emplace_back(next);
        l.segments.push_back(read_header(next));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return objects;
}

bool refuse_line(PyObject* line) {
    print(line);
    return false;
}

bool refuse(const char* line) {
    return refuse_line(check(PyUnicode_FromString(line)).get());
}

// Two segments that claim the same flash bytes leave no single image.
bool refuse_overlap(const std::vector<Loadable>& by_address) {
    for (size_t i = 1; i < by_address.size(); ++i) {
        const Loadable& a = by_address[i - 1];
        const Loadable& b = by_address[i];
        if (b.paddr >= a.end()) continue;
        char line[200];
        std::snprintf(line, sizeof line,
                      "elf error: loadable segments %zu (0x%08llX, %llu bytes) and %zu "
                      "(0x%08llX, %llu bytes) overlap!",
                      a.index, static_cast<unsigned long long>(a.paddr),
                      static_cast<unsigned long long>(a.size), b.index,
                      static_cast<unsigned long long>(b.paddr),
                      static_cast<unsigned long long>(b.size));
        return refuse(line);
    }
    return true;
}

// segment.data()[:size], refused (false) when the file holds less; no copy
// when the segment's file contents are the size already (p_filesz <= p_memsz).
bool segment_bytes(PyObject* segment, uint64_t size, Ref& out) {
    Ref data = call_method(segment, state.t.data);
    if (!PyBytes_Check(data.get())) return false;
    uint64_t have = static_cast<uint64_t>(PyBytes_GET_SIZE(data.get()));
    if (have < size) return false;
    out = have == size ? std::move(data)
                       : check(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.get()),
                                                         static_cast<Py_ssize_t>(size)));
    return true;
}

}  // namespace

bool assemble_flash_image(FlashLocals& l) {
    const Texts& t = state.t;
    if ((!l.file && !open_elf(l)) || !read_elf_header(l)) return false;
    std::vector<Ref> objects = read_all_headers(l);

    std::vector<Loadable> loadable;
    uint64_t size_of_file = file_size(l.file.get());
    for (size_t i = 0; i < l.segments.size(); ++i) {
        const SegmentInfo& s = l.segments[i];
        if (!s.has_contents()) continue;
        // Checked before anything is read: a forged size costs nothing.
        if (s.offset > size_of_file || s.filesz > size_of_file - s.offset ||
            s.size() > UINT64_MAX - s.paddr)
            return refuse_line(t.msg_segment_cut);
        loadable.push_back({i, s.paddr, s.size()});
    }
    if (loadable.empty()) return refuse_line(t.msg_no_vaddr);
    const Loadable first = loadable.front();
    std::vector<Loadable> by_address = loadable;
    std::stable_sort(
        by_address.begin(), by_address.end(),
        [](const Loadable& a, const Loadable& b) { return a.paddr < b.paddr; });
    if (!refuse_overlap(by_address)) return false;

    // The image grows from the first segment over its neighbours in flash.
    std::vector<Loadable> joined{first};
    uint64_t end = first.end();
    for (const Loadable& s : by_address) {
        if (s.index == first.index) continue;
        if (s.paddr >= end && s.paddr - end <= join_distance) {
            joined.push_back(s);
            end = s.end();
        } else {
            l.outside.push_back({s.paddr, Ref()});
            if (!segment_bytes(objects[s.index].get(), s.size, l.outside.back().data))
                return refuse_line(t.msg_segment_cut);
        }
    }
    uint64_t length = end - first.paddr;
    if (length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw PythonError{};
    }
    Ref image =
        check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    char* bytes = PyBytes_AS_STRING(image.get());
    std::memset(bytes, 0xFF, static_cast<size_t>(length));
    for (const Loadable& s : joined) {
        Ref data;
        if (!segment_bytes(objects[s.index].get(), s.size, data))
            return refuse_line(t.msg_segment_cut);
        std::memcpy(bytes + (s.paddr - first.paddr), PyBytes_AS_STRING(data.get()),
                    static_cast<size_t>(s.size));
        l.in_image.push_back(s.index);
    }
    l.loadaddr = check(PyLong_FromUnsignedLongLong(first.paddr));
    l.seg_size = check(PyLong_FromUnsignedLongLong(length));
    l.databuf = std::move(image);

    pad_to_offset(l);
    return true;
}

}  // namespace velk
