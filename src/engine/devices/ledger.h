// The record of a devices run, in its folder beside the devices' files:
// what went to which device, for the production line's traceability, and
// how far the run came, so that an interrupted run goes on where it
// stopped and never writes a device twice.
//
//   manifest.json   {"input": "fw.elf", "input_sha256": "<hex>",
//                    "stamps": [{"place": "serial_no", "address": <int>,
//                                "size": <int>, "values": "serial:1000..1099"}, ...],
//                    "devices": [ <entry>, ... ]}
//                   an entry: {"id": "1000", "index": 0,
//                    "stamps": [{"place": "serial_no", "address": <int>,
//                                "value": "1000", "bytes": "e8030000"}, ...],
//                    "records": [{"record": "crc_value", "address": <int>,
//                                 "value": "0x1234ABCD", "bytes": "cdab3412"}, ...],
//                    "files": [{"name": "fw_1000_CRC.hex", "sha256": "<hex>"}, ...]}
//                   names relative to the folder; bytes as they lie in
//                   memory, lower-case hex
//   manifest.csv    a header row: id, each stamp's place, each record's
//                   name, then each file's ending (_CRC.hex, ...) holding
//                   that file's SHA-256; a row a device
//   manifest.state  the run's identity and the devices whose files are all
//                   in place, a batch at a time
//
// The state is a journal: made whole (written beside, synced, renamed)
// before the first batch's files go in place, then a batch's lines are
// appended and synced after its files are in place and synced, so that it
// never names a device whose files are not whole, and a batch costs its
// own lines whatever the run's size. A kill in the middle of an append
// leaves a torn last line, which --resume drops. The manifests are
// written whole (beside, synced, renamed) once, when the last device
// joins: rewriting them per batch would make a run of N devices cost N²;
// an interrupted run has its state, and --resume completes the manifests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "../request/asker.h"

namespace velk::devices {

// What one device got.
struct Entry {
    std::string id;
    size_t index = 0;  // the device's place in the run, from 0
    struct Stamped {
        std::string place;
        uint64_t address = 0;
        std::string value;  // as the stamps show it
        std::string bytes;  // lower-case hex, as in memory
    };
    std::vector<Stamped> stamps;
    struct Stored {
        std::string record;  // as FLASH's lines name it
        uint64_t address = 0;
        std::string value;  // as FLASH's lines show it: "0x1234ABCD"
        std::string bytes;
    };
    std::vector<Stored> records;
    struct Written {
        std::string name;    // in the folder
        std::string ending;  // "_CRC.hex": the manifest.csv column
        std::string sha256;  // lower-case hex
    };
    std::vector<Written> files;
};

// What makes two runs the same run, which --resume goes on with only:
// the input's name and SHA-256, the stamps as given and the words that
// shape the files (everything but --resume, --force and --json).
struct Identity {
    std::string input;
    std::string input_sha256;
    struct Stamp {
        std::string place;
        uint64_t address = 0, size = 0;
        std::string values;
    };
    std::vector<Stamp> stamps;
    std::string words;  // the run's words that shape its files, one line
    size_t count = 0;   // devices in the run
};

// The folder's record of one run. Refusals (Refusal), file system
// failures among them ("cannot write <folder>/manifest.state: ..."), name
// the file.
class Ledger {
public:
    // Reads the folder's state. With `resume`: the devices an earlier,
    // interrupted run of the same identity finished (refused: no state,
    // another run's, a device named whose file is not in the folder, or a
    // run already complete unless `force`, which makes it again from its
    // first device). Without: a state or a manifest
    // there is another run's and is refused, as its devices' files would
    // be mixed with this run's, unless `force` (this run replaces it).
    // Writes nothing but what completes a resumed run: a torn last line
    // dropped, the manifests of a run whose devices were all in place.
    // Refusals name the options as `asker` does (--force, force=True).
    Ledger(std::string folder, Identity identity, bool resume, bool force = false,
           const Asker& asker = command_line_asker);

    // The devices already whole, in order: the next one to make.
    size_t done() const { return entries_.size(); }
    const std::vector<Entry>& entries() const { return entries_; }

    // Before the first batch's files go in place: a new run's state is
    // made (an earlier run's state and manifests, replaced by `force`, go),
    // so that a kill after they are placed leaves a run to resume. add()
    // calls it when it has not been.
    void start();

    // A batch's files are in place and synced: its entries (the next ones,
    // in order) join the state; with the last device, the manifests are
    // written.
    void add(std::vector<Entry> batch);

private:
    void open(bool resume, bool force);
    void replace_run();
    void append(std::vector<Entry> batch);
    std::string state_path() const;
    void write_state();
    void write_manifests() const;

    std::string folder_;
    Identity identity_;
    Asker asker_;
    std::vector<Entry> entries_;
    bool started_ = false;  // the state on the disk is this run's
};

// An entry as one line of --json's stream.
std::string json_line(const Entry& entry);

}  // namespace velk::devices
