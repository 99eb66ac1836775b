// A devices run's manifest.json read back (ledger.h gives its format): the
// entry of one device, as CHECK at the station needs it to verify that
// device's file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ledger.h"

namespace velk::devices {

// Every device entry of a manifest's text. `shown` names the file in the
// refusals (Refusal): text that is not JSON, with the byte where it stops
// being JSON, or JSON that is not a manifest, with the member at fault.
std::vector<Entry> read_manifest(const std::vector<uint8_t>& text, const std::string& shown);

// The entry whose files include one named `name` (a base name), or null.
const Entry* entry_of_file(const std::vector<Entry>& entries, const std::string& name);

// A path's last part: the name a manifest gives a device's file.
std::string base_name(const std::string& path);

}  // namespace velk::devices
