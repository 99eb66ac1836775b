// The engine's host in the interpreter: lines printed through sys.stdout
// and sys.stderr, Ctrl-C through the interpreter's signal handling, the
// guide beside the velk_crc package's files.
#pragma once

#include "../engine/outfile/outputs.h"
#include "../engine/run/host.h"
#include "../velk/module/handle.h"

namespace velk::product {

class PythonHost final : public Host {
public:
    void out(const std::string& line) override;
    void err(const std::string& line) override;
    void flush_out() override;
    // What the interpreter's signal handler raised (Ctrl-C's
    // KeyboardInterrupt) stays pending for the caller.
    bool interrupted() override;
    std::string guide_path() override;
};

// A termination signal that stopped an engine run, as the status the
// process ends with: SystemExit(128 + the signal).
[[noreturn]] void raise_terminated(const outfile::Terminated& terminated);

// Runs `body`, an engine call, and leaves what stopped it pending in the
// interpreter: the KeyboardInterrupt of Ctrl-C, or SystemExit for a
// termination signal.
template <class Body>
auto engine_call(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const Interrupted&) {
        throw PythonError{};
    } catch (const outfile::Terminated& terminated) {
        raise_terminated(terminated);
    }
}

}  // namespace velk::product
