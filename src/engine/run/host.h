// What the engine asks of the program that runs it: where the lines of a
// command line go, whether the user has asked the run to stop, and where
// the program's guide is. The Python binding answers through the
// interpreter (its sys.stdout, its Ctrl-C); a C++ program answers as it
// likes. What a Host's calls throw goes through the engine unchanged, after
// the engine's guards have undone what they started.
#pragma once

#include <string>

#include "crypto.h"

namespace velk {

// Standard output could not take a line (a full disk, /dev/full, a closed
// descriptor): `why` is the system's word for it. `reader_gone`: a pipe
// whose reader has gone (velk-crc --help | head -1), which ends a run that
// has changed nothing as SIGPIPE would.
struct StdoutFailure {
    std::string why;
    bool reader_gone = false;
};

// The user stopped the run (Ctrl-C): nothing more is done, no verdict is
// made, and every output file is all new or all as it was.
struct Interrupted {};

class Host {
public:
    // A line on standard output, and on standard error. out() and
    // flush_out() throw StdoutFailure when standard output cannot take it.
    virtual void out(const std::string& line) = 0;
    virtual void err(const std::string& line) = 0;
    virtual void flush_out() = 0;
    // Whether the user has asked the run to stop since the last call.
    virtual bool interrupted() = 0;
    // The guide installed with the program; empty when there is none.
    virtual std::string guide_path() = 0;
    // Digests and signatures; a program without them throws
    // crypto::Failure saying so.
    virtual crypto::Provider& crypto() {
        throw crypto::Failure{"this program has no digests or signatures"};
    }

    // Throws Interrupted when the user has asked the run to stop: called
    // between the steps of a long run.
    void stop_if_asked() {
        if (interrupted()) throw Interrupted{};
    }

protected:
    ~Host() = default;
};

}  // namespace velk
