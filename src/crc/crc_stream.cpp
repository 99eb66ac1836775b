#include "crc_stream.h"

#include <utility>

#include "../module/ops.h"

namespace velk {

namespace {

// A view of a chunk whose memory is reused: released however the call
// ends, so that nothing (a traceback's frame) can read it afterwards.
class Released {
public:
    explicit Released(Ref view) : view_(std::move(view)) {}
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref done(PyObject_CallMethodNoArgs(view_.get(), state.t.release));
        if (!done) PyErr_WriteUnraisable(view_.get());
        PyErr_Restore(type, value, tb);
    }
    PyObject* get() const { return view_.get(); }

private:
    Ref view_;
};

// crc = crc32_mpeg2(chunk, crc), the register carried from chunk to chunk.
class CrcSink final : public layout::ChunkSink {
public:
    CrcSink(PyObject* function, Feed feed) : function_(function), feed_(feed) {
        crc_ = Ref::share(state.c.crc_init);
    }

    void take(uint8_t* chunk, size_t size) override {
        if (feed_ == Feed::words)
            for (size_t i = 0; i + 4 <= size; i += 4) {
                std::swap(chunk[i], chunk[i + 3]);
                std::swap(chunk[i + 1], chunk[i + 2]);
            }
        Released view(check(PyMemoryView_FromMemory(
            reinterpret_cast<char*>(chunk), static_cast<Py_ssize_t>(size), PyBUF_READ)));
        crc_ = call(function_, view.get(), crc_.get());
        // A long run of erased flash answers Ctrl-C between chunks.
        if (PyErr_CheckSignals() < 0) throw PythonError{};
    }

    PyObject* crc() const { return crc_.get(); }

private:
    PyObject* function_;
    Feed feed_;
    Ref crc_;
};

}  // namespace

uint32_t checksum_of(const layout::MemoryMap& memory, uint64_t from, uint64_t to,
                     Feed feed) {
    const Constants& c = state.c;
    // crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
    Ref mk_crc_fun = attr(global(state.t.crcmod).get(), state.t.mkCrcFun);
    PyObject* const args[] = {c.crc_poly, c.crc_init, Py_False, c.zero};
    Ref function = check(PyObject_Vectorcall(mk_crc_fun.get(), args, 1, c.crc_keywords));
    CrcSink sink(function.get(), feed);
    layout::copy_range(memory, from, to, sink);
    unsigned long crc = PyLong_AsUnsignedLong(sink.crc());
    if (crc == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
    return static_cast<uint32_t>(crc);
}

}  // namespace velk
