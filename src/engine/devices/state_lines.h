// manifest.state's lines: the run's identity, then a line a finished
// device, each line sealed with its own CRC so that a line cut short or
// spoilt on the disk is told from a whole one. Pure: text in, text out.
//
//   velk-crc devices state 1
//   input  <name> <sha256>                          <crc>
//   stamp  <place> <address> <size> <values>        <crc>   (one a stamp)
//   words  <words>                                  <crc>
//   count  <devices>                                <crc>
//   device <index> <id> <n> {<place> <address> <value> <bytes>}*n
//          <n> {<record> <address> <value> <bytes>}*n
//          <n> {<name> <ending> <sha256>}*n         <crc>   (one a device)
//
// Fields are separated by tabs; a field's backslash, tab, CR and LF are
// written \\, \t, \r and \n. Numbers are decimal; <crc> is the CRC-32 of
// the line before its last tab, as eight lower-case hex digits.
#pragma once

#include <string>
#include <vector>

#include "ledger.h"

namespace velk::devices::state {

// The first line, which names the format and its version.
extern const char* const first_line;

// The first line and the identity's lines.
std::string identity_lines(const Identity& identity);
// A device's line.
std::string entry_line(const Entry& entry);

struct Read {
    Identity identity;
    std::vector<Entry> entries;
    // The last line was cut short or spoilt (a kill while a batch was
    // appended) and is left out: the state wants writing again whole.
    bool torn = false;
    // What makes the text no state to go on from, naming the line; empty
    // when it reads.
    std::string damage;
};
Read read(const std::string& text);

// What differs between two identities, as a refusal names it: "the
// input's SHA-256 (67d88fe2f60e..., now 1a2b3c4d5e6f...)", "the stamps",
// "the count (100, now 120)", ...; none when they are the same run.
std::vector<std::string> differences(const Identity& was, const Identity& is);

}  // namespace velk::devices::state
