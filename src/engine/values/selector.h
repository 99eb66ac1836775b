// A record's word read into its parts, as the command line and the Python
// API both give it: "crc_app@app_start=crc-32/iso-hdlc" is the variable
// crc_app, its range from app_start, its own algorithm.
#pragma once

#include <string>

#include "../request/request.h"

namespace velk {

// `text` is what follows the letter ('n', 'a' or 's'); `word` is the whole
// word as typed, for refusals. A block size (--s) has no range start of its
// own. The algorithm follows the first '=', so that a CRC given by its
// parameters ("width=16,poly=0x1021,...") keeps its own.
Selector read_selector(char letter, const std::string& text, const std::string& word,
                       const Asker& asker);

// The Python API's offset or block size (`option`): its int, `shown` as
// the lines write it, none when negative or past 64 bits.
Selector selector_of_number(Option option, std::optional<uint64_t> number,
                            const std::string& shown, const Asker& asker);

}  // namespace velk
