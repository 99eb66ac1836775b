#include "termination.h"

#include <signal.h>

namespace velk::outfile {

namespace {

constexpr int caught[] = {SIGTERM, SIGHUP, SIGQUIT};
constexpr int count = sizeof caught / sizeof caught[0];

volatile sig_atomic_t signal_received = 0;
int depth = 0;  // guards alive: the outermost one installs and restores
struct sigaction before[count];
bool installed[count];

void note(int signal_number) {
    signal_received = signal_number;
}

}  // namespace

TerminationHeld::TerminationHeld() {
    if (depth++ > 0) return;
    signal_received = 0;
    for (int i = 0; i < count; ++i) {
        installed[i] = false;
        if (sigaction(caught[i], nullptr, &before[i]) != 0) continue;
        // A handler of the program's own, or an ignored signal, stays as it is.
        bool by_default =
            !(before[i].sa_flags & SA_SIGINFO) && before[i].sa_handler == SIG_DFL;
        if (!by_default) continue;
        struct sigaction action{};
        action.sa_handler = note;
        sigemptyset(&action.sa_mask);
        installed[i] = sigaction(caught[i], &action, nullptr) == 0;
    }
}

TerminationHeld::~TerminationHeld() {
    if (--depth > 0) return;
    for (int i = 0; i < count; ++i)
        if (installed[i]) sigaction(caught[i], &before[i], nullptr);
    int signal_number = signal_received;
    signal_received = 0;
    if (signal_number != 0) raise(signal_number);
}

int TerminationHeld::received() {
    return signal_received;
}

}  // namespace velk::outfile
