// How each front end names the options of a request, so that what a run
// says about them reads as its asker typed them: "--fill" on the command
// line, "fill" from the Python API.
#pragma once

#include <string>

#include "request.h"

namespace velk {

enum class Option {
    symbol, offset, block, header, lpc_vectors, crc, be, fill, words, bin, srec, uf2,
    merge, entry, force, elf, base, exclude, mcuboot,
};

// "--fill" / "fill".
const char* option_name(Front front, Option option);

// The option turned on: "--force" / "force=True".
std::string turned_on(Front front, Option option);

// The option with a value of text: "--uf2 rp9" / "uf2=\"rp9\"".
std::string given(Front front, Option option, const std::string& value);

}  // namespace velk
