// How the output files are named after their input.
#pragma once

#include <string>

namespace velk::outfile {

// The path without its last extension, as os.path.splitext splits it: the
// root the output files are named after.
std::string path_root(const std::string& path);

}  // namespace velk::outfile
