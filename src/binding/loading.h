// Modules imported on a thread of their own while the engine reads and
// checksums the build: started by the run's first prepare(), waited for by
// the first call that needs them, and joined at the end without the
// interpreter's lock, which the importing thread takes.
#pragma once

#include <Python.h>

#include <mutex>
#include <thread>
#include <utility>

namespace velk::binding {

class Loading {
public:
    Loading() = default;
    // The interpreter's lock is held.
    ~Loading() {
        if (!thread_.joinable()) return;
        Py_BEGIN_ALLOW_THREADS
        thread_.join();
        Py_END_ALLOW_THREADS
    }
    Loading(const Loading&) = delete;
    Loading& operator=(const Loading&) = delete;

    // Runs `load(args...)` on its thread, unless a load has started already.
    template <class Load, class... Args>
    void start(Load&& load, Args&&... args) {
        std::lock_guard<std::mutex> hold(lock_);
        if (!thread_.joinable())
            thread_ = std::thread(std::forward<Load>(load), std::forward<Args>(args)...);
    }
    // The modules have loaded, or failed to; called without the
    // interpreter's lock, from any thread: a devices run's workers may
    // each be the first to ask for a key.
    void wait() {
        std::lock_guard<std::mutex> hold(lock_);
        if (thread_.joinable()) thread_.join();
    }

private:
    std::mutex lock_;  // one thread joins
    std::thread thread_;
};

}  // namespace velk::binding
