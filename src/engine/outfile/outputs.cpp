#include "outputs.h"

#include <chrono>
#include <csignal>

#include "../hexfile/intel_hex.h"
#include "../srecord/srec_writer.h"
#include "../uf2/uf2.h"

namespace velk::outfile {

class Sink : public layout::TextSink, public layout::ChunkSink {
public:
    explicit Sink(ReplacingFile& file) : file_(file) {}
    void take(uint8_t* chunk, size_t size) override {
        put(reinterpret_cast<const char*>(chunk), size);
    }

protected:
    ~Sink() = default;
    ReplacingFile& file_;
};

namespace {

// Hands the text to the file a chunk at a time; Ctrl-C is answered
// between chunks, and the unfinished temporary file goes with the unwind.
class FileSink final : public Sink {
public:
    FileSink(ReplacingFile& file, Writing& writing) : Sink(file), writing_(writing) {}

    void put(const char* text, size_t size) override {
        file_.write(text, size);
        writing_.between_chunks();
        // Stop writing: the unwind removes the temporaries, then the
        // guard ends the process by the signal.
        if (int signal_number = platform::TerminationHeld::received())
            throw Terminated{signal_number};
    }

private:
    Writing& writing_;
};

// The second thread's: it answers nothing itself; it stops when the run
// ends or a termination signal comes.
struct Stopped {};

class QuietSink final : public Sink {
public:
    QuietSink(ReplacingFile& file, const std::atomic<bool>& stop) : Sink(file), stop_(stop) {}

    void put(const char* text, size_t size) override {
        if (stop_.load() || platform::TerminationHeld::received()) throw Stopped{};
        file_.write(text, size);
    }

private:
    const std::atomic<bool>& stop_;
};

}  // namespace

Outputs::~Outputs() {
    stop_ = true;
    if (worker_.joinable()) worker_.join();
}

ReplacingFile& Outputs::add(const std::string& path) {
    ReplacingFile& file = set_.add(path);
    if (tap_) file.tap(tap_);
    return file;
}

void Outputs::run(ReplacingFile& file, Job job) {
    if (deferring_) {
        deferred_.emplace_back(&file, std::move(job));
        return;
    }
    FileSink sink(file, writing_);
    job(sink);
}

void Outputs::write_deferred() {
    deferring_ = false;
    if (deferred_.empty()) return;
    worker_ = std::thread([this] {
        for (auto& [file, job] : deferred_) {
            QuietSink sink(*file, stop_);
            try {
                job(sink);
            } catch (const OsFailure& failure) {
                worker_failure_ = failure;
                break;
            } catch (const Stopped&) {
                worker_stopped_ = true;
                break;
            }
        }
        std::lock_guard<std::mutex> hold(done_lock_);
        worker_done_ = true;
        done_.notify_one();
    });
}

void Outputs::join() {
    if (!worker_.joinable()) return;
    // Ctrl-C is answered while the second thread writes: it is stopped.
    try {
        std::unique_lock<std::mutex> hold(done_lock_);
        while (!done_.wait_for(hold, std::chrono::milliseconds(10),
                               [this] { return worker_done_; })) {
            hold.unlock();
            writing_.between_chunks();
            hold.lock();
        }
    } catch (...) {
        stop_ = true;
        worker_.join();
        throw;
    }
    worker_.join();
    if (worker_failure_) throw *worker_failure_;
    // What the second thread could not answer: Ctrl-C, a termination.
    writing_.between_chunks();
    if (int signal_number = platform::TerminationHeld::received())
        throw Terminated{signal_number};
    if (worker_stopped_) throw Terminated{SIGTERM};
}

void Outputs::intel_hex(const std::string& path, const layout::MemoryMap& memory,
                        uint64_t entry) {
    ReplacingFile& file = add(path);
    run(file, [&memory, entry](Sink& sink) {
        hexfile::write_intel_hex(memory, hexfile::start_address(entry), sink);
    });
}

void Outputs::uf2(const std::string& path, const layout::MemoryMap& memory,
                  uint32_t family) {
    ReplacingFile& file = add(path);
    run(file, [&memory, family](Sink& sink) {
        (void)uf2::write_uf2(memory, family, memory.fill(), sink);
    });
}

void Outputs::srecord(const std::string& path, const layout::MemoryMap& memory,
                      uint64_t entry, const std::string& header) {
    ReplacingFile& file = add(path);
    run(file, [&memory, entry, header](Sink& sink) {
        srecord::write_srecord(memory, hexfile::start_address(entry), header, sink);
    });
}

void Outputs::binary(const std::string& path, const layout::MemoryMap& memory,
                     uint64_t from, uint64_t to) {
    ReplacingFile& file = add(path);
    run(file, [&memory, from, to](Sink& sink) { layout::copy_range(memory, from, to, sink); });
}

void Outputs::bytes(const std::string& path,
                    const std::vector<std::pair<const uint8_t*, size_t>>& pieces) {
    ReplacingFile& file = add(path);
    for (const auto& piece : pieces)
        file.write(reinterpret_cast<const char*>(piece.first), piece.second);
}

void Outputs::remove(const std::string& path) {
    set_.remove(path);
}

void Outputs::still_waiting(const std::string& lock_file) {
    writing_.between_chunks();
    if (int signal_number = platform::TerminationHeld::received()) {
        // The unwind removes the temporaries before the signal ends the run.
        writing_.terminated_while_waiting(lock_file);
        throw Terminated{signal_number};
    }
}

void Outputs::waiting_long(const std::string& lock_file) {
    writing_.waiting_long(lock_file);
}

void Outputs::commit() {
    if (tap_) tap_->waiting();
    join();
    if (tap_) tap_->all_written();
    set_.commit(*this);
}

}  // namespace velk::outfile
