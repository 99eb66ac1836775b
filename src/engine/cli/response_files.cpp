#include "response_files.h"

#include "../platform/platform.h"

#include <cerrno>
#include <utility>

namespace velk::cli {

namespace {

// Files naming each other: a loop is refused rather than followed.
constexpr int deepest = 8;

// Far more words than any build passes: a bigger file is not one.
constexpr uint64_t largest = uint64_t{16} << 20;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A word is quoted as gcc's response files quote it: "..." or '...' keeps
// white space and '#' inside one word, so a CRC's parameters written with
// spaces or a path with a space stays one word. A backslash is an ordinary
// character, so a Windows path needs no doubling. Editors on Windows may
// start the file with a UTF-8 byte order mark, which is no word.
bool words_of(const std::vector<uint8_t>& bytes, std::vector<std::string>& out,
              std::string& why) {
    size_t i = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;
    int line = 1;
    while (i < bytes.size()) {
        const char c = static_cast<char>(bytes[i]);
        if (is_space(c)) {
            if (c == '\n') ++line;
            ++i;
            continue;
        }
        if (c == '#') {
            while (i < bytes.size() && bytes[i] != '\n') ++i;
            continue;
        }
        std::string word;
        while (i < bytes.size() && !is_space(static_cast<char>(bytes[i]))) {
            const char at = static_cast<char>(bytes[i++]);
            if (at != '"' && at != '\'') {
                word += at;
                continue;
            }
            const int opened = line;
            while (i < bytes.size() && static_cast<char>(bytes[i]) != at) {
                if (bytes[i] == '\n') ++line;
                word += static_cast<char>(bytes[i++]);
            }
            if (i == bytes.size()) {
                why = std::string("the quote ") + at + " opened on line " +
                      std::to_string(opened) + " is not closed";
                return false;
            }
            ++i;
        }
        out.push_back(std::move(word));
    }
    return true;
}

bool expand(const std::vector<std::string>& words, int depth,
            std::vector<std::string>& out, ResponseFault& fault) {
    for (const std::string& word : words) {
        if (word.size() < 2 || word[0] != '@') {
            out.push_back(word);
            continue;
        }
        const std::string file = word.substr(1);
        if (depth == deepest) {
            fault = {file, "response files name each other more than " +
                               std::to_string(deepest) + " deep (a loop?)"};
            return false;
        }
        std::vector<uint8_t> bytes;
        if (int error = platform::read_file(file, bytes, largest)) {
            fault = {file, error == EFBIG ? "larger than 16 MiB, more than a response file holds"
                                          : platform::error_text(error)};
            return false;
        }
        std::vector<std::string> read;
        std::string why;
        if (!words_of(bytes, read, why)) {
            fault = {file, why};
            return false;
        }
        if (!expand(read, depth + 1, out, fault)) return false;
    }
    return true;
}

}  // namespace

std::variant<std::vector<std::string>, ResponseFault> expand_response_files(
    const std::vector<std::string>& words) {
    std::vector<std::string> out;
    ResponseFault fault;
    if (!expand(words, 0, out, fault)) return fault;
    return out;
}

}  // namespace velk::cli
