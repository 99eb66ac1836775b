// CHECK of one device's file from a devices run: the value each --stamp
// word gives its place, and with --manifest the device's entry there (its
// stamps, its records and the file's SHA-256). Each place is judged apart
// from the build's bytes, as a record is: the stamp is what the device
// holds of its own, and --elf checks every other byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../inputs/input_file.h"
#include "../layout/memory_map.h"
#include "../report/reporter.h"
#include "../run/host.h"

namespace velk::check {

struct CheckRun;

// Bytes the file must hold at one place.
struct PlaceBytes {
    std::string place;  // as given: "serial_no", "0x0800FF00:4", a record's name
    std::string value;  // as the stamps or the manifest show it
    uint64_t address = 0;
    std::vector<uint8_t> expected;
    std::vector<uint8_t> found;  // the file's there, erased flash where it has none
    uint64_t held = 0;           // how many of them the file holds
    bool listed = false;         // the manifest's, not a --stamp word's

    bool ok() const { return held == expected.size() && found == expected; }
};

struct DeviceCheck {
    std::vector<PlaceBytes> stamps;   // each --stamp word's, then the manifest's
    std::vector<PlaceBytes> records;  // the manifest's
    struct Manifest {
        std::string path, id, name;  // the manifest, the device, the file's entry
        size_t index = 0;
        std::string sha256, found;  // the entry's and the file's, lower-case hex
    };
    std::optional<Manifest> manifest;
};

// With --stamp or --manifest: the manifest read and the device's entry
// found by the file's name (`input` its bytes), each place's address and
// bytes. Refuses a damaged manifest, a file it does not name, and a
// symbol place without the build or the manifest to place it.
void plan_device(CheckRun& run, const InputFile& input, Host& host);

// Stores the stamps' bytes into `memory`, the build's image, before its
// records are made over it: a device's records cover its own values.
void stamps_into(const CheckRun& run, layout::MemoryMap& memory);

// What the file holds at every place.
void compute_device(CheckRun& run);

// Stores what the file holds at every place into `expected`: those bytes
// are judged by their own lines, not as a difference from the build.
void judged_apart(const CheckRun& run, layout::MemoryMap& expected);

// The places' lines and --json's "stamps" and "manifest"; true when the
// file holds every place's bytes and, with --manifest, its SHA-256 is the
// entry's.
bool tell_device(const CheckRun& run, Reporter& report);

}  // namespace velk::check
