// The files FLASH and CHECK are given, read once, and what each is: what
// its name's ending says, else what its first bytes say. A file is read
// as that format or refused; a reader that refuses it never makes it
// another format. Whatever cannot be read is a Refusal that says so.
#pragma once

#include <string>
#include <vector>

#include "../elf/elf_build.h"
#include "../formats/formats.h"

namespace velk {

struct InputFile {
    std::vector<uint8_t> bytes;
    const formats::Format* format = nullptr;  // none: no format says it is one
    bool named = false;                       // the format comes from the name
};

// Opens and reads `path`; refuses a missing or unreadable file, a
// directory, a FIFO, socket or device.
InputFile read_input(const std::string& path);

// A file placed at an address (--base, <file>@0x<address>) is a raw binary
// unless its name says otherwise: its first bytes may look like a text
// record's (a stack pointer of 0x2000_3A20 starts " :").
void placed_as_raw(InputFile& input);

// The build read from an input that starts with the ELF magic, whatever
// its name; what else it is, refused with what to do.
ElfBuild read_build(InputFile input);

}  // namespace velk
