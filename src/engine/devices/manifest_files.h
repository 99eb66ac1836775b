// manifest.json and manifest.csv, as ledger.h shows them, and the line
// --json prints per device: text made a device at a time, so that a run
// of many devices never holds its whole manifest in memory twice.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ledger.h"

namespace velk::devices::manifest {

// Where the text goes, a piece at a time.
using Sink = std::function<void(const std::string&)>;

void write_json(const Identity& identity, const std::vector<Entry>& entries, const Sink& sink);
void write_csv(const std::vector<Entry>& entries, const Sink& sink);

// A CSV cell, quoted as RFC 4180 quotes it when it holds a comma, a
// double quote, a CR or an LF (or starts or ends with a space, which some
// readers would trim).
std::string csv_cell(const std::string& text);

}  // namespace velk::devices::manifest
