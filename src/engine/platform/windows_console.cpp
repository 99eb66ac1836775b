// The console events that end a build step on Windows, answered as
// posix.cpp answers the signals that do on POSIX.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>

#include "platform.h"

namespace velk::platform {

// Windows has no signals to hold back: Ctrl-C, Ctrl-Break and a closed
// console window come as console events, each on a thread of its own, to
// the handlers in turn (the last one added first). The engine's handler,
// added at the first guard, makes an event wait while names change hands
// (SignalsHeld) and, while a run writes its files (TerminationHeld), takes
// the events that end a build step so that the run removes its temporary
// files first. Ctrl-C is the program's to answer (Python's
// KeyboardInterrupt), as SIGINT is on POSIX: it is only made to wait.
namespace {

std::mutex guards;
std::condition_variable guards_gone;
int names_held = 0;        // SignalsHeld alive
int termination_held = 0;  // TerminationHeld alive
std::atomic<int> event_received{0};

// What a console event stands for, as the run's signal number.
int signal_of(DWORD event) {
    return event == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
}

// Whether the program answers the event itself: a SIGBREAK handler of its
// own through the C runtime (which takes Ctrl-Break from the console), or
// SIGBREAK ignored. Then it stays the program's, as a POSIX signal with a
// disposition of the program's own does.
bool programs_own(DWORD event) {
#ifdef SIG_GET
    if (event == CTRL_BREAK_EVENT) return std::signal(SIGBREAK, SIG_GET) != SIG_DFL;
#endif
    return event == CTRL_C_EVENT;
}

BOOL WINAPI console_event(DWORD event) {
    std::unique_lock<std::mutex> lock(guards);
    if (!programs_own(event) && termination_held > 0) {
        // The run sees it between chunks, removes its temporaries and
        // ends when the last guard goes; a console being closed waits here
        // for that (Windows allows it a few seconds).
        int none = 0;
        event_received.compare_exchange_strong(none, signal_of(event));
        guards_gone.wait(lock, [] { return termination_held == 0 && names_held == 0; });
        return TRUE;
    }
    guards_gone.wait(lock, [] { return names_held == 0; });
    return FALSE;  // to the program's handler, or Windows' default
}

void add_handler() {
    // Added once and kept: with no guard alive it passes every event on.
    static std::once_flag added;
    std::call_once(added, [] { ::SetConsoleCtrlHandler(console_event, TRUE); });
}

}  // namespace

SignalsHeld::SignalsHeld() {
    add_handler();
    std::lock_guard<std::mutex> lock(guards);
    ++names_held;
    (void)before_;
}

SignalsHeld::~SignalsHeld() {
    std::lock_guard<std::mutex> lock(guards);
    if (--names_held == 0) guards_gone.notify_all();
}

TerminationHeld::TerminationHeld() {
    add_handler();
    std::lock_guard<std::mutex> lock(guards);
    if (termination_held++ == 0) event_received = 0;
}

TerminationHeld::~TerminationHeld() {
    int signal_number = 0;
    {
        std::lock_guard<std::mutex> lock(guards);
        if (--termination_held > 0) return;
        signal_number = event_received.exchange(0);
        guards_gone.notify_all();
    }
    // The run ends as Windows ends a console program on Ctrl-Break or a
    // closed window, now that its temporary files are gone.
    if (signal_number != 0) ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

int TerminationHeld::received() {
    return event_received.load();
}

}  // namespace velk::platform
