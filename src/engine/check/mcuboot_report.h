// CHECK's report of a signed MCUboot image: its lines and --json's
// "mcuboot" object.
#pragma once

#include "../report/reporter.h"
#include "check_run.h"

namespace velk::check::mcuboot {

// Tells the image's lines; true when it is right (and when --mcuboot was
// not asked for).
bool tell(const CheckRun& run, Reporter& report);

}  // namespace velk::check::mcuboot
