// What an ESP32 app image asks of the run before anything is computed: no
// record over the app descriptor's ELF SHA-256, which is filled in with
// _CRC.elf's SHA-256 after every record.
#pragma once

#include "../elf/elf_build.h"
#include "../records/plan.h"
#include "../request/request.h"

namespace velk::formats {

// Refuses, when the run asks for --esp32 and the build has an app
// descriptor (.flash.appdesc), a record whose slot or range holds the
// descriptor's ELF SHA-256 field.
void refuse_esp32_records(const Request& request, const records::Plan& plan,
                          const ElfBuild& build);

// Refuses, when the run asks for --esp32, a device's stamp (`named`) whose
// bytes [address, address + size) lie in the descriptor's ELF SHA-256
// field: the image would hold the SHA-256 there, not the device's value.
void refuse_esp32_stamp(const Request& request, const std::string& named,
                        uint64_t address, uint64_t size, const ElfBuild& build);

}  // namespace velk::formats
