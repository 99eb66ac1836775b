#include "names.h"

#include <unistd.h>

#include <cstdio>

namespace velk::outfile {

namespace {

// The part of a base name that hidden names carry.
std::string kept(const std::string& base) {
    constexpr size_t longest = 200;
    return base.size() <= longest ? base : base.substr(base.size() - longest);
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
    static unsigned counter = 0;
    char unique[48];
    std::snprintf(unique, sizeof unique, "%ld-%u", static_cast<long>(::getpid()),
                  counter++);
    return directory_of(path) + "/." + kept(base_of(path)) + "." + unique + suffix;
}

std::string lock_path_for(const std::string& path) {
    return directory_of(path) + "/." + kept(base_of(path_root(path))) + ".lock";
}

}  // namespace velk::outfile
