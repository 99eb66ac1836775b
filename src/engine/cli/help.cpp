#include "help.h"

#include <cctype>

#ifndef VELK_CRC_VERSION
#define VELK_CRC_VERSION "unknown"
#endif

namespace velk::cli {

const char* version() {
    return VELK_CRC_VERSION;
}

std::string version_text() {
    return std::string("velk-crc ") + version();
}

std::string usage_hint(const std::string& mode_word) {
    std::string hint =
        "hint: the modes are VELK, FLASH and CHECK; velk-crc --help shows every option";
    std::string upper;
    for (char c : mode_word)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* mode : {"VELK", "FLASH", "CHECK"})
        if (upper == mode && mode_word != mode)
            return std::string("hint: mode words are in capitals: did you mean ") + mode +
                   "? The modes are VELK, FLASH and CHECK; velk-crc --help shows every "
                   "option";
    return hint;
}

}  // namespace velk::cli
