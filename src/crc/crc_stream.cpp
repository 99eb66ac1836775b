#include "crc_stream.h"

#include <utility>

#include "../module/ops.h"

namespace velk {

namespace {

// crc = function(chunk, crc), the value carried from chunk to chunk; the
// first chunk takes the function's own initial value.
class CrcSink final : public layout::ChunkSink {
public:
    CrcSink(PyObject* function, Feed feed) : function_(function), feed_(feed) {}

    void take(uint8_t* chunk, size_t size) override {
        if (feed_ == Feed::words)
            for (size_t i = 0; i + 4 <= size; i += 4) {
                std::swap(chunk[i], chunk[i + 3]);
                std::swap(chunk[i + 1], chunk[i + 2]);
            }
        // A bytes object of its own: the chunk's memory is reused, and a
        // CRC function that kept what it was given must not see it change.
        Ref chunk_bytes = check(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(chunk), static_cast<Py_ssize_t>(size)));
        crc_ = crc_ ? call(function_, chunk_bytes.get(), crc_.get())
                    : call(function_, chunk_bytes.get());
        // A long run of erased flash answers Ctrl-C between chunks.
        if (PyErr_CheckSignals() < 0) throw PythonError{};
    }

    // An empty range: the function's value for no bytes.
    PyObject* crc() {
        if (!crc_) crc_ = call(function_, check(PyBytes_FromStringAndSize("", 0)).get());
        return crc_.get();
    }

private:
    PyObject* function_;
    Feed feed_;
    Ref crc_;
};

}  // namespace

Ref make_crc32_mpeg2() {
    const Constants& c = state.c;
    // crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
    Ref mk_crc_fun = attr(global(state.t.crcmod).get(), state.t.mkCrcFun);
    PyObject* const args[] = {c.crc_poly, c.crc_init, Py_False, c.zero};
    return check(PyObject_Vectorcall(mk_crc_fun.get(), args, 1, c.crc_keywords));
}

uint64_t checksum_of(PyObject* function, const layout::MemoryMap& memory, uint64_t from,
                     uint64_t to, Feed feed) {
    CrcSink sink(function, feed);
    layout::copy_range(memory, from, to, sink);
    unsigned long long crc = PyLong_AsUnsignedLongLong(sink.crc());
    if (crc == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        throw PythonError{};
    return crc;
}

}  // namespace velk
