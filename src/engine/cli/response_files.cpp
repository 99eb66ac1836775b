#include "response_files.h"

#include "../platform/platform.h"

namespace velk::cli {

namespace {

// Files naming each other: a loop is refused rather than followed.
constexpr int deepest = 8;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> words_of(const std::vector<uint8_t>& bytes) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < bytes.size()) {
        if (is_space(static_cast<char>(bytes[i]))) {
            ++i;
        } else if (bytes[i] == '#') {
            while (i < bytes.size() && bytes[i] != '\n') ++i;
        } else {
            size_t start = i;
            while (i < bytes.size() && !is_space(static_cast<char>(bytes[i]))) ++i;
            out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                             bytes.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    return out;
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
        if (int error = platform::read_file(file, bytes)) {
            fault = {file, platform::error_text(error)};
            return false;
        }
        if (!expand(words_of(bytes), depth + 1, out, fault)) return false;
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
