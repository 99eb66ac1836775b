// CHECK's driver: its three stages in order, and the verdict as the exit
// status.
#include "../cli/modes.h"
#include "check_run.h"

namespace velk {

int run_check(const Request& request, Reporter& report, Host& host) {
    check::CheckRun run(request);
    check::plan(run, report, host);
    check::compute(run);
    const bool ok = check::report(run, report);
    report.finish(ok ? "ok" : "mismatch");
    return ok ? 0 : 1;
}

}  // namespace velk
