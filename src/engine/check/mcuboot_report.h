// CHECK's report of a signed MCUboot image: its lines and --json's
// "mcuboot" object.
#pragma once

#include "../report/reporter.h"
#include "check_run.h"

namespace velk::check::mcuboot {

// Tells the image's lines; true when it is right (and when --mcuboot was
// not asked for).
bool tell(const CheckRun& run, Reporter& report);

// "MCUboot mismatch: img_size at 0x0800400C holds 0xD8; it should hold
// 0xC8": CHECK's line for a wrong field, which FLASH's own check says too.
std::string mismatch_line(const Fault& f);

}  // namespace velk::check::mcuboot
