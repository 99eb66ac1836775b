// What the test program's files share: every check is counted, whichever
// file makes it (the last line says how many ran, so a run that checked
// less than it should is seen), and the host its runs of the command line
// say their lines to.
#pragma once

#include <cstdio>
#include <string>

#include "../../src/engine/run/host.h"

namespace engine_checks {

inline int made = 0;

// Counts a check; a failed one is said on standard error, after `part`
// (which file's it is), and counted in `failures`.
inline void count(bool ok, const char* part, const std::string& what, int& failures) {
    ++made;
    if (ok) return;
    ++failures;
    std::fprintf(stderr, "FAILED: %s%s\n", part, what.c_str());
}

// Lines as a terminal would show them, kept for the checks.
class Host final : public velk::Host {
public:
    void out(const std::string& line) override { out_ += line + "\n"; }
    void err(const std::string& line) override { err_ += line + "\n"; }
    void flush_out() override {}
    bool interrupted() override { return false; }
    std::string guide_path() override { return {}; }

    std::string out_, err_;
};

}  // namespace engine_checks
