#include "names.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "../numbers/numbers.h"
#include "../platform/platform.h"

namespace velk::outfile {

namespace {

// The part of a base name that hidden names carry.
std::string kept(const std::string& base) {
    constexpr size_t longest = 200;
    return base.size() <= longest ? base : base.substr(base.size() - longest);
}

// Digits at `at` as a number; `at` moves past them. False without any, or
// past what a process id or a counter holds.
bool number_at(const std::string& text, size_t& at, long& value) {
    uint64_t digits = 0;
    const bool read = numbers::digits_at(text, at, digits, 10);
    value = static_cast<long>(digits);
    return read;
}

}  // namespace

std::string path_root(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < base) return path;
    // Leading dots of the name are no extension (".elf" has none).
    size_t first = path.find_first_not_of('.', base);
    if (first == std::string::npos || dot < first) return path;
    return path.substr(0, dot);
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string hidden_sibling(const std::string& path, const char* suffix) {
    // Runs on several threads of one process write beside the same folder.
    static std::atomic<unsigned> counter{0};
    char unique[48];
    std::snprintf(unique, sizeof unique, "%ld-%u", platform::process_id(), counter++);
    return directory_of(path) + "/." + kept(base_of(path)) + "." + unique + suffix;
}

long hidden_owner(const std::string& name, const std::string& path, const char* suffix) {
    const std::string prefix = "." + kept(base_of(path)) + ".";
    const size_t tail = std::strlen(suffix);
    if (name.size() <= prefix.size() + tail ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - tail, tail, suffix) != 0)
        return 0;
    size_t at = prefix.size();
    long pid = 0, count = 0;
    if (!number_at(name, at, pid) || at == name.size() || name[at++] != '-' ||
        !number_at(name, at, count) || at != name.size() - tail)
        return 0;
    return pid;
}

std::string lock_path_for(const std::string& path) {
    return directory_of(path) + "/." + kept(base_of(path_root(path))) + ".lock";
}

}  // namespace velk::outfile
