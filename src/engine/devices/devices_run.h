// FLASH with --stamp: one complete set of files per device, each from a
// copy of the build's one planned image with that device's values stamped
// in and every record, header and signature computed again over it, into
// the folder --out names, with the ledger's manifest beside them.
#pragma once

#include "../report/reporter.h"
#include "../request/request.h"
#include "../run/host.h"

namespace velk::devices {

// The words of a devices run given where they do not fit, before a FLASH
// run reads anything: --out, --count or --resume without --stamp, --stamp
// without --out, and MCUboot's two-step signing (one image's) with
// --stamp. Refusal, one line.
void refuse_misplaced(const Request& request);

// The whole run, once refuse_misplaced() has passed and the request
// stamps: the report's verdict is "written".
int run_devices(const Request& request, Reporter& report, Host& host);

}  // namespace velk::devices
