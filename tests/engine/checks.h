// Every check of the test program is counted, whichever file makes it: the
// last line says how many ran, so a run that checked less than it should
// is seen.
#pragma once

namespace engine_checks {

inline int made = 0;

}  // namespace engine_checks
