// The engine's host in the interpreter. The engine works without the
// interpreter's lock, so that other Python threads run meanwhile; the host
// takes the lock back for the moments it is asked something: a line to
// print through sys.stdout or sys.stderr, whether Ctrl-C came (the
// interpreter's signal handling), where the guide is.
#pragma once

#include <memory>
#include <thread>

#include "../engine/run/host.h"
#include "state.h"

namespace velk::binding {

class PythonCrypto;

class PythonHost final : public Host {
public:
    explicit PythonHost(const ModuleState& state);

    void out(const std::string& line) override;
    void err(const std::string& line) override;
    void flush_out() override;
    // What the interpreter's signal handler raised (Ctrl-C's
    // KeyboardInterrupt) stays pending for the caller.
    bool interrupted() override;
    std::string guide_path() override;
    // hashlib and the cryptography package, imported at the first call.
    crypto::Provider& crypto() override;

    ~PythonHost();

    // Gives up the interpreter's lock until the guard goes: what runs
    // meanwhile is the engine's, and this host takes the lock back for its
    // answers.
    class Released {
    public:
        explicit Released(PythonHost& host) : host_(host) { host_.saved_ = PyEval_SaveThread(); }
        ~Released() {
            PyEval_RestoreThread(host_.saved_);
            host_.saved_ = nullptr;
        }
        Released(const Released&) = delete;
        Released& operator=(const Released&) = delete;

    private:
        PythonHost& host_;
    };

    // The interpreter's lock held for one answer: the host's own, and those
    // of the digests and keys it hands the engine. A thread the engine
    // started (one hashing files) takes it as any foreign thread does.
    class Holding {
    public:
        explicit Holding(PythonHost& host);
        ~Holding();
        Holding(const Holding&) = delete;
        Holding& operator=(const Holding&) = delete;

    private:
        PythonHost& host_;
        bool elsewhere_;
        PyGILState_STATE foreign_{};
    };

private:
    void print(const std::string& line, PyObject* file);

    const ModuleState& state_;
    PyThreadState* saved_ = nullptr;  // while Released
    std::thread::id caller_ = std::this_thread::get_id();
    std::unique_ptr<PythonCrypto> crypto_;
};

}  // namespace velk::binding
