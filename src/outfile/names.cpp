#include "names.h"

namespace velk::outfile {

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

}  // namespace velk::outfile
