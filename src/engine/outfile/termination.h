// While a run's output files are being written, the signals that end a
// build step from outside (kill, a closed terminal, Ctrl-\) are caught, so
// that the run can take its temporary files away before it ends. When the
// guard goes, a signal that came is sent again with the disposition it had,
// and ends the process as it would have (status 128 + the signal).
#pragma once

namespace velk::outfile {

class TerminationHeld {
public:
    TerminationHeld();
    ~TerminationHeld();
    TerminationHeld(const TerminationHeld&) = delete;
    TerminationHeld& operator=(const TerminationHeld&) = delete;

    // The signal that came since the guard was made, or 0.
    static int received();
};

}  // namespace velk::outfile
