#include "outputs.h"

#include <chrono>
#include <csignal>


namespace velk::outfile {

namespace {

// Hands the text to the file a chunk at a time; Ctrl-C is answered
// between chunks, and the unfinished temporary file goes with the unwind.
class FileSink final : public Sink {
public:
    FileSink(ReplacingFile& file, Writing& writing) : file_(file), writing_(writing) {}

    void put(const char* text, size_t size) override {
        file_.write(text, size);
        writing_.between_chunks();
        // Stop writing: the unwind removes the temporaries, then the
        // guard ends the process by the signal.
        if (int signal_number = platform::TerminationHeld::received())
            throw Terminated{signal_number};
    }

private:
    ReplacingFile& file_;
    Writing& writing_;
};

// The second thread's: it answers nothing itself; it stops when the run
// ends or a termination signal comes.
struct Stopped {};

class QuietSink final : public Sink {
public:
    QuietSink(ReplacingFile& file, const std::atomic<bool>& stop) : file_(file), stop_(stop) {}

    void put(const char* text, size_t size) override {
        if (stop_.load() || platform::TerminationHeld::received()) throw Stopped{};
        file_.write(text, size);
    }

private:
    ReplacingFile& file_;
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

void Outputs::write(const std::string& path, Writer writer) {
    ReplacingFile& file = add(path);
    if (deferring_) {
        deferred_.emplace_back(&file, std::move(writer));
        return;
    }
    FileSink sink(file, writing_);
    writer(sink);
}

void Outputs::write_deferred() {
    deferring_ = false;
    if (deferred_.empty()) return;
    worker_ = std::thread([this] {
        for (auto& [file, writer] : deferred_) {
            QuietSink sink(*file, stop_);
            try {
                writer(sink);
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
    check_written();
    put_in_place();
}

void Outputs::check_written() {
    if (tap_) tap_->waiting();
    join();
    if (tap_) tap_->all_written();
}

void Outputs::put_in_place() {
    set_.commit(*this);
}

}  // namespace velk::outfile
