#include "outputs.h"

#include <chrono>
#include <csignal>
#include <cstring>

#include "../../engine/hexfile/intel_hex.h"
#include "../../engine/srecord/srec_writer.h"
#include "../../engine/uf2/uf2.h"
#include "errors.h"
#include "files.h"
#include "printing.h"
#include "text.h"

namespace velk {

class Sink : public layout::TextSink, public layout::ChunkSink {
public:
    explicit Sink(outfile::ReplacingFile& file) : file_(file) {}
    void take(uint8_t* chunk, size_t size) override {
        put(reinterpret_cast<const char*>(chunk), size);
    }

protected:
    ~Sink() = default;
    outfile::ReplacingFile& file_;
};

namespace {

// Hands the text to the file a chunk at a time; Ctrl-C is answered
// between chunks, and the unfinished temporary file goes with the unwind.
class FileSink final : public Sink {
public:
    explicit FileSink(outfile::ReplacingFile& file) : Sink(file) {}

    void put(const char* text, size_t size) override {
        file_.write(text, size);
        if (PyErr_CheckSignals() < 0) throw PythonError{};
        if (int signal_number = outfile::TerminationHeld::received()) {
            // Stop writing: the unwind removes the temporaries, then the
            // guard ends the process by the signal.
            Ref status = check(PyLong_FromLong(128 + signal_number));
            PyErr_SetObject(PyExc_SystemExit, status.get());
            throw PythonError{};
        }
    }
};

// The second thread's: no Python, so no Ctrl-C; it stops when the run
// ends or a termination signal comes.
struct Stopped {};

class QuietSink final : public Sink {
public:
    QuietSink(outfile::ReplacingFile& file, const std::atomic<bool>& stop)
        : Sink(file), stop_(stop) {}

