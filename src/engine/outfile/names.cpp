#include "names.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>

#include "../numbers/numbers.h"
#include "../platform/platform.h"

namespace velk::outfile {

namespace {

// The part of a base name that hidden names carry: its last 200 bytes, cut
// between letters. A name cut inside a UTF-8 sequence is no name where names
// are UTF-16 (Windows) or must be UTF-8 (macOS).
std::string kept(const std::string& base) {
    constexpr size_t longest = 200;
    if (base.size() <= longest) return base;
    size_t start = base.size() - longest;
    while (start < base.size() && (static_cast<unsigned char>(base[start]) & 0xC0) == 0x80)
        ++start;
    return base.substr(start);
}

// The length of a drive prefix ("Z:"), which no separator splits.
size_t drive_of(const std::string& path) {
    if (!platform::drive_letters || path.size() < 2 || path[1] != ':') return 0;
    const char letter = path[0];
    return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z') ? 2 : 0;
}

bool separates(char c) {
    return std::strchr(platform::path_separators, c) != nullptr && c != '\0';
}

// Where the last component starts.
size_t base_start(const std::string& path) {
    const size_t drive = drive_of(path);
    const size_t separator = path.find_last_of(platform::path_separators);
    return separator == std::string::npos || separator < drive ? drive : separator + 1;
}

}  // namespace

std::string path_root(const std::string& path) {
    size_t base = base_start(path);
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < base) return path;
    // Leading dots of the name are no extension (".elf" has none).
    size_t first = path.find_first_not_of('.', base);
    if (first == std::string::npos || dot < first) return path;
    return path.substr(0, dot);
}

std::string directory_of(const std::string& path) {
    const size_t drive = drive_of(path);
    const size_t separator = path.find_last_of(platform::path_separators);
    // "Z:fw.hex" is in the drive's current folder, "Z:".
    if (separator == std::string::npos || separator < drive)
        return drive ? path.substr(0, drive) : ".";
    // The root: "/", or "Z:\".
    if (separator == drive) return path.substr(0, drive + 1);
    return path.substr(0, separator);
}

std::string base_of(const std::string& path) {
    return path.substr(base_start(path));
}

std::string join_path(const std::string& folder, const std::string& name) {
    // "Z:" + ".x" stays in the drive's current folder; "Z:\" + "x" in its
    // root, with no second separator.
    if (platform::drive_letters && !folder.empty() &&
        (separates(folder.back()) || folder.size() == drive_of(folder)))
        return folder + name;
    // The separator the folder is spelt with ("C:/Keil/fw" keeps its '/').
    const size_t last = folder.find_last_of(platform::path_separators);
    return folder + (last == std::string::npos ? platform::path_separator : folder[last]) + name;
}

namespace {

// `name` in the folder of `path`, spelt as the path spells it: on Windows
// "out/fw.hex" gives "out/<name>" and "Z:\fw\fw.hex" "Z:\fw\<name>".
std::string beside(const std::string& path, const std::string& name) {
    const size_t start = base_start(path);
    if (platform::drive_letters && start > 0) return path.substr(0, start) + name;
    return join_path(directory_of(path), name);
}

}  // namespace

std::string hidden_sibling(const std::string& path, const char* suffix) {
    // Runs on several threads of one process write beside the same folder.
    static std::atomic<unsigned> counter{0};
    char unique[48];
    std::snprintf(unique, sizeof unique, "%ld-%u", platform::process_id(), counter++);
    return beside(path, "." + kept(base_of(path)) + "." + unique + suffix);
}

long hidden_owner(const std::string& name, const std::string& path, const char* suffix) {
    const std::string prefix = "." + kept(base_of(path)) + ".";
    const size_t tail = std::strlen(suffix);
    if (name.size() <= prefix.size() + tail ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - tail, tail, suffix) != 0)
        return 0;
    size_t at = prefix.size();
    uint64_t pid = 0, count = 0;
    if (!numbers::digits_at(name, at, pid, 10) || at == name.size() ||
        name[at++] != '-' || !numbers::digits_at(name, at, count, 10) ||
        at != name.size() - tail)
        return 0;
    // Ten digits pass a long of 32 bits (Windows'): no run's id, and not
    // another process's id it would wrap to.
    if (pid > static_cast<uint64_t>(std::numeric_limits<long>::max())) return 0;
    return static_cast<long>(pid);
}

std::string lock_path_for(const std::string& path) {
    return beside(path, "." + kept(base_of(path_root(path))) + ".lock");
}

}  // namespace velk::outfile
