#include "spelling.h"

namespace velk {

namespace {

struct Names {
    const char* command_line;
    const char* api;
};

// In the order of Option.
const Names names[] = {
    {"--n", "symbol"}, {"--a", "offset"},     {"--s", "block"},  {"--header", "header"},
    {"--lpc-vectors", "lpc_vectors"},          {"--crc", "crc"},  {"--be", "be"},
    {"--fill", "fill"}, {"--words", "words"}, {"--bin", "bin"},  {"--srec", "srec"},
    {"--uf2", "uf2"},   {"--merge", "merge"}, {"--entry", "entry"},
    {"--force", "force"}, {"--elf", "elf"},   {"--base", "base"},
    {"--exclude", "exclude"},
    {"--mcuboot", "mcuboot"},
};

}  // namespace

const char* option_name(Front front, Option option) {
    const Names& n = names[static_cast<int>(option)];
    return front == Front::api ? n.api : n.command_line;
}

std::string turned_on(Front front, Option option) {
    return std::string(option_name(front, option)) + (front == Front::api ? "=True" : "");
}

std::string given(Front front, Option option, const std::string& value) {
    if (front == Front::api) return std::string(option_name(front, option)) + "=\"" + value + "\"";
    return std::string(option_name(front, option)) + " " + value;
}

}  // namespace velk
