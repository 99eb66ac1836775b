// A run's outcome as the Python API returns it: the velk_crc.Report of the
// object --json prints, its files as velk_crc.OutputFile, and a refusal
// raised as velk_crc.Refused (FLASH) or CannotVerify (CHECK).
#pragma once

#include "../engine/cli/command_line.h"
#include "state.h"

namespace velk::binding {

// The Python value of a JSON value: dicts, lists, ints, str, bool, None.
Ref python_of(const json::Value& value);

// The Report; raises the mode's refusal when the run was refused.
Ref report_of(const ModuleState& state, const Mode& mode, const cli::Outcome& outcome);

}  // namespace velk::binding