    void put(const char* text, size_t size) override {
        if (stop_.load() || outfile::TerminationHeld::received()) throw Stopped{};
        file_.write(text, size);
    }

private:
    const std::atomic<bool>& stop_;
};

[[noreturn]] void exit_by_signal(int signal_number) {
    Ref status = check(PyLong_FromLong(128 + signal_number));
    PyErr_SetObject(PyExc_SystemExit, status.get());
    throw PythonError{};
}

}  // namespace

Outputs::~Outputs() {
    stop_ = true;
    if (worker_.joinable()) worker_.join();
}

void Outputs::run(outfile::ReplacingFile& file, Job job) {
    if (deferring_) {
        deferred_.emplace_back(&file, std::move(job));
        return;
    }
    FileSink sink(file);
    try {
        job(sink);
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

void Outputs::write_deferred() {
    deferring_ = false;
    if (deferred_.empty()) return;
    worker_ = std::thread([this] {
        for (auto& [file, job] : deferred_) {
            QuietSink sink(*file, stop_);
            try {
                job(sink);
            } catch (const outfile::OsFailure& failure) {
                worker_failure_ = failure;
                break;
            } catch (const Stopped&) {
                worker_stopped_ = true;
                break;
            }
        }
        worker_done_ = true;
    });
}

void Outputs::join() {
    if (!worker_.joinable()) return;
    // Ctrl-C is answered while the second thread writes: it is stopped.
    while (!worker_done_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (PyErr_CheckSignals() < 0) {
            stop_ = true;
            worker_.join();
            throw PythonError{};
        }
    }
    worker_.join();
    if (worker_failure_) raise(*worker_failure_);
    // What the second thread could not answer: Ctrl-C, a termination.
    if (PyErr_CheckSignals() < 0) throw PythonError{};
    if (int signal_number = outfile::TerminationHeld::received())
        exit_by_signal(signal_number);
    if (worker_stopped_) exit_by_signal(SIGTERM);
}

void raise_address_overflow() {
    PyErr_SetString(PyExc_OverflowError, "unsigned byte integer is greater than maximum");
    throw PythonError{};
}

outfile::ReplacingFile& Outputs::create(PyObject* filename) {
    std::string path = fs_path(filename);
    names_.emplace_back(path, Ref::share(filename));
    try {
        return set_.add(std::move(path));
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

void Outputs::raise(const outfile::OsFailure& failure) const {
    Ref own;  // a file of the stage's own, such as the names' lock file
    PyObject* filename = nullptr;
    for (const auto& name : names_)
        if (name.first == failure.path) filename = name.second.get();
    if (!filename) {
        own = check(PyUnicode_DecodeFSDefaultAndSize(
            failure.path.data(), static_cast<Py_ssize_t>(failure.path.size())));
        filename = own.get();
    }
    if (failure.kept.empty()) raise_os_error(failure.error, filename);
    // An earlier file that could not be put back is not lost: say where it is.
    std::string why = std::strerror(failure.error);
    why += "; the earlier file is kept as " + failure.kept;
    Ref text = check(PyUnicode_DecodeFSDefaultAndSize(
        why.data(), static_cast<Py_ssize_t>(why.size())));
    Ref error = check(
        PyObject_CallFunction(PyExc_OSError, "iOO", failure.error, text.get(), filename));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PythonError{};
}

void Outputs::intel_hex(PyObject* filename, const layout::MemoryMap& memory,
                        uint64_t entry) {
    // Intel HEX addresses are 32 bits.
    if (memory.end() > hexfile::address_limit) raise_address_overflow();
    outfile::ReplacingFile& file = create(filename);
    run(file, [&memory, entry](Sink& sink) {
        hexfile::write_intel_hex(memory, hexfile::start_address(entry), sink);
    });
}

void Outputs::uf2(PyObject* filename, const layout::MemoryMap& memory, uint32_t family) {
    if (memory.end() > uf2::address_limit) raise_address_overflow();
    outfile::ReplacingFile& file = create(filename);
    // The 4 GiB limit is checked above: the writer writes every block.
    run(file, [&memory, family](Sink& sink) {
        (void)uf2::write_uf2(memory, family, memory.fill(), sink);
    });
}

void Outputs::srecord(PyObject* filename, const layout::MemoryMap& memory,
                      uint64_t entry) {
    outfile::ReplacingFile& file = create(filename);
    std::string header = utf8_of(filename);
    run(file, [&memory, entry, header](Sink& sink) {
        srecord::write_srecord(memory, hexfile::start_address(entry), header, sink);
    });
}

void Outputs::binary(PyObject* filename, const layout::MemoryMap& memory, uint64_t from,
                     uint64_t to) {
    outfile::ReplacingFile& file = create(filename);
    run(file, [&memory, from, to](Sink& sink) { layout::copy_range(memory, from, to, sink); });
}

void Outputs::bytes(PyObject* filename,
                    const std::vector<std::pair<const uint8_t*, size_t>>& pieces) {
    outfile::ReplacingFile& file = create(filename);
    try {
        for (const auto& piece : pieces)
            file.write(reinterpret_cast<const char*>(piece.first), piece.second);
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

void Outputs::remove(PyObject* filename) {
    std::string path = fs_path(filename);
    names_.emplace_back(path, Ref::share(filename));
    set_.remove(std::move(path));
}

void Outputs::still_waiting(const std::string& lock_file) {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
    if (int signal_number = outfile::TerminationHeld::received()) {
        // The unwind removes the temporaries before the signal ends the run.
        if (told_.error)
            told_.error("terminated while waiting for " + lock_file +
                        "; nothing was written");
        exit_by_signal(signal_number);
    }
}

void Outputs::waiting_long(const std::string& lock_file) {
    if (told_.note)
        told_.note("waiting for " + lock_file +
                   ": another velk-crc run is writing these files");
}

void Outputs::commit() {
    join();
    try {
        set_.commit(*this);
    } catch (const outfile::OsFailure& failure) {
        raise(failure);
    }
}

std::vector<Ref> Outputs::removed() const {
    std::vector<Ref> out;
    for (const std::string& path : set_.removed())
        for (const auto& name : names_)
            if (name.first == path) {
                out.push_back(Ref::share(name.second.get()));
                break;
            }
    return out;
}

}  // namespace velk
