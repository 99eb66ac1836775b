// What a FLASH or CHECK run is asked to do, however it was asked: the
// command line's words and the Python API's arguments both come down to
// one of these, and the modes read nothing else.
#pragma once

#include <optional>
#include <string>

namespace velk {

struct Request {
    std::string input;  // the file the run is about, as it was named
    // The selector as typed: 'n', 'a' or 's', and the text after the letter
    // (a variable's name, a hex offset, a block size).
    char selector = 0;
    std::string value;
    std::optional<std::string> elf;  // the build a file is checked against
    bool words = false;              // the checksum fed 32-bit words, not bytes
    bool bin = false;                // also <root>_CRC.bin
    bool srec = false;               // also <root>_CRC.srec
    bool force = false;              // do what the checks refuse
};

}  // namespace velk
